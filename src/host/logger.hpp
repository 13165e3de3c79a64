#pragma once
// Process-wide logging: one line per record on standard error, "LEVEL:logger-name:message",
// level names INFO, WARNING, ERROR, DEBUG, CRITICAL; records below the threshold (INFO unless
// configured) are dropped. Safe to use from every thread.
#include <memory>
#include <string>

#include <spdlog/logger.h>

namespace vekt::host {

// The logger of that name, created on first use with the shared sink and the current threshold.
std::shared_ptr<spdlog::logger> get_logger(const std::string& name);

// Set the threshold for every logger, present and future ("configure logging at INFO").
void configure_logging(spdlog::level::level_enum level = spdlog::level::info);

// The library's own default: set the threshold only when nobody has configured logging yet, so a
// level the host chose is left as it is.
void basic_config(spdlog::level::level_enum level = spdlog::level::info);

}  // namespace vekt::host
