#include "korvane/settings.hpp"

#include <fmt/format.h>

namespace vekt::korvane {

std::string startup_banner(const RedisSettings& s) {
  return fmt::format(
      "\xE2\x9C\x93 Binary Redis cache initialized (no UTF-8 decoding)\n"
      "  - Namespace: mvt_v8\n"
      "  - Redis: {}:{}/{}\n"
      "  - decode_responses: False (handles binary data)\n",
      s.redis_host, s.redis_port_text.empty() ? fmt::to_string(s.redis_port) : s.redis_port_text,
      s.redis_db_text.empty() ? fmt::to_string(s.redis_db) : s.redis_db_text);
}

}  // namespace vekt::korvane
