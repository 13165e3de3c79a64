#pragma once
// race_timer(op, timer): an asynchronous operation against a timer, whichever ends first.
//
// Both run in an Asio parallel group: the first to finish wins, the other is cancelled through its
// cancellation slot and waited for, so the operation has let go of its socket (or finished its
// clean-up) when the race returns. Cancelling the awaiting coroutine cancels both; it shows as
// operation_aborted on whichever ends first. Every time-limited wait of the clients (a Redis read
// or write, a connect, a PostgreSQL socket wait) and with_timeout run through here; each caller
// maps the outcome to its own error.
#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/error_code.hpp>

namespace vekt::base {

// The end of a race; `Results` are the operation's completion values (an error_code first, for
// the operations of sockets and descriptors).
template <class... Results>
struct Raced {
  bool timer_first = false;               // the timer ended first and the operation was cancelled
  boost::system::error_code timer_error;  // operation_aborted: the wait was cancelled, not expired
  std::tuple<Results...> results{};       // what the operation completed with (when it won)

  // The limit passed before the operation ended.
  bool timed_out() const { return timer_first && timer_error != boost::asio::error::operation_aborted; }
  // The awaiting coroutine was cancelled: seen on the timer, or on an operation whose first
  // completion value is an error code.
  bool cancelled() const {
    if (timer_first) return timer_error == boost::asio::error::operation_aborted;
    if constexpr (sizeof...(Results) > 0) {
      using First = std::tuple_element_t<0, std::tuple<Results...>>;
      if constexpr (std::is_same_v<First, boost::system::error_code>)
        return std::get<0>(results) == boost::asio::error::operation_aborted;
    }
    return false;
  }
};

namespace detail {

// The parallel group's completion (order, the operation's values..., the timer's error code) as
// a Raced.
template <class Tuple, std::size_t... I>
auto to_raced(Tuple&& all, std::index_sequence<I...>) {
  constexpr std::size_t last = std::tuple_size_v<std::decay_t<Tuple>> - 1;
  Raced<std::tuple_element_t<I + 1, std::decay_t<Tuple>>...> r;
  r.timer_first = std::get<0>(all)[0] == 1;
  r.timer_error = std::get<last>(all);
  r.results = std::make_tuple(std::move(std::get<I + 1>(all))...);
  return r;
}

template <class Op>
auto group_with_timer(Op&& op, boost::asio::steady_timer& timer) {
  namespace asio = boost::asio;
  return asio::experimental::make_parallel_group(std::forward<Op>(op), timer.async_wait(asio::deferred))
      .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
}

template <class Op>
using GroupResult = typename decltype(group_with_timer(std::declval<Op>(),
                                                       std::declval<boost::asio::steady_timer&>()))::value_type;

template <class Op>
using RacedOf = decltype(to_raced(std::declval<GroupResult<Op>>(),
                                  std::make_index_sequence<std::tuple_size_v<GroupResult<Op>> - 2>()));

}  // namespace detail

// `op` is a deferred operation (`async_x(..., boost::asio::deferred)`); the timer's expiry must be
// set. The timer is the caller's, so one deadline can bound several steps.
template <class Op>
boost::asio::awaitable<detail::RacedOf<Op>> race_timer(Op op, boost::asio::steady_timer& timer) {
  auto all = co_await detail::group_with_timer(std::move(op), timer);
  co_return detail::to_raced(std::move(all), std::make_index_sequence<std::tuple_size_v<decltype(all)> - 2>());
}

}  // namespace vekt::base
