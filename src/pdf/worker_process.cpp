#include "pdf/worker_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fmt/format.h>

namespace vekt::pdf {

Child::Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    stop();
    pid_ = std::exchange(other.pid_, -1);
  }
  return *this;
}

void Child::kill() const noexcept {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

std::string Child::stop() noexcept {
  if (pid_ <= 0) return "ended";
  ::kill(pid_, SIGKILL);
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, 0);
  } while (r < 0 && errno == EINTR);
  pid_ = -1;
  if (r <= 0) return "ended";
  try {
    if (WIFSIGNALED(status)) return fmt::format("killed by signal {}", WTERMSIG(status));
    if (WIFEXITED(status)) return fmt::format("exited with status {}", WEXITSTATUS(status));
  } catch (...) {
  }
  return "ended";
}

bool Child::running() const noexcept {
  if (pid_ <= 0) return false;
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

namespace {

std::string errno_text(const char* what) { return fmt::format("{}: {}", what, std::strerror(errno)); }

// Both ends of a fresh pipe, closed on exec.
std::pair<base::UniqueFd, base::UniqueFd> make_pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw WorkerUnavailable(errno_text("PDF worker: pipe"));
  return {base::UniqueFd(ends[0]), base::UniqueFd(ends[1])};
}

}  // namespace

// Between fork and exec the child only makes async-signal-safe calls: the server is multi-threaded.
WorkerProcess spawn_worker(const PoolConfig& config) {
  std::string python = config.python.string();
  std::string script = config.worker_script.string();
  std::array<char*, 4> argv{python.data(), const_cast<char*>("-I"), script.data(), nullptr};
  auto [request_read, request_write] = make_pipe();
  auto [answer_read, answer_write] = make_pipe();
  const int child_stdin = request_read.get(), child_stdout = answer_write.get();
  const pid_t parent = ::getpid();
  const rlim_t cap = config.memory_limit == 0 ? RLIM_INFINITY : static_cast<rlim_t>(config.memory_limit);
  const int nice = config.nice;
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The worker dies with the thread that started it, so a crashed server leaves no orphans.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // A stop meant for the server (a terminal's Ctrl-C, a service manager's SIGTERM to the whole
    // group) must not end a render the server still lets finish: the pool ends its workers itself.
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGINT, &ignore, nullptr);
    ::sigaction(SIGTERM, &ignore, nullptr);
    struct rlimit limit{cap, cap};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(126);
    if (nice != 0 && ::setpriority(PRIO_PROCESS, 0, nice) != 0) ::_exit(126);
    if (::dup2(child_stdin, 0) < 0 || ::dup2(child_stdout, 1) < 0) ::_exit(126);
    // No listening socket or database connection of the server may live on in a worker.
    ::close_range(3, ~0U, 0);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid < 0) throw WorkerUnavailable(errno_text("PDF worker: fork"));
  // The child's ends close here, with the pairs: the worker then sees end of input when the pool
  // closes its end, and the pool sees end of output when the worker goes.
  return WorkerProcess{Child(pid), std::move(request_write), std::move(answer_read)};
}

std::size_t resident_bytes(pid_t pid) {
  if (pid <= 0) return 0;
  std::FILE* f = std::fopen(fmt::format("/proc/{}/statm", pid).c_str(), "r");
  if (!f) return 0;
  unsigned long long size = 0, resident = 0;
  const int n = std::fscanf(f, "%llu %llu", &size, &resident);
  std::fclose(f);
  if (n != 2) return 0;
  return static_cast<std::size_t>(resident) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace vekt::pdf
