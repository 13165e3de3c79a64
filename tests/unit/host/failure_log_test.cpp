#include "host/failure_log.hpp"

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

namespace {

using namespace std::chrono_literals;

// A dependency failing on every request: one full line, then a count at most every period, and one
// line when it works again; a new run of failures starts with a full line again.
TEST(FailureLog, OneLineThenACountAPeriodThenTheRecovery) {
  std::ostringstream out;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(out);
  sink->set_pattern("%l|%v");
  spdlog::logger log("test", sink);
  vekt::host::FailureLog failures("Cache set", 200ms);

  EXPECT_TRUE(failures.failed(log, "OOM"));
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(failures.failed(log, "OOM"));
  EXPECT_EQ(out.str(), "");
  std::this_thread::sleep_for(250ms);
  EXPECT_FALSE(failures.failed(log, "OOM again"));
  EXPECT_EQ(out.str().rfind("warning|Cache set still failing: 51 more requests in the last 0.", 0), 0u) << out.str();
  EXPECT_NE(out.str().find(" s, the last with: OOM again\n"), std::string::npos) << out.str();
  out.str("");
  EXPECT_FALSE(failures.failed(log, "OOM"));
  EXPECT_EQ(out.str(), "");

  failures.succeeded(log);
  EXPECT_EQ(out.str(), "info|Cache set works again after 53 failed requests\n");
  out.str("");
  failures.succeeded(log);
  EXPECT_EQ(out.str(), "");
  EXPECT_TRUE(failures.failed(log, "refused"));
}

}  // namespace
