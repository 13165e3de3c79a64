#pragma once
// What the test run's environment says: the shared PostgreSQL and Redis that scripts/test starts.
#include <optional>
#include <string>

namespace vekt::testing {

// The environment variable, or nullopt.
std::optional<std::string> env(const char* name);

// The shared database (DATABASE_URL), or nullopt when the run has none.
std::optional<std::string> shared_database_url();

struct RedisEndpoint {
  std::string host;
  int port = 0;
};
// The shared Redis (REDIS_HOST and REDIS_PORT), or nullopt when the run has none.
std::optional<RedisEndpoint> shared_redis();

}  // namespace vekt::testing
