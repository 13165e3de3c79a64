#pragma once
// Records what a logger of the test process writes (level name and message) while it lives.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/logger.h>

namespace vekt::testing {

class LogRecorder {
 public:
  explicit LogRecorder(const std::shared_ptr<spdlog::logger>& logger);
  ~LogRecorder();
  LogRecorder(const LogRecorder&) = delete;
  LogRecorder& operator=(const LogRecorder&) = delete;
  std::vector<std::pair<std::string, std::string>> lines() const;
  void clear();

 private:
  struct Sink;
  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<Sink> sink_;
};

}  // namespace vekt::testing
