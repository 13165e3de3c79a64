#include "host/logger.hpp"

#include <gtest/gtest.h>

TEST(Logger, LevelNameLoggerNameMessage) {
  vekt::host::configure_logging(spdlog::level::info);
  auto lg = vekt::host::get_logger("vekt.test");
  testing::internal::CaptureStderr();
  lg->warn("Cache get failed for {}: {}", "mvt_v8:plots:1:0:0", "");
  lg->debug("dropped below the threshold");
  lg->info("kept");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "WARNING:vekt.test:Cache get failed for mvt_v8:plots:1:0:0: \nINFO:vekt.test:kept\n");
  EXPECT_EQ(vekt::host::get_logger("vekt.test"), lg);
}

TEST(Logger, LibraryDefaultLeavesTheHostsLevel) {
  vekt::host::configure_logging(spdlog::level::warn);
  vekt::host::basic_config(spdlog::level::info);
  auto lg = vekt::host::get_logger("vekt.test.level");
  testing::internal::CaptureStderr();
  lg->info("dropped: the host asked for warnings only");
  lg->warn("kept");
  std::string err = testing::internal::GetCapturedStderr();
  vekt::host::configure_logging(spdlog::level::info);
  EXPECT_EQ(err, "WARNING:vekt.test.level:kept\n");
}
