#include "korvane/settings.hpp"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include <fmt/format.h>

#include "base/error.hpp"
#include "base/pyconv.hpp"

namespace vekt::korvane {

std::optional<std::string> process_env(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

std::optional<long long> parse_py_int(const std::string& text) {
  auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
  size_t b = 0, e = text.size();
  while (b < e && is_space(text[b])) ++b;
  while (e > b && is_space(text[e - 1])) --e;
  if (b == e) return std::nullopt;
  bool neg = false;
  if (text[b] == '+' || text[b] == '-') {
    neg = text[b] == '-';
    ++b;
  }
  if (b == e) return std::nullopt;
  unsigned long long value = 0;
  bool prev_digit = false;
  for (size_t i = b; i < e; ++i) {
    char c = text[i];
    if (c == '_') {
      // One underscore between two digits only.
      if (!prev_digit || i + 1 == e) return std::nullopt;
      prev_digit = false;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    if (value > (~0ULL - 9) / 10) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    prev_digit = true;
  }
  if (!prev_digit) return std::nullopt;
  const unsigned long long limit = neg ? 9223372036854775808ULL : 9223372036854775807ULL;
  if (value > limit) return std::nullopt;
  if (neg) return value == limit ? static_cast<long long>(-9223372036854775807LL - 1) : -static_cast<long long>(value);
  return static_cast<long long>(value);
}

namespace {

base::PyInt int_setting(const EnvLookup& env, const char* name, const char* fallback) {
  std::string text = env(name).value_or(fallback);
  auto v = base::py_int(text);
  if (!v)
    throw base::ValueError(fmt::format("{}: invalid literal for int() with base 10: '{}'", name, text));
  return *v;
}

long long saturated(const base::PyInt& v) {
  if (v.value) return *v.value;
  return v.text.starts_with("-") ? std::numeric_limits<long long>::min() : std::numeric_limits<long long>::max();
}

}  // namespace

RedisSettings read_redis_settings(const EnvLookup& env) {
  RedisSettings s;
  s.redis_host = env("REDIS_HOST").value_or("localhost");
  const base::PyInt port = int_setting(env, "REDIS_PORT", "6379");
  const base::PyInt db = int_setting(env, "REDIS_DB", "0");
  s.redis_port = saturated(port);
  s.redis_db = saturated(db);
  s.redis_port_text = port.text;
  s.redis_db_text = db.text;
  s.redis_password = env("REDIS_PASSWORD");
  s.redis_username = env("REDIS_USERNAME");
  return s;
}

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
