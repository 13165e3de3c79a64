#pragma once
// The fixture of tests against the shared Redis: skipped when the run has none, a synchronous
// connection to look from outside, and the client options that reach it.
#include <memory>

#include <gtest/gtest.h>

#include "redis/client.hpp"
#include "support/env.hpp"
#include "support/sync_redis.hpp"

namespace vekt::testing {

class RedisTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto endpoint = shared_redis();
    if (!endpoint) GTEST_SKIP() << "REDIS_HOST / REDIS_PORT are not set";
    options_.host = endpoint->host;
    options_.port = endpoint->port;
    sync_ = std::make_unique<SyncRedis>(*endpoint);
  }
  const redis::Options& options() const { return options_; }
  // Null when the test is skipped.
  SyncRedis* sync() const { return sync_.get(); }

 private:
  redis::Options options_;
  std::unique_ptr<SyncRedis> sync_;
};

}  // namespace vekt::testing
