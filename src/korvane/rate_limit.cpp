#include "korvane/rate_limit.hpp"

#include <exception>
#include <utility>
#include <vector>

#include "base/with_timeout.hpp"
#include "korvane/service.hpp"  // logger()
#include "web/http.hpp"

namespace vekt::korvane {

namespace asio = boost::asio;

namespace {

// One atomic step in Redis: drop a count whose caller has stopped waiting (ARGV[1], ms on the
// server's clock), else count the request and give a counter without an expiry its one-second
// window (a fresh counter, or one that somehow lost its expiry and would otherwise lock the address
// out for good). The window starts at the first request and is never renewed. The server's time
// comes back with the count, so the caller can keep its idea of the server's clock.
const char* const COUNT_SCRIPT =
    "local t = redis.call('TIME') "
    "local now = t[1] * 1000 + math.floor(t[2] / 1000) "
    "if now > tonumber(ARGV[1]) then return {-1, now} end "
    "local n = redis.call('INCR', KEYS[1]) "
    "redis.call('EXPIRE', KEYS[1], 1, 'NX') "
    "return {n, now}";

std::int64_t wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string failure_text(std::exception_ptr e) {
  try {
    std::rethrow_exception(std::move(e));
  } catch (const std::exception& x) {
    return x.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

const redis::Script& RateLimit::script() {
  static const redis::Script s(COUNT_SCRIPT);
  return s;
}

RateLimit::RateLimit(redis::Client& client, RateLimitPolicy policy) : client_(&client), policy_(std::move(policy)) {}

RateLimit::Count RateLimit::count_of(const std::string& client_ip, std::chrono::milliseconds wait) const {
  const std::int64_t awaited_until = wall_ms() + clock_offset_ms_.load(std::memory_order_relaxed) + wait.count();
  return {{policy_.key_prefix + client_ip}, {std::to_string(awaited_until)}};
}

std::optional<long long> RateLimit::read_count(const redis::Reply& reply, std::string& failure) {
  if (reply.is_error()) {
    failure = reply.str;
    return std::nullopt;
  }
  if (reply.type != redis::Reply::Type::Array || reply.elements.size() != 2 ||
      reply.elements[0].type != redis::Reply::Type::Integer || reply.elements[1].type != redis::Reply::Type::Integer) {
    failure = "Unexpected reply to the rate-limit count";
    return std::nullopt;
  }
  clock_offset_ms_.store(reply.elements[1].integer - wall_ms(), std::memory_order_relaxed);
  if (reply.elements[0].integer < 0) {
    failure = "the count reached Redis after its time limit";
    return std::nullopt;
  }
  return reply.elements[0].integer;
}

void RateLimit::decide(std::optional<long long> count, const std::string& failure) {
  if (!count) {
    if (policy_.log_failures && failures_.failed(*logger(), failure))
      logger()->warn("Rate limit check failed: {}", failure);
    return;
  }
  if (policy_.log_failures) failures_.succeeded(*logger());
  if (*count > policy_.limit) throw web::HttpError(429, policy_.refusal);
}

// The commands in one write; a count the server does not know the script of yet is sent once more
// with the script's body (which also loads it for the next ones).
asio::awaitable<std::vector<redis::Reply>> RateLimit::exchange(Count count, std::vector<redis::Argv> others) {
  std::vector<redis::Argv> commands;
  commands.reserve(1 + others.size());
  commands.push_back(script().evalsha(count.keys, count.args));
  for (auto& c : others) commands.push_back(std::move(c));
  std::vector<redis::Reply> replies = co_await client_->pipeline(std::move(commands));
  if (redis::Script::not_loaded(replies.front())) {
    std::vector<redis::Argv> again;
    again.push_back(script().eval(count.keys, count.args));
    replies.front() = std::move((co_await client_->pipeline(std::move(again))).front());
  }
  co_return replies;
}

asio::awaitable<void> RateLimit::admit(std::string client_ip) {
  std::optional<long long> count;
  std::string failure;
  try {
    std::vector<redis::Reply> replies = co_await base::with_timeout(exchange(count_of(client_ip, COUNT_LIMIT), {}), COUNT_LIMIT);
    count = read_count(replies.front(), failure);
  } catch (...) {
    failure = failure_text(std::current_exception());
  }
  decide(count, failure);
}

asio::awaitable<std::optional<std::string>> RateLimit::admit_and_read(std::string client_ip, BinaryRedisCache& cache,
                                                                       std::string cache_key, double cache_timeout) {
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(base::Seconds(cache_timeout));
  std::vector<redis::Argv> others;
  others.push_back(cache.get_command(cache_key));
  std::vector<redis::Reply> replies;
  std::string failure;
  try {
    replies = co_await base::with_timeout(exchange(count_of(client_ip, wait), std::move(others)), wait);
  } catch (...) {
    failure = failure_text(std::current_exception());
  }
  if (replies.size() != 2) {
    decide(std::nullopt, failure);
    cache.get_failed(cache_key, failure);
    co_return std::nullopt;
  }
  decide(read_count(replies[0], failure), failure);
  try {
    std::optional<std::string> value = BinaryRedisCache::get_value(std::move(replies[1]));
    cache.get_succeeded();
    co_return value;
  } catch (const std::exception& e) {
    failure = e.what();
  }
  cache.get_failed(cache_key, failure);
  co_return std::nullopt;
}

}  // namespace vekt::korvane
