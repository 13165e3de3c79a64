#include "host/failure_log.hpp"

#include <utility>

namespace vekt::host {

FailureLog::FailureLog(std::string what, std::chrono::milliseconds every) : what_(std::move(what)), every_(every) {}

bool FailureLog::failed(spdlog::logger& log, std::string_view cause) {
  std::lock_guard lock(mu_);
  const auto now = Clock::now();
  if (!failing_.load(std::memory_order_relaxed)) {
    failing_.store(true, std::memory_order_release);
    failures_ = 1;
    unreported_ = 0;
    last_line_ = now;
    return true;
  }
  ++failures_;
  ++unreported_;
  if (now - last_line_ >= every_) {
    const std::chrono::duration<double> since = now - last_line_;
    log.warn("{} still failing: {} more requests in the last {:.1f} s, the last with: {}", what_, unreported_,
             since.count(), cause);
    unreported_ = 0;
    last_line_ = now;
  }
  return false;
}

void FailureLog::succeeded(spdlog::logger& log) {
  if (!failing_.load(std::memory_order_acquire)) return;
  std::lock_guard lock(mu_);
  if (!failing_.load(std::memory_order_relaxed)) return;
  failing_.store(false, std::memory_order_release);
  log.info("{} works again after {} failed requests", what_, failures_);
}

}  // namespace vekt::host
