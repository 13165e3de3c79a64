#pragma once
// The host's utilities under their one name: tile arithmetic (host/tiles.hpp) and the dates of
// documents (host/dates.hpp).
#include "host/dates.hpp"
#include "host/tiles.hpp"
