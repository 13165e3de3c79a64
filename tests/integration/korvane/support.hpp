#pragma once
// Helpers of the tile service's integration tests: a synchronous Redis connection (hiredis), a
// synchronous PostgreSQL connection (libpq), a log recorder, a blocking HTTP client and a
// vekt-server child process.
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/logger.h>

#include "support/free_port.hpp"

struct redisContext;
struct pg_conn;

namespace korvane_test {

// The environment variable, or nullopt.
std::optional<std::string> env(const char* name);

class SyncRedis {
 public:
  SyncRedis(const std::string& host, int port);
  ~SyncRedis();
  // One command; the reply as text (bulk/status/error), integer as decimal, nil as nullopt.
  std::optional<std::string> cmd(const std::vector<std::string>& argv);
  long long integer(const std::vector<std::string>& argv);
  std::vector<std::string> keys(const std::string& pattern);

 private:
  redisContext* c_;
};

// The number after `prefix` on a line of an INFO answer ("total_reads_processed:",
// "cmdstat_get:calls="); 0 when no line starts with it.
long long info_number(const std::string& info, const std::string& prefix);
// How much that number grew from one INFO answer to a later one.
inline long long info_growth(const std::string& before, const std::string& after, const std::string& prefix) {
  return info_number(after, prefix) - info_number(before, prefix);
}

class SyncPg {
 public:
  explicit SyncPg(const std::string& url);
  ~SyncPg();
  // Runs the statement; throws std::runtime_error on failure. Returns the first column of each row.
  std::vector<std::optional<std::string>> exec(const std::string& sql);

 private:
  pg_conn* c_;
};

// Records what the loggers of the process write (level name and message).
class LogRecorder {
 public:
  explicit LogRecorder(const std::shared_ptr<spdlog::logger>& logger);
  ~LogRecorder();
  std::vector<std::pair<std::string, std::string>> lines() const;
  void clear();

 private:
  struct Sink;
  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<Sink> sink_;
};

struct HttpResponse {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::optional<std::string> header(const std::string& name) const;  // case-insensitive
};

// One request on a fresh connection ("Connection: close"); a body goes as JSON.
HttpResponse http(int port, const std::string& method, const std::string& target,
                  const std::vector<std::pair<std::string, std::string>>& headers = {},
                  const std::string& body = {});

// vekt-server on a free loopback port, its stdout and stderr kept in files. In `extra_env` (and in
// run_server_to_exit's) a value of "<unset>" removes the variable.
class ServerProcess {
 public:
  explicit ServerProcess(std::map<std::string, std::string> extra_env = {});
  ~ServerProcess();
  int port() const { return port_; }
  int pid() const { return pid_; }
  std::string stdout_text() const;
  std::string stderr_text() const;
  bool running() const;
  // SIGTERM, then wait for the exit (at most `limit`); the exit status, or -1 if it did not end.
  int terminate(std::chrono::milliseconds limit);

 private:
  int pid_ = -1;
  int port_ = 0;
  std::string dir_;
};

std::string server_binary();

// Runs vekt-server with these variables changed and waits for it to exit on its own (at most 20 s).
struct ExitOutcome {
  int exit_code = -1;  // -1: still running after the wait (then killed)
  std::string out, err;
};
ExitOutcome run_server_to_exit(const std::map<std::string, std::string>& extra_env);
using vekt::testing::free_port;

}  // namespace korvane_test
