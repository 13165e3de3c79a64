// The rate limit against the real Redis: counts that Redis runs after their caller gave up on them
// are not counted, a count and a cache read travel together, and the counting script is loaded by
// the first count after the server lost it.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "korvane/cache.hpp"
#include "korvane/rate_limit.hpp"
#include "korvane/service.hpp"
#include "support/log_recorder.hpp"
#include "support/redis_test.hpp"
#include "support/run.hpp"
#include "web/http.hpp"

namespace asio = boost::asio;
using namespace vekt::korvane;
using vekt::testing::LogRecorder;
using vekt::testing::SyncRedis;
using vekt::testing::run;

namespace {

const std::string KEY = "rate_limit:ratetest:10.7.0.1";

class RateLimitTest : public vekt::testing::RedisTest {
 protected:
  void SetUp() override {
    RedisTest::SetUp();
    if (IsSkipped()) return;
    client_ = std::make_unique<vekt::redis::Client>(options());
    cache_ = std::make_unique<BinaryRedisCache>(*client_, "mvt_v8");
    limit_ = std::make_unique<RateLimit>(*client_, RateLimitPolicy{"rate_limit:ratetest:", 3, "Refused.", true});
    sync_ = sync();
    sync_->cmd({"DEL", KEY});
  }
  void TearDown() override {
    if (sync_) sync_->cmd({"DEL", KEY, "mvt_v8:ratetest:tile"});
  }
  // Admits one request: "ok", "429 <detail>" or the exception's text.
  std::string admit() {
    return run([&]() -> asio::awaitable<std::string> {
      try {
        co_await limit_->admit("10.7.0.1");
        co_return "ok";
      } catch (const vekt::web::HttpError& e) {
        co_return "429 " + std::string(e.what());
      }
    });
  }
  std::unique_ptr<vekt::redis::Client> client_;
  std::unique_ptr<BinaryRedisCache> cache_;
  std::unique_ptr<RateLimit> limit_;
  SyncRedis* sync_ = nullptr;
};

TEST_F(RateLimitTest, CountsGivenUpWhileRedisStalledAreNotCounted) {
  LogRecorder rec(logger());
  sync_->cmd({"CLIENT", "PAUSE", "1000"});
  const auto start = std::chrono::steady_clock::now();
  // Thirty requests of one address, each given up at the count's limit while Redis holds them.
  int admitted = run([&]() -> asio::awaitable<int> {
    co_return co_await vekt::testing::count_true(
        30,
        [&](int) -> asio::awaitable<bool> {
          co_await limit_->admit("10.7.0.1");
          co_return true;
        },
        std::chrono::milliseconds(10));
  });
  EXPECT_EQ(admitted, 30);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  auto lines = rec.lines();
  // One line for the thirty: a failure that goes on is summed up at most once a second.
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], (std::pair<std::string, std::string>{"WARNING", "Rate limit check failed: "}));
  // Redis runs the thirty queued counts when the pause ends; none of them may count.
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(sync_->cmd({"GET", KEY}), std::nullopt);
  EXPECT_EQ(admit(), "ok");
  EXPECT_EQ(admit(), "ok");
  EXPECT_EQ(admit(), "ok");
  EXPECT_EQ(admit(), "429 Refused.");
  const long long pttl = sync_->integer({"PTTL", KEY});
  EXPECT_GT(pttl, 0);
  EXPECT_LE(pttl, 1000);
}

TEST_F(RateLimitTest, CountAndCacheReadInOneRoundTrip) {
  sync_->cmd({"SET", "mvt_v8:ratetest:tile", std::string("\x1a\x00\xff tile", 8), "EX", "60"});
  // The server forgets the script: the first count loads it again.
  sync_->cmd({"SCRIPT", "FLUSH"});
  auto read = [&]() -> asio::awaitable<std::string> {
    try {
      auto v = co_await limit_->admit_and_read("10.7.0.1", *cache_, "ratetest:tile", 1.0);
      co_return v ? "hit " + *v : std::string("miss");
    } catch (const vekt::web::HttpError& e) {
      co_return "429 " + std::string(e.what());
    }
  };
  const std::string hit = "hit " + std::string("\x1a\x00\xff tile", 8);
  // On one loop, so the second request finds the first one's connection in the pool.
  run([&]() -> asio::awaitable<void> {
    EXPECT_EQ(co_await read(), hit);
    const std::string stats0 = *sync_->cmd({"INFO", "stats"});
    const std::string commands0 = *sync_->cmd({"INFO", "commandstats"});
    EXPECT_EQ(co_await read(), hit);
    const std::string stats1 = *sync_->cmd({"INFO", "stats"});
    const std::string commands1 = *sync_->cmd({"INFO", "commandstats"});
    // One read of the connection by the server for both commands; the two INFO commands after the
    // first snapshot add one read each.
    EXPECT_EQ(vekt::testing::info_growth(stats0, stats1, "total_reads_processed:"), 3);
    EXPECT_EQ(vekt::testing::info_growth(commands0, commands1, "cmdstat_evalsha:calls="), 1);
    EXPECT_EQ(vekt::testing::info_growth(commands0, commands1, "cmdstat_get:calls="), 1);
    EXPECT_EQ(vekt::testing::info_growth(commands0, commands1, "cmdstat_eval:calls="), 0);
    EXPECT_EQ(co_await read(), hit);
    // Above the limit the request is refused whatever the cache holds.
    EXPECT_EQ(co_await read(), "429 Refused.");
  });
  EXPECT_GT(sync_->integer({"PTTL", KEY}), 0);
}

}  // namespace
