#include "support/log_recorder.hpp"

#include <algorithm>
#include <mutex>

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

namespace vekt::testing {

struct LogRecorder::Sink : spdlog::sinks::base_sink<spdlog::details::null_mutex> {
  std::mutex m;
  std::vector<std::pair<std::string, std::string>> lines;
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::lock_guard<std::mutex> g(m);
    static const char* names[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL", "OFF"};
    lines.emplace_back(names[msg.level], std::string(msg.payload.data(), msg.payload.size()));
  }
  void flush_() override {}
};

LogRecorder::LogRecorder(const std::shared_ptr<spdlog::logger>& logger) : logger_(logger), sink_(std::make_shared<Sink>()) {
  logger_->sinks().push_back(sink_);
}

LogRecorder::~LogRecorder() {
  auto& s = logger_->sinks();
  s.erase(std::remove(s.begin(), s.end(), sink_), s.end());
}

std::vector<std::pair<std::string, std::string>> LogRecorder::lines() const {
  std::lock_guard<std::mutex> g(sink_->m);
  return sink_->lines;
}

void LogRecorder::clear() {
  std::lock_guard<std::mutex> g(sink_->m);
  sink_->lines.clear();
}

}  // namespace vekt::testing
