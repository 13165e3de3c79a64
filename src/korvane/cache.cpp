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
  co_return get_value(co_await redis_->command(get_command(key)));
}

redis::Argv BinaryRedisCache::get_command(std::string_view key) const { return {"GET", _make_key(key)}; }

std::optional<std::string> BinaryRedisCache::get_value(redis::Reply reply) {
  if (reply.is_error()) throw redis::Error(reply.str);
  if (reply.is_nil()) return std::nullopt;
  if (reply.type != redis::Reply::Type::String) throw redis::Error("Unexpected reply to GET");
  return std::move(reply.str);
}

void BinaryRedisCache::get_failed(std::string_view key, std::string_view reason) {
  if (get_failures_.failed(*logger(), reason)) logger()->warn("Cache get failed for {}: {}", key, reason);
}

void BinaryRedisCache::get_succeeded() { get_failures_.succeeded(*logger()); }

void BinaryRedisCache::set_failed(std::string_view key, std::string_view reason) {
  if (set_failures_.failed(*logger(), reason)) logger()->warn("Cache set failed for {}: {}", key, reason);
}

void BinaryRedisCache::set_succeeded() { set_failures_.succeeded(*logger()); }

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
    std::optional<std::string> value = co_await base::with_timeout(cache.get(key), timeout);
    cache.get_succeeded();
    co_return value;
  } catch (const std::exception& e) {
    failure = e.what();
  }
  cache.get_failed(key, failure);
  co_return std::nullopt;
}

asio::awaitable<void> safe_cache_set(BinaryRedisCache& cache, std::string key, std::string value, long long ttl) {
  std::string failure;
  try {
    co_await base::with_timeout(cache.set(key, std::move(value), ttl), CACHE_WRITE_LIMIT);
    cache.set_succeeded();
    co_return;
  } catch (const std::exception& e) {
    failure = e.what();
  }
  cache.set_failed(key, failure);
}

asio::awaitable<std::optional<std::string>> safe_cache_get(std::string key, double timeout) {
  return safe_cache_get(cache(), std::move(key), timeout);
}

asio::awaitable<void> safe_cache_set(std::string key, std::string value, long long ttl) {
  return safe_cache_set(cache(), std::move(key), std::move(value), ttl);
}

}  // namespace vekt::korvane
