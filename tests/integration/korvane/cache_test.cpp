// The tile cache against the real Redis: key namespace, expiry, bytes unchanged, and the safe
// wrappers' warnings when Redis is paused or not there.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "korvane/cache.hpp"
#include "korvane/service.hpp"
#include "support/free_port.hpp"
#include "support/log_recorder.hpp"
#include "support/redis_test.hpp"
#include "support/run.hpp"

namespace asio = boost::asio;
using namespace vekt::korvane;
using vekt::testing::LogRecorder;
using vekt::testing::SyncRedis;
using vekt::testing::run;

namespace {

class CacheTest : public vekt::testing::RedisTest {
 protected:
  void SetUp() override {
    RedisTest::SetUp();
    if (IsSkipped()) return;
    opts_ = options();
    client_ = std::make_unique<vekt::redis::Client>(opts_);
    cache_ = std::make_unique<BinaryRedisCache>(*client_, "mvt_v8");
    sync_ = sync();
    sync_->del_matching("mvt_v8:cachetest:*");
  }
  vekt::redis::Options opts_;
  std::unique_ptr<vekt::redis::Client> client_;
  std::unique_ptr<BinaryRedisCache> cache_;
  SyncRedis* sync_ = nullptr;
};

}  // namespace

TEST_F(CacheTest, KeysCarryTheNamespace) {
  EXPECT_EQ(cache_->_make_key("lgas:3:4:2"), "mvt_v8:lgas:3:4:2");
  EXPECT_EQ(cache_->_make_key(""), "mvt_v8:");
  BinaryRedisCache plain(*client_);
  EXPECT_EQ(plain._make_key("a*b"), "mvt:a*b");
}

TEST_F(CacheTest, BytesRoundTripWithTheirExpiry) {
  const std::string bytes("\x00\xff\r\n\x1a\x80tile", 10);
  run([&]() -> asio::awaitable<void> {
    co_await cache_->set("cachetest:a", bytes, 1800);
    co_await cache_->set("cachetest:b", "x");  // default expiry
  });
  EXPECT_EQ(sync_->cmd({"GET", "mvt_v8:cachetest:a"}), bytes);
  long long ttl = sync_->integer({"TTL", "mvt_v8:cachetest:a"});
  EXPECT_GT(ttl, 1700);
  EXPECT_LE(ttl, 1800);
  long long ttl_b = sync_->integer({"TTL", "mvt_v8:cachetest:b"});
  EXPECT_GT(ttl_b, 3500);
  EXPECT_LE(ttl_b, 3600);

  auto got = run([&]() -> asio::awaitable<std::optional<std::string>> {
    co_return co_await safe_cache_get(*cache_, "cachetest:a", 1.0);
  });
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, bytes);

  // A second write replaces the value and starts its expiry again.
  sync_->cmd({"EXPIRE", "mvt_v8:cachetest:a", "10"});
  run([&]() -> asio::awaitable<void> { co_await safe_cache_set(*cache_, "cachetest:a", "new", 7200); });
  EXPECT_EQ(sync_->cmd({"GET", "mvt_v8:cachetest:a"}), "new");
  EXPECT_GT(sync_->integer({"TTL", "mvt_v8:cachetest:a"}), 7000);

  run([&]() -> asio::awaitable<void> {
    co_await cache_->del("cachetest:a");
    co_await cache_->del("cachetest:never");
  });
  EXPECT_FALSE(sync_->cmd({"GET", "mvt_v8:cachetest:a"}));
}

TEST_F(CacheTest, MissIsSilentAndBadExpiryOnlyWarns) {
  LogRecorder rec(logger());
  auto got = run([&]() -> asio::awaitable<std::optional<std::string>> {
    co_return co_await safe_cache_get(*cache_, "cachetest:missing", 1.0);
  });
  EXPECT_FALSE(got);
  EXPECT_TRUE(rec.lines().empty());

  run([&]() -> asio::awaitable<void> { co_await safe_cache_set(*cache_, "cachetest:zero", "v", 0); });
  auto lines = rec.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, "WARNING");
  EXPECT_EQ(lines[0].second.rfind("Cache set failed for cachetest:zero: ", 0), 0u) << lines[0].second;
  EXPECT_FALSE(sync_->cmd({"GET", "mvt_v8:cachetest:zero"}));
}

TEST_F(CacheTest, PausedRedisGivesUpAtTheLimitWithAnEmptyReason) {
  run([&]() -> asio::awaitable<void> { co_await cache_->set("cachetest:p", "bytes", 60); });
  LogRecorder rec(logger());
  sync_->cmd({"CLIENT", "PAUSE", "2500"});
  auto got = run([&]() -> asio::awaitable<std::optional<std::string>> {
    co_return co_await safe_cache_get(*cache_, "cachetest:p", 1.0);
  });
  EXPECT_FALSE(got);
  auto lines = rec.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], (std::pair<std::string, std::string>{"WARNING", "Cache get failed for cachetest:p: "}));
  std::this_thread::sleep_for(std::chrono::milliseconds(1700));
  sync_->cmd({"CLIENT", "UNPAUSE"});
  // The abandoned read left no connection behind that could answer the next command.
  for (int i = 0; i < 20; ++i) {
    std::string key = "cachetest:n" + std::to_string(i);
    sync_->cmd({"SET", "mvt_v8:" + key, "value-" + std::to_string(i), "EX", "60"});
  }
  auto values = run([&]() -> asio::awaitable<std::vector<std::optional<std::string>>> {
    std::vector<std::optional<std::string>> out;
    for (int i = 0; i < 20; ++i) out.push_back(co_await safe_cache_get(*cache_, "cachetest:n" + std::to_string(i), 1.0));
    co_return out;
  });
  for (int i = 0; i < 20; ++i) EXPECT_EQ(values[static_cast<size_t>(i)], "value-" + std::to_string(i));
}

TEST_F(CacheTest, UnreachableRedisOnlyWarns) {
  vekt::redis::Options dead = opts_;
  dead.port = vekt::testing::free_port();  // nothing listens there
  vekt::redis::Client client(dead);
  BinaryRedisCache cache(client, "mvt_v8");
  LogRecorder rec(logger());
  auto got = run([&]() -> asio::awaitable<std::optional<std::string>> {
    auto v = co_await safe_cache_get(cache, "plots:1:0:0", 1.0);
    co_await safe_cache_set(cache, "plots:1:0:0", "bytes", 60);
    co_return v;
  });
  EXPECT_FALSE(got);
  auto lines = rec.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].first, "WARNING");
  EXPECT_EQ(lines[0].second.rfind("Cache get failed for plots:1:0:0: ", 0), 0u);
  EXPECT_EQ(lines[1].second.rfind("Cache set failed for plots:1:0:0: ", 0), 0u);
}
