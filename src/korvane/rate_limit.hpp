#pragma once
// The per-address rate limit of the two tile routes: a counter in Redis per client address with a
// one-second window that starts at the address's first request, and a refusal (429) above the limit.
// Each route has its own instance (key prefix, limit, refusal text, and whether a Redis failure is
// logged); a Redis failure never refuses a request. While Redis fails on every count, the failure is
// logged once in full and then at most once a second (host::FailureLog).
//
// A count is bounded by a short limit of its own, and a count that Redis runs after its caller has
// given up on it is not counted: every count carries the time by which its answer is still awaited,
// and the counting script compares it with the server's clock. Otherwise the requests a stalled
// Redis queued up would all be counted the moment it resumes, and refuse the address's next
// requests though they are within the limit.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/awaitable.hpp>

#include "host/failure_log.hpp"
#include "korvane/cache.hpp"
#include "redis/client.hpp"
#include "redis/script.hpp"

namespace vekt::korvane {

struct RateLimitPolicy {
  std::string key_prefix;     // the counter is this prefix followed by the client address
  long long limit = 0;        // requests served per window; the next one is refused
  std::string refusal;        // detail of the 429
  bool log_failures = false;  // warn "Rate limit check failed: {e}" when Redis fails
};

class RateLimit {
 public:
  // The limit a count alone may take; well under a second, as every request waits for it.
  static constexpr std::chrono::milliseconds COUNT_LIMIT{250};

  RateLimit(redis::Client& client, RateLimitPolicy policy);

  // Counts the request; throws web::HttpError 429 above the limit.
  boost::asio::awaitable<void> admit(std::string client_ip);

  // Counts the request and reads one cache entry in the same round trip (one write, two replies),
  // both within `cache_timeout` seconds. Above the limit it throws 429 whatever the cache holds;
  // otherwise it answers as safe_cache_get does: the cached bytes, or nullopt for a miss or a
  // failure (logged as "Cache get failed for {key}: {e}").
  boost::asio::awaitable<std::optional<std::string>> admit_and_read(std::string client_ip, BinaryRedisCache& cache,
                                                                    std::string cache_key, double cache_timeout);

  const RateLimitPolicy& policy() const { return policy_; }

 private:
  static const redis::Script& script();
  // The count's key and argument: sent by the script's SHA-1, and again with its body when the
  // server does not hold it yet.
  struct Count {
    std::vector<std::string> keys;
    std::vector<std::string> args;
  };
  Count count_of(const std::string& client_ip, std::chrono::milliseconds wait) const;
  // The reply to a count: the count, or a failure (an error reply, a count run too late).
  std::optional<long long> read_count(const redis::Reply& reply, std::string& failure);
  void decide(std::optional<long long> count, const std::string& failure);
  // The count and `others` in one write; the count's reply comes first.
  boost::asio::awaitable<std::vector<redis::Reply>> exchange(Count count, std::vector<redis::Argv> others);

  redis::Client* client_;
  RateLimitPolicy policy_;
  // The server's clock minus ours (ms), learnt from every answer; the time a count is awaited until
  // is given on the server's clock.
  std::atomic<std::int64_t> clock_offset_ms_{0};
  // Redis failing on every count is logged once, then at most once a second.
  host::FailureLog failures_{"Rate limit check"};
};

// The two routes' policies: 40 tiles or 20 boxes a second per address.
inline const RateLimitPolicy TILE_RATE_LIMIT{"rate_limit:gis:", 40, "Too many map requests. Please slow down panning.",
                                             true};
inline const RateLimitPolicy BBOX_RATE_LIMIT{"rate_limit:gis:bbox:", 20, "Too many bbox requests.", false};

// The two routes' limits (valid after startup()).
RateLimit& tile_rate_limit();
RateLimit& bbox_rate_limit();

}  // namespace vekt::korvane
