#include "support/env.hpp"

#include <cstdlib>

namespace vekt::testing {

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

std::optional<std::string> shared_database_url() {
  auto url = env("DATABASE_URL");
  if (!url || url->empty()) return std::nullopt;
  return url;
}

std::optional<RedisEndpoint> shared_redis() {
  auto host = env("REDIS_HOST");
  auto port = env("REDIS_PORT");
  if (!host || !port) return std::nullopt;
  return RedisEndpoint{*host, std::stoi(*port)};
}

}  // namespace vekt::testing
