// Start-up of the tile service in a child process: its four lines on standard output, the
// conversions of the Redis settings, a bad setting stopping it with nothing printed, .env.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "korvane/service.hpp"

namespace {

struct Outcome {
  int exit_code;
  std::string out;
};

// Runs startup() in a fresh process with exactly these Redis variables, in a directory whose .env
// holds `dotenv` (none when empty).
Outcome start_in_child(const std::map<std::string, std::string>& vars, const std::string& dotenv = {}) {
  char tmpl[] = "/tmp/korvane-startup.XXXXXX";
  std::string dir = mkdtemp(tmpl);
  if (!dotenv.empty()) std::ofstream(dir + "/.env") << dotenv;
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    if (chdir(dir.c_str()) != 0) _exit(3);
    for (const char* v : {"REDIS_HOST", "REDIS_PORT", "REDIS_DB", "REDIS_PASSWORD", "REDIS_USERNAME"}) unsetenv(v);
    for (const auto& [k, v] : vars) setenv(k.c_str(), v.c_str(), 1);
    try {
      vekt::korvane::startup();
    } catch (...) {
      std::fflush(stdout);
      _exit(1);
    }
    std::fflush(stdout);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  std::filesystem::remove_all(dir);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
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
