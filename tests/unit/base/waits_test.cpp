// The two waiting primitives every client shares: a race against a timer and a FIFO line.
#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include "base/fifo_gate.hpp"
#include "base/timer_race.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using vekt::base::FifoGate;
using vekt::base::race_timer;
using vekt::testing::run;

// One race of a wait on `op_after` against a limit of `limit_after`; `cancel` is called on the
// loop once both have started.
struct RaceCase {
  const char* name;
  std::chrono::steady_clock::duration op_after, limit_after;
  enum { none, cancel_limit, cancel_op } cancel;
  bool timer_first, timed_out, cancelled;
};

TEST(RaceTimer, TellsTheWinnerATimeOutAndACancellationApart) {
  const RaceCase cases[] = {
      {"operation first", 0ms, 1h, RaceCase::none, false, false, false},
      {"limit first", 1h, 0ms, RaceCase::none, true, true, false},
      {"limit's wait cancelled", 1h, 1h, RaceCase::cancel_limit, true, false, true},
      {"operation aborted", 1h, 1h, RaceCase::cancel_op, false, false, true},
  };
  for (const auto& c : cases) {
    asio::io_context io;
    asio::steady_timer op(io, c.op_after), limit(io, c.limit_after);
    std::optional<vekt::base::Raced<boost::system::error_code>> result;
    asio::co_spawn(io, race_timer(op.async_wait(asio::deferred), limit), [&](std::exception_ptr e, auto r) {
      EXPECT_FALSE(e) << c.name;
      result = r;
    });
    io.poll();  // both waits have started
    if (c.cancel == RaceCase::cancel_limit) limit.cancel();
    if (c.cancel == RaceCase::cancel_op) op.cancel();
    io.run();
    ASSERT_TRUE(result) << c.name;
    const auto& raced = *result;
    EXPECT_EQ(raced.timer_first, c.timer_first) << c.name;
    EXPECT_EQ(raced.timed_out(), c.timed_out) << c.name;
    EXPECT_EQ(raced.cancelled(), c.cancelled) << c.name;
    if (!c.timer_first && !c.cancelled) {
      EXPECT_FALSE(std::get<0>(raced.results)) << c.name;
    }
  }
}

TEST(FifoGate, HandsTurnsOverInArrivalOrderWithTheirGifts) {
  asio::io_context io;
  FifoGate<int> gate;
  std::vector<std::pair<int, int>> got;  // (arrival, gift)
  for (int arrival = 0; arrival < 3; ++arrival)
    asio::co_spawn(io, [&, arrival]() -> asio::awaitable<void> {
      auto turn = co_await gate.wait(1h);
      EXPECT_TRUE(turn.granted);
      got.emplace_back(arrival, turn.gift);
    }, asio::detached);
  io.poll();
  ASSERT_EQ(gate.size(), 3u);
  for (int gift : {10, 20, 30}) EXPECT_TRUE(gate.hand_over(gift));
  io.run();
  EXPECT_EQ(got, (std::vector<std::pair<int, int>>{{0, 10}, {1, 20}, {2, 30}}));
  EXPECT_TRUE(gate.empty());
  int untouched = 7;
  EXPECT_FALSE(gate.hand_over(untouched));
  EXPECT_EQ(untouched, 7);
}

TEST(FifoGate, ACallerSentToTheHeadOfTheLineIsServedFirst) {
  asio::io_context io;
  FifoGate<int> gate;
  std::vector<int> order;
  const auto wait = [&](int who, FifoGate<int>::Place place) {
    asio::co_spawn(io, [&, who, place]() -> asio::awaitable<void> {
      auto turn = co_await gate.wait(1h, place);
      EXPECT_TRUE(turn.granted);
      order.push_back(who);
    }, asio::detached);
    io.poll();
  };
  wait(1, FifoGate<int>::Place::Last);
  wait(2, FifoGate<int>::Place::Last);
  wait(3, FifoGate<int>::Place::First);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(gate.hand_over());
  io.run();
  EXPECT_EQ(order, (std::vector<int>{3, 1, 2}));
}

TEST(FifoGate, AWaitEndsAtItsLimitOrWhenWokenAndLeavesTheLine) {
  asio::io_context io;
  FifoGate<std::unique_ptr<int>> gate;
  const auto expired = run(io, gate.wait(0ms));
  EXPECT_FALSE(expired.granted);
  EXPECT_FALSE(expired.ec);  // the limit passed: no error of its own
  EXPECT_TRUE(gate.empty());

  std::optional<FifoGate<std::unique_ptr<int>>::Turn> woken;
  asio::co_spawn(io, gate.wait(), [&](std::exception_ptr e, auto turn) {
    EXPECT_FALSE(e);
    woken = std::move(turn);
  });
  io.restart();
  io.poll();  // waiting, without a limit
  ASSERT_EQ(gate.size(), 1u);
  gate.wake_all();
  io.run();
  ASSERT_TRUE(woken);
  EXPECT_FALSE(woken->granted);
  EXPECT_EQ(woken->ec, asio::error::operation_aborted);
  EXPECT_TRUE(gate.empty());
}

}  // namespace
