// The invalidation tasks and their schedulers, in process, against the real Redis.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "korvane/service.hpp"
#include "support/http.hpp"
#include "support/log_recorder.hpp"
#include "support/redis_test.hpp"
#include "support/run.hpp"
#include "web/router.hpp"
#include "web/server.hpp"

namespace asio = boost::asio;
using namespace vekt::korvane;
using vekt::testing::LogRecorder;
using vekt::testing::SyncRedis;
using vekt::testing::run;

namespace {

const std::vector<std::string> SEEDED = {
    "mvt_v8:plots:18:1:1", "mvt_v8:plots:18:2:2", "mvt_v8:plots:12:1:1", "mvt_v8:roads:4:1:1",
    "mvt_v8:bbox:plots:1:2:3:4:5000:True", "mvt_v8:bbox:roads:1:2:3:4:5000:False", "mvt_v8:centroid:plots",
    "mvt_v8:health_check", "rate_limit:gis:10.0.0.1"};

class Tasks : public vekt::testing::RedisTest {
 protected:
  void SetUp() override {
    RedisTest::SetUp();
    if (IsSkipped()) return;
    startup();
    redis_ = sync();
    redis_->del_matching("mvt_v8:*");
    for (const auto& k : SEEDED) redis_->cmd({"SET", k, "v", "EX", "600"});
  }
  void TearDown() override {
    if (!redis_) return;
    for (const auto& k : SEEDED) redis_->cmd({"DEL", k});
  }
  SyncRedis* redis_ = nullptr;
};

}  // namespace

TEST_F(Tasks, PatternsReachTheirFamilies) {
  struct Case {
    const char* kind;
    std::string arg;
    long long deleted;
    std::string log;
  };
  const std::vector<Case> cases = {
      {"pattern", "plots:18:*", 2, "Background task: Invalidated 2 cache entries matching pattern 'plots:18:*'"},
      {"pattern", "", 0, "Background task: Invalidated 0 cache entries matching pattern ''"},
      {"pattern", "mvt_v8:*", 0, "Background task: Invalidated 0 cache entries matching pattern 'mvt_v8:*'"},
      {"layer", "nope", 0, "Background task: Invalidated 0 cache entries for layer 'nope'"},
      {"layer", "bbox", 2, "Background task: Invalidated 2 cache entries for layer 'bbox'"},
      {"layer", "*", 7, "Background task: Invalidated 7 cache entries for layer '*'"},
      {"pattern", "*", 8, "Background task: Invalidated 8 cache entries matching pattern '*'"},
      {"all", "", 8, "Background task: Invalidated ALL cache entries: 8 keys deleted"},
  };
  for (const auto& c : cases) {
    for (const auto& k : SEEDED) redis_->cmd({"SET", k, "v", "EX", "600"});
    LogRecorder rec(logger());
    InvalidationResult r = run([&]() -> asio::awaitable<InvalidationResult> {
      if (std::string(c.kind) == "pattern") co_return co_await _invalidate_cache_by_pattern_task(c.arg);
      if (std::string(c.kind) == "layer") co_return co_await _invalidate_layer_cache_task(c.arg);
      co_return co_await _invalidate_all_cache_task();
    });
    EXPECT_TRUE(r.ok) << c.kind << " " << c.arg;
    EXPECT_EQ(r.deleted_count, c.deleted) << c.kind << " " << c.arg;
    auto lines = rec.lines();
    ASSERT_EQ(lines.size(), 1u) << c.arg;
    EXPECT_EQ(lines[0], (std::pair<std::string, std::string>{"INFO", c.log}));
    EXPECT_TRUE(redis_->cmd({"GET", "rate_limit:gis:10.0.0.1"}));  // never touched
  }
}

TEST_F(Tasks, SchedulersNeedARunningLoop) {
  LogRecorder rec(logger());
  EXPECT_THROW(invalidate_all_cache(), std::runtime_error);
  EXPECT_THROW(invalidate_layer_cache("plots"), std::runtime_error);
  EXPECT_THROW(invalidate_cache_by_pattern("plots:18:*"), std::runtime_error);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(rec.lines().empty());
  EXPECT_EQ(redis_->keys("mvt_v8:*").size(), 8u);
}

TEST_F(Tasks, SchedulersRunInTheBackgroundOnTheServerLoop) {
  vekt::web::App app;
  vekt::web::Router router("/t");
  auto add = [&](std::string path, std::function<void()> schedule) {
    vekt::web::Route r;
    r.method = "POST";
    r.path = std::move(path);
    r.name = "schedule";
    r.handler = [schedule](vekt::web::Request&) -> asio::awaitable<vekt::web::Response> {
      schedule();  // returns at once; the deletion runs after this handler
      co_return vekt::web::empty_response(204);
    };
    router.add(std::move(r));
  };
  add("/pattern", [] { invalidate_cache_by_pattern("plots:18:*"); });
  add("/layer", [] { invalidate_layer_cache("roads"); });
  add("/all", [] { invalidate_all_cache(); });
  app.include_router(router);
  vekt::web::ServerConfig cfg;
  cfg.port = 0;
  cfg.threads = 1;
  vekt::web::Server server(app, cfg);
  server.start();
  LogRecorder rec(logger());
  auto wait_for_keys = [&](size_t n) {
    for (int i = 0; i < 100 && redis_->keys("mvt_v8:*").size() != n; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return redis_->keys("mvt_v8:*").size();
  };
  EXPECT_EQ(vekt::testing::http(server.port(), "POST", "/t/pattern").status, 204);
  EXPECT_EQ(wait_for_keys(6), 6u);
  EXPECT_EQ(vekt::testing::http(server.port(), "POST", "/t/layer").status, 204);
  EXPECT_EQ(wait_for_keys(5), 5u);
  EXPECT_EQ(vekt::testing::http(server.port(), "POST", "/t/all").status, 204);
  EXPECT_EQ(wait_for_keys(0), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.stop();
  server.wait();
  std::vector<std::string> infos;
  for (const auto& [level, text] : rec.lines())
    if (level == "INFO") infos.push_back(text);
  EXPECT_EQ(infos, (std::vector<std::string>{
                       "Background task: Invalidated 2 cache entries matching pattern 'plots:18:*'",
                       "Background task: Invalidated 1 cache entries for layer 'roads'",
                       "Background task: Invalidated ALL cache entries: 5 keys deleted"}));
  EXPECT_TRUE(redis_->cmd({"GET", "rate_limit:gis:10.0.0.1"}));
}
