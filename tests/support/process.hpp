#pragma once
// Child processes of a test: a scratch directory, a forked child with its output kept in files,
// and vekt-server on a loopback port. Each owns what it made: the directory is removed and the
// child ended and reaped when the object goes.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vekt::testing {

// A fresh directory under /tmp, removed with everything in it at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix = "vekt-test");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes `bytes` to path()/name.
  void write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

// A forked child that runs `body` in `dir`, its standard output and error in dir/stdout and
// dir/stderr. `body` execs a program or returns the child's exit code.
class ChildProcess {
 public:
  ChildProcess(const std::string& dir, const std::function<int()>& body);
  // SIGTERM, then SIGKILL if the child has not ended after a bounded wait.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  std::string stdout_text() const;
  std::string stderr_text() const;
  // Whether the child still runs (a child that ended is reaped, and its exit code kept).
  bool running();
  // Waits at most `limit` for the child to end: its exit code (128 + signal when a signal ended
  // it), or nullopt when it still runs.
  std::optional<int> wait(std::chrono::milliseconds limit);
  // SIGTERM, then wait(limit).
  std::optional<int> terminate(std::chrono::milliseconds limit);
  // SIGKILL, and wait for the end.
  int kill();

 private:
  bool reap(int options);
  std::string dir_;
  pid_t pid_ = -1;
  std::optional<int> exit_code_;
};

// The vekt-server program of this build (or of VEKT_BUILD_DIR).
std::string server_binary();

// vekt-server on 127.0.0.1 in a scratch directory of its own (no .env around), its stdout and
// stderr kept in files. The environment is the test's with `extra_env` applied; a value of
// "<unset>" removes the variable. The port is a free one unless `extra_env` names VEKT_PORT; with
// VEKT_PORT=0 it is read from the server's "Listening on" line. The constructor returns once the
// server answers. A Launcher (a program and its arguments, "prlimit --nofile=256:600 --") runs the
// server in its place, as its last argument.
struct Launcher {
  explicit Launcher(std::vector<std::string> a) : argv(std::move(a)) {}
  std::vector<std::string> argv;
};

class ServerProcess {
 public:
  explicit ServerProcess(std::map<std::string, std::string> extra_env = {});
  ServerProcess(std::map<std::string, std::string> extra_env, Launcher launcher);
  int port() const { return port_; }
  pid_t pid() const { return child_.pid(); }
  std::string stdout_text() const { return child_.stdout_text(); }
  std::string stderr_text() const { return child_.stderr_text(); }
  bool running() { return child_.running(); }
  // SIGTERM, then wait for the exit (at most `limit`); the exit status, or -1 if it did not end.
  int terminate(std::chrono::milliseconds limit);

 private:
  ScratchDir dir_;
  int port_ = 0;
  ChildProcess child_;
};

// Runs vekt-server with these variables changed (as ServerProcess does) and waits for it to exit
// on its own (at most 20 s).
struct ExitOutcome {
  int exit_code = -1;  // -1: still running after the wait (then killed)
  std::string out, err;
};
ExitOutcome run_server_to_exit(const std::map<std::string, std::string>& extra_env);

}  // namespace vekt::testing
