// The tile routes work with the Service they are handed: a test builds its own, with its own admin
// token and invalidation state, and mounts its routes on a server of its own.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/blocking_pool.hpp"
#include "korvane/service.hpp"
#include "support/env.hpp"
#include "support/http.hpp"
#include "web/router.hpp"
#include "web/server.hpp"

using namespace vekt::korvane;

TEST(OwnService, InvalidationAnswersFromTheServiceItIsGiven) {
  const auto host = vekt::testing::env("REDIS_HOST");
  const auto port = vekt::testing::env("REDIS_PORT");
  if (!host || !port) GTEST_SKIP() << "REDIS_HOST / REDIS_PORT are not set";
  using Headers = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    std::optional<std::string> token;
    Headers headers;
    bool running;  // an invalidation of this service already holds its place
    int status;
    std::string body;
  };
  const std::string busy = R"({"detail":"Cache invalidation already running"})";
  const std::vector<Case> cases = {
      {"s3cret", {}, false, 401, R"({"detail":"Not authenticated"})"},
      {"s3cret", {{"Authorization", "Bearer wrong"}}, true, 401, R"({"detail":"Not authenticated"})"},
      {"s3cret", {{"Authorization", "Bearer s3cret"}}, true, 409, busy},
      {std::nullopt, {}, true, 409, busy},
  };
  vekt::base::BlockingPool helpers(1);
  for (const auto& c : cases) {
    vekt::redis::Options redis;
    redis.host = *host;
    redis.port = std::stoi(*port);
    Service service(std::move(redis), ServiceOptions{.admin_token = c.token}, helpers);
    service.invalidating = c.running;
    vekt::web::App app;
    app.include_router(make_router(service));
    vekt::web::ServerConfig cfg;
    cfg.port = 0;
    cfg.threads = 1;
    vekt::web::Server server(app, cfg);
    server.start();
    const auto answer = vekt::testing::http(server.port(), "POST", "/gis/cache/invalidate/plots", c.headers);
    EXPECT_EQ(answer.status, c.status) << c.body;
    EXPECT_EQ(answer.body, c.body);
    // A refused request leaves the running invalidation its place.
    EXPECT_EQ(service.invalidating.load(), c.running);
    server.stop();
    server.wait();
  }
}
