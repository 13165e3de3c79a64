#pragma once
// FifoGate<Gift>: callers waiting their turn, first come first served, on one event loop.
//
// A caller that cannot go on at once (no connection free, its layer's share taken) waits here; the
// one who frees a place hands it over to the longest waiter, with whatever comes with it (a
// connection, or nothing but the place). Each waiter sleeps on a timer of its own that the hand-over
// cancels, so a hand-over costs no lock and wakes exactly one caller. A wait ends in one of three
// ways: handed a turn, the wait's limit passed, or cancelled (the waiting coroutine cancelled, or
// the gate closed by wake_all()); a caller not handed a turn has left the line when wait() returns.
// A caller who already waited once and lost what it was given (its worker died under it) may go to
// the head of the line instead of its tail.
//
// Touched only on the loop that owns it: nothing here takes a lock.
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/error_code.hpp>

namespace vekt::base {

template <class Gift = std::monostate>
class FifoGate {
 public:
  struct Turn {
    bool granted = false;  // handed over: `gift` is the caller's
    Gift gift{};
    // Not granted: success when the limit passed, operation_aborted when cancelled or woken.
    boost::system::error_code ec;
  };

  enum class Place { Last, First };

  // Waits in line until handed a turn, `limit` passes (none: no limit) or the wait is cancelled.
  boost::asio::awaitable<Turn> wait(std::optional<std::chrono::steady_clock::duration> limit = std::nullopt,
                                    Place place = Place::Last) {
    namespace asio = boost::asio;
    auto w = std::make_shared<Waiter>(co_await asio::this_coro::executor);
    if (limit) w->timer.expires_after(*limit);
    else w->timer.expires_at(asio::steady_timer::time_point::max());
    if (place == Place::First) waiters_.push_front(w);
    else waiters_.push_back(w);
    auto [ec] = co_await w->timer.async_wait(asio::as_tuple(asio::use_awaitable));
    if (w->granted) co_return Turn{true, std::move(w->gift), {}};
    std::erase(waiters_, w);
    co_return Turn{false, Gift{}, ec};
  }

  bool empty() const { return waiters_.empty(); }
  std::size_t size() const { return waiters_.size(); }

  // The longest waiter gets its turn with `gift`; false (the gift untouched) when nobody waits.
  bool hand_over(Gift& gift) {
    if (waiters_.empty()) return false;
    auto w = std::move(waiters_.front());
    waiters_.pop_front();
    w->granted = true;
    w->gift = std::move(gift);
    w->timer.cancel();
    return true;
  }
  bool hand_over() {
    Gift none{};
    return hand_over(none);
  }

  // Every waiter wakes without a turn (operation_aborted), for a shutdown.
  void wake_all() {
    auto waiters = std::move(waiters_);
    waiters_.clear();
    for (auto& w : waiters) w->timer.cancel();
  }

 private:
  struct Waiter {
    explicit Waiter(boost::asio::any_io_executor ex) : timer(std::move(ex)) {}
    boost::asio::steady_timer timer;
    bool granted = false;
    Gift gift{};
  };
  std::deque<std::shared_ptr<Waiter>> waiters_;
};

}  // namespace vekt::base
