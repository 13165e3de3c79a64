#pragma once
// The tile service's Redis settings (read with the host's other settings) and the four lines it
// prints when it starts.
#include <string>

#include "host/settings.hpp"

namespace vekt::korvane {

using host::EnvLookup;
using host::process_env;
using host::read_redis_settings;
using host::RedisSettings;

// The four start-up lines, each ended by "\n". Credentials are never part of them.
std::string startup_banner(const RedisSettings& s);

}  // namespace vekt::korvane
