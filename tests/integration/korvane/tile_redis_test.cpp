// What the tile routes ask of Redis, end to end: a cache hit takes one round trip, a refused request
// answers 429 even when its tile is cached, and a stalled Redis neither holds tiles up nor refuses
// requests within the limit once it resumes.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/redis_server.hpp"
#include "support/env.hpp"
#include "support/http.hpp"
#include "support/process.hpp"
#include "support/sync_pg.hpp"
#include "support/sync_redis.hpp"

using json = nlohmann::json;
using vekt::testing::HttpResponse;
using vekt::testing::ServerProcess;
using vekt::testing::SyncRedis;
using Clock = std::chrono::steady_clock;

namespace {

// A zoom-16 plots tile of the loaded data that is not empty: the one around a parcel's inner point.
std::optional<std::string> find_tile(int port, const std::string& client) {
  vekt::testing::SyncPg pg(*vekt::testing::env("DATABASE_URL"));
  auto rows = pg.exec(R"(SELECT ST_X(p) || ' ' || ST_Y(p) FROM (SELECT ST_PointOnSurface("GEOMETRY") p)"
                      R"( FROM "GIS"."PLOT" ORDER BY "ID" LIMIT 20) s)");
  for (const auto& row : rows) {
    if (!row) continue;
    double mx = 0, my = 0;
    if (std::sscanf(row->c_str(), "%lf %lf", &mx, &my) != 2) continue;
    const double half = 20037508.342789244, size = 2 * half / 65536.0;
    const std::string url = "/gis/plots/16/" + std::to_string(static_cast<long long>((mx + half) / size)) + "/" +
                            std::to_string(static_cast<long long>((half - my) / size)) + ".pbf";
    if (vekt::testing::http(port, "GET", url, {{"X-Forwarded-For", client}}).status == 200) return url;
  }
  return std::nullopt;
}

class TileRedis : public ::testing::Test {
 protected:
  void SetUp() override {
    auto redis = vekt::testing::shared_redis();
    if (!vekt::testing::shared_database_url() || !redis) GTEST_SKIP() << "services are not set";
    host_ = redis->host;
    redis_ = std::make_unique<SyncRedis>(*redis);
  }
  HttpResponse get(int port, const std::string& target, const std::string& client) {
    return vekt::testing::http(port, "GET", target, {{"X-Forwarded-For", client}});
  }
  std::optional<std::string> host_;
  std::unique_ptr<SyncRedis> redis_;
};

TEST_F(TileRedis, HitTakesOneRoundTrip) {
  ServerProcess server;
  auto url = find_tile(server.port(), "10.3.0.1");
  ASSERT_TRUE(url) << "no tile of the loaded data";
  const auto fresh = get(server.port(), *url, "10.3.0.1");
  ASSERT_EQ(fresh.header("X-Cache"), "HIT");
  for (const auto& k : redis_->keys("rate_limit:gis:10.3.0.*")) redis_->cmd({"DEL", k});
  const std::string stats0 = *redis_->cmd({"INFO", "stats"});
  const std::string commands0 = *redis_->cmd({"INFO", "commandstats"});
  constexpr int HITS = 5;
  for (int i = 0; i < HITS; ++i) {
    auto r = get(server.port(), *url, "10.3.0.2");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, fresh.body);
    EXPECT_EQ(r.header("X-Cache"), "HIT");
  }
  const std::string stats1 = *redis_->cmd({"INFO", "stats"});
  const std::string commands1 = *redis_->cmd({"INFO", "commandstats"});
  // Per hit one read by Redis of the connection, holding the count and the GET; the two INFO
  // commands after the snapshots add one read each.
  EXPECT_EQ(vekt::testing::info_growth(stats0, stats1, "total_reads_processed:"), HITS + 2);
  EXPECT_EQ(vekt::testing::info_growth(commands0, commands1, "cmdstat_evalsha:calls="), HITS);
  EXPECT_EQ(vekt::testing::info_growth(commands0, commands1, "cmdstat_get:calls="), HITS);
  EXPECT_EQ(vekt::testing::info_growth(commands0, commands1, "cmdstat_eval:calls="), 0);
  const long long pttl = redis_->integer({"PTTL", "rate_limit:gis:10.3.0.2"});
  EXPECT_GT(pttl, 0) << "the counter always has its window";
  EXPECT_LE(pttl, 1000);
}

TEST_F(TileRedis, RefusedWhileTheTileIsCached) {
  ServerProcess server;
  auto url = find_tile(server.port(), "10.3.1.1");
  ASSERT_TRUE(url);
  ASSERT_EQ(get(server.port(), *url, "10.3.1.1").header("X-Cache"), "HIT");
  redis_->cmd({"SET", "rate_limit:gis:10.3.1.2", "40", "EX", "5"});
  auto r = get(server.port(), *url, "10.3.1.2");
  EXPECT_EQ(r.status, 429);
  EXPECT_EQ(r.body, R"({"detail":"Too many map requests. Please slow down panning."})");

  // The same for a Web Mercator box, whose hit also travels with its count.
  const std::string box = "/gis/roads/bbox/?minx=0&miny=0&maxx=1000&maxy=1000&srid=3857";
  redis_->cmd({"SET", "mvt_v8:bbox:roads:0:0:1000:1000:5000:True", "cached box", "EX", "60"});
  auto hit = get(server.port(), box, "10.3.1.3");
  EXPECT_EQ(hit.status, 200);
  EXPECT_EQ(hit.body, "cached box");
  redis_->cmd({"SET", "rate_limit:gis:bbox:10.3.1.3", "20", "EX", "5"});
  auto refused = get(server.port(), box, "10.3.1.3");
  EXPECT_EQ(refused.status, 429);
  EXPECT_EQ(refused.body, R"({"detail":"Too many bbox requests."})");
  redis_->cmd({"DEL", "mvt_v8:bbox:roads:0:0:1000:1000:5000:True", "rate_limit:gis:10.3.1.2",
               "rate_limit:gis:bbox:10.3.1.3"});
}

// Redis stopped (SIGSTOP) under a steady stream of tile requests from one address, within its limit.
TEST_F(TileRedis, StalledRedisNeitherHoldsTilesUpNorRefusesAfterwards) {
  vekt::testing::RedisServer stalled;
  ServerProcess server(std::map<std::string, std::string>{{"REDIS_PORT", std::to_string(stalled.port())}});
  auto url = find_tile(server.port(), "10.3.2.1");
  ASSERT_TRUE(url);
  const pid_t pid = stalled.pid();
  ASSERT_GT(pid, 0);
  struct Resume {
    pid_t pid;
    ~Resume() { ::kill(pid, SIGCONT); }
  } resume{pid};

  // Two senders of one address, 10 requests a second each (half the limit), for `seconds`.
  auto stream = [&](double seconds, std::vector<double>& latencies, std::vector<int>& statuses) {
    std::mutex m;
    std::vector<std::thread> senders;
    for (int s = 0; s < 2; ++s)
      senders.emplace_back([&] {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
          const auto t0 = Clock::now();
          auto r = get(server.port(), *url, "10.3.2.2");
          const double took = std::chrono::duration<double>(Clock::now() - t0).count();
          {
            std::lock_guard lock(m);
            latencies.push_back(took);
            statuses.push_back(r.status);
          }
          std::this_thread::sleep_until(t0 + std::chrono::milliseconds(100));
        }
      });
    for (auto& t : senders) t.join();
  };

  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  std::vector<double> during;
  std::vector<int> during_status;
  std::thread load([&] { stream(3.0, during, during_status); });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  auto health = get(server.port(), "/gis/health/", "10.3.2.3");
  load.join();
  EXPECT_EQ(json::parse(health.body)["cache_status"], "unhealthy");
  ASSERT_FALSE(during.empty());
  std::sort(during.begin(), during.end());
  const double p95 = during[static_cast<size_t>(0.95 * static_cast<double>(during.size() - 1))];
  EXPECT_LT(p95, 1.5) << "p95 of " << during.size() << " requests while Redis was stopped";
  EXPECT_EQ(std::count(during_status.begin(), during_status.end(), 200), static_cast<long>(during_status.size()));

  ASSERT_EQ(::kill(pid, SIGCONT), 0);
  std::vector<double> after;
  std::vector<int> after_status;
  stream(3.0, after, after_status);
  EXPECT_EQ(std::count(after_status.begin(), after_status.end(), 429), 0);
  EXPECT_EQ(std::count(after_status.begin(), after_status.end(), 200), static_cast<long>(after_status.size()));
  auto healthy = get(server.port(), "/gis/health/", "10.3.2.3");
  EXPECT_EQ(json::parse(healthy.body)["cache_status"], "healthy");
}

}  // namespace
