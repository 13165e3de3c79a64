#include "host/logger.hpp"

#include <mutex>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace vekt::host {
namespace {

// The level names of the standard log format, upper case and with WARNING spelled out.
class LevelFlag final : public spdlog::custom_flag_formatter {
 public:
  void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
    const char* name = "NOTSET";
    switch (msg.level) {
      case spdlog::level::trace:
      case spdlog::level::debug: name = "DEBUG"; break;
      case spdlog::level::info: name = "INFO"; break;
      case spdlog::level::warn: name = "WARNING"; break;
      case spdlog::level::err: name = "ERROR"; break;
      case spdlog::level::critical: name = "CRITICAL"; break;
      default: break;
    }
    dest.append(name, name + std::char_traits<char>::length(name));
  }
  std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<LevelFlag>(); }
};

struct Registry {
  std::mutex mu;
  spdlog::sink_ptr sink;
  spdlog::level::level_enum level = spdlog::level::info;
  bool configured = false;

  Registry() {
    sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    auto f = std::make_unique<spdlog::pattern_formatter>();
    f->add_flag<LevelFlag>('L').set_pattern("%L:%n:%v");
    sink->set_formatter(std::move(f));
  }
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

std::shared_ptr<spdlog::logger> get_logger(const std::string& name) {
  auto& r = registry();
  std::lock_guard lock(r.mu);
  if (auto existing = spdlog::get(name)) return existing;
  auto lg = std::make_shared<spdlog::logger>(name, r.sink);
  lg->set_level(r.level);
  lg->flush_on(spdlog::level::trace);
  spdlog::register_logger(lg);
  return lg;
}

namespace {

void set_threshold(Registry& r, spdlog::level::level_enum level) {
  r.level = level;
  r.configured = true;
  spdlog::apply_all([level](const std::shared_ptr<spdlog::logger>& lg) { lg->set_level(level); });
}

}  // namespace

void configure_logging(spdlog::level::level_enum level) {
  auto& r = registry();
  std::lock_guard lock(r.mu);
  set_threshold(r, level);
}

void basic_config(spdlog::level::level_enum level) {
  auto& r = registry();
  std::lock_guard lock(r.mu);
  if (!r.configured) set_threshold(r, level);
}

}  // namespace vekt::host
