#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include <cmath>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "base/conn_pool.hpp"
#include "base/with_timeout.hpp"
#include "support/run.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;
using vekt::base::TimeoutError;
using vekt::base::with_timeout;
using vekt::testing::run;

namespace {

struct Probe {
  bool finished = false;
  bool saw_cancel = false;
};

// Sleeps for `d`, recording whether it finished or was cancelled.
asio::awaitable<int> sleeper(std::chrono::milliseconds d, Probe* probe, int value) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  auto [ec] = co_await t.async_wait(asio::as_tuple(asio::use_awaitable));
  if (ec) {
    probe->saw_cancel = true;
    throw boost::system::system_error(ec);
  }
  probe->finished = true;
  co_return value;
}

asio::awaitable<int> thrower() {
  co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
  throw std::runtime_error("the operation's own failure");
}

asio::awaitable<void> void_sleeper(std::chrono::milliseconds d, Probe* probe) {
  (void)co_await sleeper(d, probe, 0);
}

TEST(WithTimeout, ReturnsTheValueWhenTheOperationWins) {
  asio::io_context io;
  Probe p;
  EXPECT_EQ(run(io, with_timeout(sleeper(1ms, &p, 42), 5.0)), 42);
  EXPECT_TRUE(p.finished);
}

TEST(WithTimeout, CancelsTheOperationAndThrowsAnEmptyTimeoutError) {
  asio::io_context io;
  Probe p;
  try {
    run(io, with_timeout(sleeper(10s, &p, 1), 0.02));
    FAIL() << "no timeout";
  } catch (const TimeoutError& e) {
    EXPECT_STREQ(e.what(), "");
  }
  // The loser was cancelled and had finished before with_timeout returned.
  EXPECT_TRUE(p.saw_cancel);
  EXPECT_FALSE(p.finished);
}

TEST(WithTimeout, RethrowsTheOperationsOwnError) {
  asio::io_context io;
  try {
    run(io, with_timeout(thrower(), 5.0));
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "the operation's own failure");
  }
}

TEST(WithTimeout, VoidOperationsAndChronoLimits) {
  asio::io_context io;
  Probe p;
  run(io, with_timeout(void_sleeper(1ms, &p), 5s));
  EXPECT_TRUE(p.finished);
  Probe q;
  EXPECT_THROW(run(io, with_timeout(void_sleeper(10s, &q), 10ms)), TimeoutError);
  EXPECT_TRUE(q.saw_cancel);
}

TEST(WithTimeout, NonPositiveOrNanLimitsExpireAtOnce) {
  for (double limit : {0.0, -1.0, std::nan("")}) {
    asio::io_context io;
    Probe p;
    EXPECT_THROW(run(io, with_timeout(sleeper(10s, &p, 1), limit)), TimeoutError) << limit;
  }
}

TEST(WithTimeout, NestedLimitsCancelInward) {
  asio::io_context io;
  Probe p;
  auto inner = [&]() -> asio::awaitable<int> { co_return co_await with_timeout(sleeper(10s, &p, 1), 10.0); };
  EXPECT_THROW(run(io, with_timeout(inner(), 0.02)), TimeoutError);
  EXPECT_TRUE(p.saw_cancel);
}

// The pool's bound and its waiting rules, on plain ints.
using IntPool = vekt::base::Pool<int>;

TEST(ConnPool, GrowsToItsBoundThenWaitersTimeOutOrGetTheNextConnection) {
  asio::io_context io;
  auto pool = std::make_shared<IntPool>(2, nullptr);
  auto never = [] { throw std::runtime_error("pool wait expired"); };
  auto a = run(io, pool->acquire(1s, never));
  auto b = run(io, pool->acquire(1s, never));
  EXPECT_FALSE(a.has_connection());  // slots: the caller opens the connection
  a.set(std::make_unique<int>(1));
  b.set(std::make_unique<int>(2));
  EXPECT_EQ(pool->total(), 2u);
  EXPECT_THROW(run(io, pool->acquire(20ms, never)), std::runtime_error);
  EXPECT_EQ(pool->waiting(), 0u);

  // A waiter gets the connection given back.
  auto waiter = [&]() -> asio::awaitable<int> {
    auto l = co_await pool->acquire(5s, never);
    int v = l.has_connection() ? *l : -1;
    l.give_back();
    co_return v;
  };
  auto giver = [&]() -> asio::awaitable<void> {
    asio::steady_timer t(co_await asio::this_coro::executor, 10ms);
    co_await t.async_wait(asio::use_awaitable);
    a.give_back();
  };
  int got = -2;
  asio::co_spawn(io, waiter(), [&](std::exception_ptr, int v) { got = v; });
  asio::co_spawn(io, giver(), asio::detached);
  io.restart();
  io.run();
  EXPECT_EQ(got, 1);
  EXPECT_EQ(pool->idle_count(), 1u);

  // A discarded connection frees its slot.
  b.discard();
  EXPECT_EQ(pool->total(), 1u);
}

TEST(ConnPool, CancelledWaiterLeavesTheQueue) {
  asio::io_context io;
  auto pool = std::make_shared<IntPool>(1, nullptr);
  auto never = [] { throw std::runtime_error("pool wait expired"); };
  auto a = run(io, pool->acquire(1s, never));
  EXPECT_THROW(run(io, with_timeout(pool->acquire(10s, never), 0.02)), TimeoutError);
  EXPECT_EQ(pool->waiting(), 0u);
  a.discard();
  EXPECT_EQ(pool->total(), 0u);
}

}  // namespace
