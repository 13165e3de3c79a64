#pragma once
// The tile service's Redis settings and the four lines it prints when it starts.
#include <functional>
#include <optional>
#include <string>

namespace vekt::korvane {

struct RedisSettings {
  std::string redis_host;
  // Integers beyond 64 bits are held at the nearest 64-bit bound; they fail at the first
  // connection like any other port or database Redis does not have.
  long long redis_port;
  long long redis_db;
  std::optional<std::string> redis_password;
  std::optional<std::string> redis_username;
  // The two integers in decimal, whatever their size, as the start-up lines print them.
  std::string redis_port_text;
  std::string redis_db_text;
};

using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// The process environment (a variable set to "" counts as present).
std::optional<std::string> process_env(const char* name);

// REDIS_HOST (default "localhost"), REDIS_PORT ("6379"), REDIS_DB ("0"), REDIS_PASSWORD and
// REDIS_USERNAME (absent by default). Port and database are read like Python's int(): surrounding
// blanks, a sign, leading zeros and single underscores between digits are accepted, and so is any
// number of digits. Throws base::ValueError naming the variable when one of them is not an integer.
RedisSettings read_redis_settings(const EnvLookup& env = process_env);

// Python int() of a decimal text; nullopt when it is not one or does not fit 64 bits.
std::optional<long long> parse_py_int(const std::string& text);

// The four start-up lines, each ended by "\n". Credentials are never part of them.
std::string startup_banner(const RedisSettings& s);

}  // namespace vekt::korvane
