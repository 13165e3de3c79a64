// Start-up of the tile service in a child process: its four lines on standard output, the
// conversions of the Redis settings, a bad setting stopping it with nothing printed, .env.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>

#include "korvane/service.hpp"
#include "support/process.hpp"

namespace {

struct Outcome {
  int exit_code;
  std::string out;
};

// Runs startup() in a fresh process with exactly these Redis variables, in a directory whose .env
// holds `dotenv` (none when empty).
Outcome start_in_child(const std::map<std::string, std::string>& vars, const std::string& dotenv = {}) {
  const vekt::testing::ScratchDir dir("korvane-startup");
  if (!dotenv.empty()) dir.write(".env", dotenv);
  vekt::testing::ChildProcess child(dir.path(), [&] {
    for (const char* v : {"REDIS_HOST", "REDIS_PORT", "REDIS_DB", "REDIS_PASSWORD", "REDIS_USERNAME"}) unsetenv(v);
    for (const auto& [k, v] : vars) setenv(k.c_str(), v.c_str(), 1);
    vekt::korvane::startup();  // a failure ends the child with exit code 1
    return 0;
  });
  const int code = child.wait(std::chrono::seconds(60)).value_or(-1);
  return {code, child.stdout_text()};
}

std::string banner(const std::string& redis) {
  return "\xE2\x9C\x93 Binary Redis cache initialized (no UTF-8 decoding)\n"
         "  - Namespace: mvt_v8\n"
         "  - Redis: " + redis + "\n"
         "  - decode_responses: False (handles binary data)\n";
}

}  // namespace

TEST(StartUp, FourLines) {
  struct Case {
    std::map<std::string, std::string> vars;
    std::string dotenv;
    int exit_code;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{}, "", 0, banner("localhost:6379/0")},
      {{{"REDIS_PORT", "06379"}}, "", 0, banner("localhost:6379/0")},
      // An integer Redis cannot use is still an integer: it shows at the first connection.
      {{{"REDIS_PORT", "99999999999999999999"}, {"REDIS_DB", "-1"}}, "", 0,
       banner("localhost:99999999999999999999/-1")},
      {{{"REDIS_HOST", "127.0.0.9"}, {"REDIS_DB", "2"}, {"REDIS_PASSWORD", "s3cret"}, {"REDIS_USERNAME", "tileuser"}},
       "", 0, banner("127.0.0.9:6379/2")},
      {{{"REDIS_PORT", "abc"}}, "", 1, ""},
      {{{"REDIS_PORT", ""}}, "", 1, ""},
      {{{"REDIS_DB", "1.5"}}, "", 1, ""},
      // The environment wins over .env; .env fills what it lacks.
      {{{"REDIS_PORT", "7000"}}, "REDIS_PORT=7001\nREDIS_DB=4\n", 0, banner("localhost:7000/4")},
      {{}, "REDIS_PORT=abc\n", 1, ""},
  };
  for (const auto& c : cases) {
    Outcome o = start_in_child(c.vars, c.dotenv);
    EXPECT_EQ(o.exit_code, c.exit_code) << c.out;
    EXPECT_EQ(o.out, c.out);
  }
}
