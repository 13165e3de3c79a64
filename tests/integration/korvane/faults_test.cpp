// The tile service when the database misbehaves behind it: connections the server ended, a layer's
// table locked, a shutdown while statements are blocked, the database unreachable.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/env.hpp"
#include "support/http.hpp"
#include "support/process.hpp"
#include "support/redis_server.hpp"
#include "support/sync_pg.hpp"
#include "support/sync_redis.hpp"

using vekt::testing::HttpResponse;
using vekt::testing::ServerProcess;
using vekt::testing::SyncPg;
using vekt::testing::SyncRedis;
using namespace std::chrono_literals;

namespace {

// Zoom-14 tiles in a block around the generated data's corner (distinct tiles: each one a cache
// miss, so each runs its statement).
std::string tile_path(const std::string& layer, int i) {
  constexpr double HALF = 20037508.342789244;
  const double s = 2 * HALF / std::pow(2.0, 14);
  const long long x0 = static_cast<long long>(std::floor((823770.0 + HALF) / s));
  const long long y0 = static_cast<long long>(std::floor((HALF - 1006016.0) / s));
  return "/gis/" + layer + "/14/" + std::to_string(x0 + i % 20) + "/" + std::to_string(y0 + i / 20) + ".pbf";
}

std::string detail(const HttpResponse& r) {
  try {
    return nlohmann::json::parse(r.body).at("detail").get<std::string>();
  } catch (...) {
    return "<no detail>";
  }
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    auto url = vekt::testing::shared_database_url();
    auto redis = vekt::testing::shared_redis();
    if (!url || !redis) GTEST_SKIP() << "DATABASE_URL / REDIS_HOST / REDIS_PORT not set";
    url_ = *url;
    pg_ = std::make_unique<SyncPg>(url_);
    redis_ = std::make_unique<SyncRedis>(*redis);
    clear_cache();
  }
  void clear_cache() {
    redis_->del_matching("mvt_v8:*");
    redis_->del_matching("rate_limit:*");
  }
  // Each request from its own client address: the rate limit never enters these tests.
  static HttpResponse get(const ServerProcess& s, const std::string& target, int client) {
    return vekt::testing::http(s.port(), "GET", target,
                              {{"X-Forwarded-For", "10.9." + std::to_string(client / 250) + "." + std::to_string(client % 250 + 1)}});
  }
  // The plots table locked by `locker` until it rolls back, and `n` plots tile requests that wait
  // for it.
  std::vector<std::future<HttpResponse>> held_up_by_lock(SyncPg& locker, const ServerProcess& server, int n) {
    locker.exec("BEGIN");
    locker.exec(R"(LOCK TABLE "GIS"."PLOT" IN ACCESS EXCLUSIVE MODE)");
    std::vector<std::future<HttpResponse>> held;
    for (int i = 0; i < n; ++i)
      held.push_back(std::async(std::launch::async, [&server, i] { return get(server, tile_path("plots", i), i); }));
    return held;
  }
  std::string active_tile_statements() {
    return pg_->exec("SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND query LIKE '%ST_AsMVT%' "
                     "AND pid <> pg_backend_pid()")
        .at(0)
        .value_or("?");
  }

  std::string url_;
  std::unique_ptr<SyncPg> pg_;
  std::unique_ptr<SyncRedis> redis_;
};

TEST_F(Faults, ConnectionsTheServerEndedCostNoRequest) {
  ServerProcess server(std::map<std::string, std::string>{{"VEKT_THREADS", "2"}, {"VEKT_DB_POOL_SIZE", "5"}});
  // Warm every pool: requests at once on distinct tiles.
  std::vector<std::future<HttpResponse>> warm;
  for (int i = 0; i < 20; ++i) warm.push_back(std::async(std::launch::async, [&, i] { return get(server, tile_path("plots", i), i); }));
  for (auto& f : warm) ASSERT_LT(f.get().status, 300);
  pg_->exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() "
            "AND backend_type = 'client backend' AND pid <> pg_backend_pid()");
  clear_cache();
  int errors = 0;
  for (int i = 0; i < 200; ++i) {
    auto r = get(server, tile_path("roads", i), 100 + i);
    if (r.status >= 500) ++errors;
  }
  EXPECT_EQ(errors, 0);
}

TEST_F(Faults, ALockedLayerLeavesTheOthersServed) {
  // One loop of four connections: plots may hold two of them.
  ServerProcess server(std::map<std::string, std::string>{{"VEKT_THREADS", "1"}, {"VEKT_DB_POOL_SIZE", "4"}});
  SyncPg locker(url_);
  auto blocked = held_up_by_lock(locker, server, 6);
  std::this_thread::sleep_for(500ms);
  const auto start = std::chrono::steady_clock::now();
  auto roads = get(server, tile_path("roads", 0), 50);
  const auto took = std::chrono::steady_clock::now() - start;
  auto centroid = get(server, "/gis/roads/", 51);
  locker.exec("ROLLBACK");
  EXPECT_LT(roads.status, 300);
  EXPECT_LT(took, 2s);
  EXPECT_EQ(centroid.status, 200);
  for (auto& f : blocked) EXPECT_LT(f.get().status, 300);
}

TEST_F(Faults, ShutdownLeavesNoStatementRunning) {
  ServerProcess server;
  SyncPg locker(url_);
  auto blocked = held_up_by_lock(locker, server, 3);
  for (int i = 0; i < 100 && active_tile_statements() != "3"; ++i) std::this_thread::sleep_for(20ms);
  ASSERT_EQ(active_tile_statements(), "3");
  // The grace (10 s) runs out before the statements' own limit (15 s at zoom 14).
  EXPECT_EQ(server.terminate(20s), 0);
  EXPECT_EQ(active_tile_statements(), "0");
  locker.exec("ROLLBACK");
  // Still in hand when the grace ran out: answered "shutting down" before their statements went.
  for (auto& f : blocked) {
    auto r = f.get();
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(detail(r), "The server is shutting down");
  }
}

// The lines of `log` that contain `needle`.
int lines_with(const std::string& log, const std::string& needle) {
  int n = 0;
  for (std::size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
  return n;
}

// Redis refusing every write (out of memory, no eviction) under tile load: the tiles are served as
// ever, and each failing operation is logged once with its cause, then at most once a second with
// how many requests it touched since, and once more when Redis takes writes again.
TEST_F(Faults, RedisOutOfMemoryIsLoggedOnceThenAtMostOnceASecond) {
  vekt::testing::RedisServer full;
  SyncRedis admin("127.0.0.1", full.port());
  // Past a megabyte of data first, then the limit: every write is refused from now on.
  admin.cmd({"SET", "filler", std::string(2 << 20, 'x')});
  admin.cmd({"CONFIG", "SET", "maxmemory-policy", "noeviction"});
  admin.cmd({"CONFIG", "SET", "maxmemory", "1mb"});
  ASSERT_EQ(admin.cmd({"SET", "probe", "1"}).value_or("").rfind("OOM", 0), 0u);
  ServerProcess server(std::map<std::string, std::string>{{"REDIS_HOST", "127.0.0.1"}, {"REDIS_PORT", std::to_string(full.port())}});

  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 240; ++i) {
    const auto r = get(server, tile_path(i % 2 ? "roads" : "plots", i / 2), i);
    ASSERT_LT(r.status, 300) << r.body;
    std::this_thread::sleep_for(10ms);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::this_thread::sleep_for(200ms);
  const std::string log = server.stderr_text();
  EXPECT_EQ(lines_with(log, "WARNING:vekt.korvane:Rate limit check failed: "), 1) << log;
  const auto first = log.find("WARNING:vekt.korvane:Rate limit check failed: ");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.substr(first, log.find('\n', first) - first).find("OOM"), std::string::npos) << log;
  EXPECT_EQ(lines_with(log, "WARNING:vekt.korvane:Cache set failed for "), 1) << log;
  const int summaries = lines_with(log, "WARNING:vekt.korvane:Rate limit check still failing: ");
  EXPECT_GE(summaries, 1) << log;
  EXPECT_LE(summaries, static_cast<int>(seconds) + 1) << log;
  EXPECT_LE(lines_with(log, "WARNING:vekt.korvane:Cache set still failing: "), static_cast<int>(seconds) + 1) << log;
  EXPECT_LE(lines_with(log, "WARNING:"), 2 * (static_cast<int>(seconds) + 2)) << log;

  // The tile whose write failed first is asked for again: its write goes through this time.
  const std::string failed_set = "Cache set failed for ";
  const auto key_at = log.find(failed_set);
  ASSERT_NE(key_at, std::string::npos);
  std::string key = log.substr(key_at + failed_set.size());
  key = key.substr(0, key.find(": "));  // layer:z:x:y
  std::string path = "/gis/" + key + ".pbf";
  for (char& c : path)
    if (c == ':') c = '/';
  admin.cmd({"CONFIG", "SET", "maxmemory", "0"});
  ASSERT_EQ(get(server, path, 300).status, 200) << path;
  ASSERT_EQ(get(server, path, 301).status, 200) << path;
  std::this_thread::sleep_for(200ms);
  const std::string after = server.stderr_text();
  EXPECT_EQ(lines_with(after, "INFO:vekt.korvane:Rate limit check works again after "), 1) << after;
  EXPECT_EQ(lines_with(after, "INFO:vekt.korvane:Cache set works again after "), 1) << after;
}

}  // namespace
