#include "korvane/cache.hpp"

#include <exception>
#include <utility>
#include <vector>

#include "base/with_timeout.hpp"
#include "korvane/service.hpp"

namespace vekt::korvane {

namespace asio = boost::asio;

BinaryRedisCache::BinaryRedisCache(redis::Client& redis_client, std::string namespace_)
    : redis_(&redis_client), namespace_(std::move(namespace_)) {}

std::string BinaryRedisCache::_make_key(std::string_view key) const {
  std::string out;
  out.reserve(namespace_.size() + 1 + key.size());
  out += namespace_;
  out += ':';
  out += key;
  return out;
}

asio::awaitable<std::optional<std::string>> BinaryRedisCache::get(std::string key) {
  co_return co_await redis_->get(_make_key(key));
}

asio::awaitable<void> BinaryRedisCache::set(std::string key, std::string value, long long ttl) {
  co_await redis_->set(_make_key(key), std::move(value), ttl);
}

asio::awaitable<void> BinaryRedisCache::del(std::string key) {
  std::vector<std::string> keys{_make_key(key)};
  co_await redis_->del(std::move(keys));
}

asio::awaitable<std::optional<std::string>> safe_cache_get(BinaryRedisCache& cache, std::string key,
                                                           double timeout) {
  std::string failure;
  try {
    co_return co_await base::with_timeout(cache.get(key), timeout);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  logger()->warn("Cache get failed for {}: {}", key, failure);
  co_return std::nullopt;
}

asio::awaitable<void> safe_cache_set(BinaryRedisCache& cache, std::string key, std::string value, long long ttl) {
  try {
    co_await cache.set(key, std::move(value), ttl);
  } catch (const std::exception& e) {
    logger()->warn("Cache set failed for {}: {}", key, e.what());
  }
}

asio::awaitable<std::optional<std::string>> safe_cache_get(std::string key, double timeout) {
  return safe_cache_get(cache(), std::move(key), timeout);
}

asio::awaitable<void> safe_cache_set(std::string key, std::string value, long long ttl) {
  return safe_cache_set(cache(), std::move(key), std::move(value), ttl);
}

}  // namespace vekt::korvane
