#include "support/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/env.hpp"
#include "support/free_port.hpp"
#include "support/http.hpp"

namespace vekt::testing {

namespace {

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

int exit_code_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

ScratchDir::ScratchDir(const std::string& prefix) {
  std::string tmpl = "/tmp/" + prefix + ".XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a scratch directory");
  path_ = tmpl;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void ScratchDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream(path_ + "/" + name, std::ios::binary) << bytes;
}

ChildProcess::ChildProcess(const std::string& dir, const std::function<int()>& body) : dir_(dir) {
  std::fflush(nullptr);  // what the test printed stays the test's, not written again by the child
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int out = ::open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::chdir(dir.c_str()) != 0) ::_exit(127);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::close(out);
    ::close(err);
    int code = 1;
    try {
      code = body();
    } catch (...) {
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(code);
  }
}

ChildProcess::~ChildProcess() {
  if (!running()) return;
  if (!terminate(std::chrono::seconds(10))) kill();
}

std::string ChildProcess::stdout_text() const { return slurp(dir_ + "/stdout"); }
std::string ChildProcess::stderr_text() const { return slurp(dir_ + "/stderr"); }

bool ChildProcess::reap(int options) {
  if (exit_code_) return true;
  int st = 0;
  if (::waitpid(pid_, &st, options) != pid_) return false;
  exit_code_ = exit_code_of(st);
  return true;
}

bool ChildProcess::running() { return !reap(WNOHANG); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!reap(WNOHANG)) {
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return exit_code_;
}

std::optional<int> ChildProcess::terminate(std::chrono::milliseconds limit) {
  if (!exit_code_) ::kill(pid_, SIGTERM);
  return wait(limit);
}

int ChildProcess::kill() {
  if (!exit_code_) ::kill(pid_, SIGKILL);
  reap(0);
  return *exit_code_;
}

std::string server_binary() {
  for (auto dir : {env("VEKT_BUILD_DIR"), std::optional<std::string>(VEKT_BINARY_DIR)}) {
    if (!dir) continue;
    std::string p = *dir + "/bin/vekt-server";
    if (std::filesystem::exists(p)) return p;
  }
  return std::string(VEKT_BINARY_DIR) + "/bin/vekt-server";
}

namespace {

// The child's side of a vekt-server start: the environment changed, then the program.
std::function<int()> exec_server(std::map<std::string, std::string> env, std::vector<std::string> launcher = {}) {
  return [env = std::move(env), launcher = std::move(launcher)] {
    ::setenv("VEKT_HOST", "127.0.0.1", 1);
    for (const auto& [k, v] : env) {
      if (v == "<unset>")
        ::unsetenv(k.c_str());
      else
        ::setenv(k.c_str(), v.c_str(), 1);
    }
    const std::string bin = server_binary();
    if (launcher.empty()) {
      ::execl(bin.c_str(), bin.c_str(), static_cast<char*>(nullptr));
      return 127;
    }
    std::vector<char*> argv;
    for (const auto& a : launcher) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(const_cast<char*>(bin.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    return 127;
  };
}

// The port of the server's "Listening on http://127.0.0.1:PORT" line, or 0 before it shows.
int listening_port(const std::string& err) {
  const std::string prefix = "Listening on http://127.0.0.1:";
  const auto at = err.find(prefix);
  if (at == std::string::npos) return 0;
  const auto end = err.find(' ', at + prefix.size());
  if (end == std::string::npos) return 0;
  return std::stoi(err.substr(at + prefix.size(), end - at - prefix.size()));
}

std::map<std::string, std::string> with_port(std::map<std::string, std::string> env, int& port) {
  if (auto it = env.find("VEKT_PORT"); it != env.end())
    port = std::stoi(it->second);
  else
    env["VEKT_PORT"] = std::to_string(port = free_port());
  env.try_emplace("VEKT_THREADS", "2");
  return env;
}

}  // namespace

ServerProcess::ServerProcess(std::map<std::string, std::string> extra_env)
    : ServerProcess(std::move(extra_env), Launcher({})) {}

ServerProcess::ServerProcess(std::map<std::string, std::string> extra_env, Launcher launcher)
    : dir_("vekt-server"), child_(dir_.path(), exec_server(with_port(std::move(extra_env), port_), std::move(launcher.argv))) {
  for (int i = 0; i < 300; ++i) {
    if (!child_.running()) throw std::runtime_error("vekt-server exited early: " + stderr_text());
    if (port_ == 0) port_ = listening_port(stderr_text());
    try {
      if (port_ != 0 && http(port_, "GET", "/gis/layers/").status == 200) return;
    } catch (...) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("vekt-server did not start: " + stderr_text());
}

int ServerProcess::terminate(std::chrono::milliseconds limit) { return child_.terminate(limit).value_or(-1); }

ExitOutcome run_server_to_exit(const std::map<std::string, std::string>& extra_env) {
  ScratchDir dir("vekt-server-exit");
  std::map<std::string, std::string> env = extra_env;
  env.try_emplace("VEKT_PORT", std::to_string(free_port()));
  ChildProcess child(dir.path(), exec_server(std::move(env)));
  ExitOutcome o;
  o.exit_code = child.wait(std::chrono::seconds(20)).value_or(-1);
  if (o.exit_code == -1) child.kill();
  o.out = child.stdout_text();
  o.err = child.stderr_text();
  return o;
}

}  // namespace vekt::testing
