#pragma once
// A PDF worker as the operating system sees it: a child process with two pipe ends, each owned, so
// a worker that fails half-way through starting leaves no descriptor open and no child unreaped.
#include <sys/types.h>

#include <cstddef>
#include <string>

#include "base/unique_fd.hpp"
#include "pdf/pool.hpp"

namespace vekt::pdf {

// A child process this object must end and reap: destroying it kills (SIGKILL) and reaps.
class Child {
 public:
  Child() = default;
  explicit Child(pid_t pid) noexcept : pid_(pid) {}
  ~Child() { stop(); }
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const noexcept { return pid_; }
  // SIGKILL now (a render past its limit); the pending pipe operations then fail. Still reaped by stop().
  void kill() const noexcept;
  // Kills and reaps (once; later calls do nothing): "exited with status N", "killed by signal N",
  // or "ended" when it cannot tell.
  std::string stop() noexcept;
  // Still running? (Looks without reaping.)
  bool running() const noexcept;

 private:
  pid_t pid_ = -1;
};

struct WorkerProcess {
  Child child;  // first: on a failure below, the pipes close before the child is killed and reaped
  base::UniqueFd to_worker;    // its stdin
  base::UniqueFd from_worker;  // its stdout
};

// fork + exec of `python -I worker_script` with its memory capped and its niceness set, its stdin
// and stdout on two fresh pipes. Throws WorkerUnavailable when a pipe or the fork fails.
WorkerProcess spawn_worker(const PoolConfig& config);

// Resident memory of a process, bytes (0 when it cannot be read).
std::size_t resident_bytes(pid_t pid);

}  // namespace vekt::pdf
