#include "redis/client.hpp"
