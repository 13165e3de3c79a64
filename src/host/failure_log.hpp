#pragma once
// The log of a dependency that fails on every request (Redis out of memory, stopped, unreachable):
// the first failure is logged in full with its cause; while the failures go on, at most one line a
// second says how many more requests they touched; the first success after them is logged once.
// At the rates the server is built for, a line per request would fill a disk or drown a log
// shipper. Safe from every thread; a success costs one atomic read while all is well.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include <spdlog/logger.h>

namespace vekt::host {

class FailureLog {
 public:
  // `what` names the operation in the lines this logs itself ("Rate limit check", "Cache get").
  explicit FailureLog(std::string what, std::chrono::milliseconds every = std::chrono::seconds(1));
  FailureLog(const FailureLog&) = delete;
  FailureLog& operator=(const FailureLog&) = delete;

  // One request's failure with `cause`. True when it is the first since a success: the caller then
  // logs its own line in full. Otherwise it is counted, and once `every` has passed since the last
  // line, "{what} still failing: {n} more requests in the last {s} s, the last with: {cause}" is
  // logged as a warning.
  bool failed(spdlog::logger& log, std::string_view cause);
  // One request's success: after failures, "{what} works again after {n} failed requests" (info).
  void succeeded(spdlog::logger& log);

 private:
  using Clock = std::chrono::steady_clock;
  const std::string what_;
  const std::chrono::milliseconds every_;
  std::atomic<bool> failing_{false};
  std::mutex mu_;
  std::uint64_t failures_ = 0;    // in this run of failures
  std::uint64_t unreported_ = 0;  // since the last line
  Clock::time_point last_line_{};
};

}  // namespace vekt::host
