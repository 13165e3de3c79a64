#pragma once
// The Redis tile cache: finished tiles and centroid answers stored as raw bytes under a namespace.
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "host/failure_log.hpp"
#include "redis/client.hpp"

namespace vekt::korvane {

inline constexpr double CACHE_WRITE_LIMIT = 0.5;  // seconds

// "Simple Redis cache for binary MVT tiles without UTF-8 decoding."
// One command per operation; nothing is caught here. The client is shared, not owned.
class BinaryRedisCache {
 public:
  explicit BinaryRedisCache(redis::Client& redis_client, std::string namespace_ = "mvt");

  // "{namespace}:{key}".
  std::string _make_key(std::string_view key) const;
  // "Get binary data from cache." GET of the namespaced key: the stored bytes, or nullopt.
  boost::asio::awaitable<std::optional<std::string>> get(std::string key);
  // "Set binary data in cache with TTL." SET key value EX ttl.
  boost::asio::awaitable<void> set(std::string key, std::string value, long long ttl = 3600);
  // "Delete key from cache." DEL of the namespaced key.
  boost::asio::awaitable<void> del(std::string key);

  // The GET that `get` sends, for a caller that sends it together with other commands, and the
  // value of its reply (nullopt for a miss; an error reply throws redis::Error).
  redis::Argv get_command(std::string_view key) const;
  static std::optional<std::string> get_value(redis::Reply reply);

  redis::Client& redis() const { return *redis_; }
  const std::string& name_space() const { return namespace_; }

  // What the safe wrappers (and a caller that reads through get_command) tell of each read and
  // write: a failure is the warning "Cache get failed for {key}: {e}" or "Cache set failed for
  // {key}: {e}" when it is the first since a success, then counted and summed up at most once a
  // second (host::FailureLog); the first success after failures is logged once.
  void get_failed(std::string_view key, std::string_view reason);
  void get_succeeded();
  void set_failed(std::string_view key, std::string_view reason);
  void set_succeeded();

 private:
  redis::Client* redis_;
  std::string namespace_;
  host::FailureLog get_failures_{"Cache get"};
  host::FailureLog set_failures_{"Cache set"};
};

// "Safely get from cache with timeout." A miss, a time-out and any failure all give nullopt; the
// failures are logged as "Cache get failed for {key}: {e}" (the first of a run of them in full, see
// BinaryRedisCache::get_failed).
boost::asio::awaitable<std::optional<std::string>> safe_cache_get(std::string key, double timeout = 1.0);

// "Safely set cache value." A failure is logged as "Cache set failed for {key}: {e}" (the first of a
// run of them in full) and swallowed.
// The write is given up after CACHE_WRITE_LIMIT: a stalled Redis must not hold up the answer.
boost::asio::awaitable<void> safe_cache_set(std::string key, std::string value, long long ttl);

// The same two wrappers over a given cache (the module's `cache` is used by the ones above).
boost::asio::awaitable<std::optional<std::string>> safe_cache_get(BinaryRedisCache& cache, std::string key,
                                                                  double timeout);
boost::asio::awaitable<void> safe_cache_set(BinaryRedisCache& cache, std::string key, std::string value,
                                            long long ttl);

}  // namespace vekt::korvane
