#pragma once
// with_timeout(op, limit): run an awaitable operation under a time limit.
//
// The operation is raced against a timer (race_timer: an Asio parallel group, never `operator||`,
// which waits out the timer and drops the operation's exception). Whichever finishes first wins and the
// other is cancelled through its cancellation slot; the group then waits for the loser to finish, so
// an operation that cleans up on cancellation (a PostgreSQL statement cancelled on the server and
// rolled back, a Redis connection closed) has done so before with_timeout returns.
//
// - the operation finishes first: its value is returned, or its own exception is rethrown unchanged;
// - the timer fires first: the operation is cancelled (Asio terminal cancellation) and TimeoutError
//   is thrown, whose what() is the empty string.
//
// A limit of zero or less still starts the operation and cancels it at once. Cancellation of the
// awaiting coroutine itself (from an outer group) is passed on to the operation as well.
#include <chrono>
#include <exception>
#include <type_traits>
#include <utility>
#include <variant>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "base/error.hpp"
#include "base/timer_race.hpp"

namespace vekt::base {

// The error of an expired time limit. Its text is empty, as log lines rely on ("...: " at the end).
class TimeoutError : public Error {
 public:
  TimeoutError() : Error("") {}
};

using Seconds = std::chrono::duration<double>;

// The limit as a steady_clock duration; a non-finite or huge limit is clamped to a day.
std::chrono::steady_clock::duration to_steady_duration(Seconds seconds);

namespace detail {

// The race itself, for an operation that yields a value.
template <class T>
boost::asio::awaitable<T> race_with_timer(boost::asio::awaitable<T> op, std::chrono::steady_clock::duration limit) {
  namespace asio = boost::asio;
  static_assert(std::is_default_constructible_v<T>, "with_timeout needs a default-constructible result type");
  auto ex = co_await asio::this_coro::executor;
  asio::steady_timer timer(ex, limit);
  auto raced = co_await race_timer(asio::co_spawn(ex, std::move(op), asio::deferred), timer);
  if (!raced.timer_first) {
    auto& [op_error, value] = raced.results;
    if (op_error) std::rethrow_exception(op_error);
    co_return std::move(value);
  }
  throw TimeoutError();
}

// A void operation as one that yields a monostate; it runs inline, cancellation and all.
inline boost::asio::awaitable<std::monostate> with_monostate(boost::asio::awaitable<void> op) {
  co_await std::move(op);
  co_return std::monostate{};
}

}  // namespace detail

template <class T>
boost::asio::awaitable<T> with_timeout(boost::asio::awaitable<T> op,
                                       std::chrono::steady_clock::duration limit) {
  if constexpr (std::is_void_v<T>) {
    co_await detail::race_with_timer(detail::with_monostate(std::move(op)), limit);
  } else {
    co_return co_await detail::race_with_timer(std::move(op), limit);
  }
}

// The same with the limit in seconds (1.0, 2.5, ...), as callers give it.
template <class T>
boost::asio::awaitable<T> with_timeout(boost::asio::awaitable<T> op, double seconds) {
  return with_timeout<T>(std::move(op), to_steady_duration(Seconds(seconds)));
}

template <class T, class Rep, class Period>
boost::asio::awaitable<T> with_timeout(boost::asio::awaitable<T> op,
                                       std::chrono::duration<Rep, Period> limit) {
  return with_timeout<T>(std::move(op),
                         to_steady_duration(std::chrono::duration_cast<Seconds>(limit)));
}

}  // namespace vekt::base
