#pragma once
// The tile service as the host sees it: start-up, the router, the module objects and the
// invalidation schedulers.
#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>
#include <spdlog/logger.h>

#include "korvane/cache.hpp"
#include "korvane/layer_share.hpp"
#include "korvane/rate_limit.hpp"
#include "korvane/settings.hpp"
#include "redis/client.hpp"
#include "web/router.hpp"

namespace vekt::korvane {

// What the host decides for the tile service, read once from its own settings.
struct ServiceOptions {
  // The bearer token that may empty the cache; without one, only clients on this machine may.
  std::optional<std::string> admin_token;
  // The database connections of each event loop; one layer may hold half of them at most.
  std::size_t db_connections_per_loop = 10;
  // The Redis connections of each event loop at most.
  std::size_t redis_pool = 256;
};

// What the tile routes work with, built once and handed to each of them, so that a route's
// signature says what it touches. vekt-server's main owns its Service and hands it to startup();
// programs and tests without one let startup() build it. The module accessors below hand out its
// parts while it lives.
struct Service {
  // The Redis client looks host names up on `helpers`, which must outlive the service.
  Service(redis::Options redis_options, const ServiceOptions& options, base::BlockingPool& helpers);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  redis::Client redis;
  BinaryRedisCache cache;  // namespace "mvt_v8"
  RateLimit tile_limit;    // the z/x/y route's
  RateLimit bbox_limit;    // the bounding-box route's, counted apart
  LayerShare layer_share;
  std::optional<std::string> admin_token;  // unset (never empty): loopback clients only
  std::atomic<bool> invalidating{false};   // one cache invalidation at a time
};

// The Redis client's options for `settings`: 5 s to connect and for each reply, a second's pause
// after a failure, at most `pool_size` connections a loop.
redis::Options redis_options(const RedisSettings& settings, std::size_t pool_size);

// The seven routes, each bound to `service` (which must outlive the router).
web::Router make_router(Service& service);

// Loads .env, reads the Redis settings and VEKT_REDIS_POOL from the environment, then runs the
// start-up below with base::shared_blocking_pool(). Throws base::ValueError (nothing printed) when
// REDIS_PORT or REDIS_DB is not an integer.
void startup(ServiceOptions options = {});
// Run once by the host before it listens, with the settings it read: configures logging at INFO,
// creates the one Redis client (looking host names up on `helpers`, which must outlive it) and the
// one cache (namespace "mvt_v8"; nothing is sent to Redis), prints the four start-up lines on
// standard output and registers the seven routes.
void startup(const RedisSettings& redis, ServiceOptions options, base::BlockingPool& helpers);
// The same start-up over a service its caller owns (vekt-server's main), which the module objects
// below then hand out until it is destroyed.
void startup(const RedisSettings& redis, Service& service);
bool started();

// The router "/gis" with the tag "GIS Tiles" (valid after startup()).
const web::Router& korvane();

// Module objects (valid after startup()); read-only once created.
const RedisSettings& settings();
redis::Client& redis_client();
BinaryRedisCache& cache();
const std::shared_ptr<spdlog::logger>& logger();
const std::optional<std::string>& admin_token();
LayerShare& layer_share();

// The outcome of one invalidation run: keys deleted, and whether the walk finished.
struct InvalidationResult {
  long long deleted_count = 0;
  bool ok = true;
};

// "Internal task for cache invalidation." Deletes "{namespace}:{layer_name}:*".
boost::asio::awaitable<InvalidationResult> _invalidate_layer_cache_task(std::string layer_name);
// "Internal task for invalidating all cache." Deletes "{namespace}:*".
boost::asio::awaitable<InvalidationResult> _invalidate_all_cache_task();
// "Internal task for pattern-based cache invalidation." Deletes "{namespace}:{pattern}".
boost::asio::awaitable<InvalidationResult> _invalidate_cache_by_pattern_task(std::string pattern);

// The same walks over a given service's cache.
boost::asio::awaitable<InvalidationResult> invalidate_layer_task(Service& service, std::string layer_name);
boost::asio::awaitable<InvalidationResult> invalidate_all_task(Service& service);
boost::asio::awaitable<InvalidationResult> invalidate_pattern_task(Service& service, std::string pattern);

// Start the matching task in the background on the event loop of the calling thread and return at
// once. Throws std::runtime_error when called off the server's event loops.
void invalidate_layer_cache(const std::string& layer_name);
void invalidate_all_cache();
void invalidate_cache_by_pattern(const std::string& pattern);

}  // namespace vekt::korvane
