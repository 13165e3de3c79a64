#include "korvane/service.hpp"

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <fmt/format.h>

#include "base/dotenv.hpp"
#include "host/logger.hpp"
#include "korvane/catalogue.hpp"
#include "korvane/tile_sql.hpp"
#include "web/server.hpp"

namespace vekt::korvane {

namespace asio = boost::asio;

namespace {

// The module-level objects, read-only once made and shared by every loop (the Redis client keeps
// its connection pools per loop). The service is its owner's (vekt-server's main), or, for programs
// and tests without one, made here by startup() and kept for the process.
struct Module {
  std::shared_ptr<spdlog::logger> logger;
  RedisSettings settings;
  Service* service = nullptr;
  // Declared before the service it routes to, so the service made here goes first at exit and
  // its destructor finds the router still there to drop.
  std::unique_ptr<web::Router> router;
  std::unique_ptr<Service> owned;
};

Module& module() {
  static Module m;
  return m;
}

Service& require(Service* p, const char* what) {
  if (!p) throw std::logic_error(std::string("tile service not started: ") + what);
  return *p;
}

int clamp_to_int(long long v) {
  // Out-of-range values fail at the first connection, as they would for any bad port; the bound
  // only keeps the narrowing defined, well above any port or database number Redis accepts.
  if (v < -1) return -1;
  if (v > 65536 * 1024LL) return 65536 * 1024;
  return static_cast<int>(v);
}

}  // namespace

Service::Service(redis::Options redis_options, const ServiceOptions& options, base::BlockingPool& helpers)
    : redis(std::move(redis_options), helpers),
      cache(redis, "mvt_v8"),
      tile_limit(redis, TILE_RATE_LIMIT),
      bbox_limit(redis, BBOX_RATE_LIMIT),
      layer_share(options.db_connections_per_loop / 2),
      admin_token(options.admin_token && !options.admin_token->empty() ? options.admin_token : std::nullopt) {}

Service::~Service() {
  // The module's accessors and router must not outlive the service they hand out.
  Module& m = module();
  if (m.service != this) return;
  m.service = nullptr;
  m.router.reset();
}

redis::Options redis_options(const RedisSettings& s, std::size_t pool_size) {
  redis::Options opts;
  opts.host = s.redis_host;
  opts.port = clamp_to_int(s.redis_port);
  opts.db = clamp_to_int(s.redis_db);
  opts.username = s.redis_username;
  opts.password = s.redis_password;
  opts.connect_timeout = std::chrono::seconds(5);
  opts.socket_timeout = std::chrono::seconds(5);
  // After a failure, requests stop waiting on Redis for a second (tiles come from the database
  // meanwhile); then one command probes it.
  opts.failure_backoff = std::chrono::seconds(1);
  opts.pool_size = pool_size;
  return opts;
}

void startup(ServiceOptions options) {
  if (started()) return;  // once per process
  base::load_dotenv();
  RedisSettings s = read_redis_settings();
  options.redis_pool = host::read_redis_pool(host::process_env, options.redis_pool);
  startup(s, std::move(options), base::shared_blocking_pool());
}

void startup(const RedisSettings& redis, ServiceOptions options, base::BlockingPool& helpers) {
  Module& m = module();
  if (m.router) return;  // once per process
  m.owned = std::make_unique<Service>(redis_options(redis, options.redis_pool), options, helpers);
  startup(redis, *m.owned);
}

void startup(const RedisSettings& redis, Service& service) {
  Module& m = module();
  if (m.router) return;  // once per process
  host::basic_config(spdlog::level::info);
  auto log = host::get_logger("vekt.korvane");

  std::string banner = startup_banner(redis);
  std::fwrite(banner.data(), 1, banner.size(), stdout);
  std::fflush(stdout);

  m.logger = std::move(log);
  m.settings = redis;
  m.service = &service;
  // Statements are built here, once, not on the first request.
  (void)generate_mvt_sql("plots", 16);
  m.router = std::make_unique<web::Router>(make_router(service));
}

bool started() { return module().router != nullptr; }

const web::Router& korvane() {
  if (!module().router) throw std::logic_error("tile service not started: router");
  return *module().router;
}
const RedisSettings& settings() { return module().settings; }
redis::Client& redis_client() { return require(module().service, "redis_client").redis; }
BinaryRedisCache& cache() { return require(module().service, "cache").cache; }
RateLimit& tile_rate_limit() { return require(module().service, "tile_rate_limit").tile_limit; }
RateLimit& bbox_rate_limit() { return require(module().service, "bbox_rate_limit").bbox_limit; }

const std::optional<std::string>& admin_token() {
  static const std::optional<std::string> none;
  const Module& m = module();
  return m.service ? m.service->admin_token : none;
}
LayerShare& layer_share() { return require(module().service, "layer_share").layer_share; }

const std::shared_ptr<spdlog::logger>& logger() {
  Module& m = module();
  if (!m.logger) m.logger = host::get_logger("vekt.korvane");
  return m.logger;
}

namespace {

struct TaskTexts {
  std::string success;
  std::string failure_prefix;
};

// One walk: SCAN from cursor 0 with MATCH and COUNT 100 until the cursor comes back to 0, one DEL
// of all the keys of each page, awaited before the next SCAN; the count is what the DELs removed. A failure ends the walk with ok=false; the keys
// deleted before it stay deleted.
asio::awaitable<InvalidationResult> run_invalidation(redis::Client& client, std::string match,
                                                     std::function<std::string(long long)> success,
                                                     std::string failure_prefix) {
  InvalidationResult r;
  std::string failure;
  try {
    std::string cursor = "0";
    do {
      redis::ScanPage page = co_await client.scan(cursor, match, 100);
      // The page's keys in one DEL: one round trip per page, not per key, so that a large layer
      // empties as quickly under load as idle. Redis answers how many it removed.
      if (!page.keys.empty()) r.deleted_count += co_await client.del(std::move(page.keys));
      cursor = std::move(page.cursor);
    } while (cursor != "0");
    logger()->info("{}", success(r.deleted_count));
    co_return r;
  } catch (const std::exception& e) {
    failure = e.what();
  }
  r.ok = false;
  logger()->error("{}{}", failure_prefix, failure);
  co_return r;
}

asio::io_context& running_loop() {
  asio::io_context* loop = web::current_loop();
  if (!loop || loop->stopped()) throw std::runtime_error("no running event loop");
  return *loop;
}

}  // namespace

asio::awaitable<InvalidationResult> invalidate_layer_task(Service& service, std::string layer_name) {
  std::string pattern = service.cache.name_space() + ":" + layer_name + ":*";
  return run_invalidation(
      service.redis, pattern,
      [layer_name](long long n) {
        return fmt::format("Background task: Invalidated {} cache entries for layer '{}'", n, layer_name);
      },
      fmt::format("Background task failed to invalidate cache for layer '{}': ", layer_name));
}

asio::awaitable<InvalidationResult> invalidate_all_task(Service& service) {
  std::string pattern = service.cache.name_space() + ":*";
  return run_invalidation(
      service.redis, pattern,
      [](long long n) { return fmt::format("Background task: Invalidated ALL cache entries: {} keys deleted", n); },
      "Background task failed to invalidate all cache: ");
}

asio::awaitable<InvalidationResult> invalidate_pattern_task(Service& service, std::string pattern) {
  std::string full_pattern = service.cache.name_space() + ":" + pattern;
  return run_invalidation(
      service.redis, full_pattern,
      [pattern](long long n) {
        return fmt::format("Background task: Invalidated {} cache entries matching pattern '{}'", n, pattern);
      },
      fmt::format("Background task failed to invalidate cache by pattern '{}': ", pattern));
}

asio::awaitable<InvalidationResult> _invalidate_layer_cache_task(std::string layer_name) {
  return invalidate_layer_task(require(module().service, "cache"), std::move(layer_name));
}

asio::awaitable<InvalidationResult> _invalidate_all_cache_task() {
  return invalidate_all_task(require(module().service, "cache"));
}

asio::awaitable<InvalidationResult> _invalidate_cache_by_pattern_task(std::string pattern) {
  return invalidate_pattern_task(require(module().service, "cache"), std::move(pattern));
}

void invalidate_layer_cache(const std::string& layer_name) {
  auto& loop = running_loop();
  asio::co_spawn(loop, _invalidate_layer_cache_task(layer_name), asio::detached);
  logger()->debug("Scheduled background cache invalidation for layer '{}'", layer_name);
}

// Use with caution: it empties the cache of every layer.
void invalidate_all_cache() {
  auto& loop = running_loop();
  asio::co_spawn(loop, _invalidate_all_cache_task(), asio::detached);
  logger()->debug("Scheduled background cache invalidation for ALL layers");
}

// `pattern` follows the namespace, e.g. "plots:18:*" for every zoom-18 plot tile.
void invalidate_cache_by_pattern(const std::string& pattern) {
  auto& loop = running_loop();
  asio::co_spawn(loop, _invalidate_cache_by_pattern_task(pattern), asio::detached);
  logger()->debug("Scheduled background cache invalidation for pattern '{}'", pattern);
}

}  // namespace vekt::korvane
