#include "pg/session.hpp"
