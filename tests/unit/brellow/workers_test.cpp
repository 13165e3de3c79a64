// The figure workers and the document queue: figures drawn off the event loop, their errors and
// time limits, and the bound on documents in hand.
#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <thread>

#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "brellow/document_queue.hpp"
#include "brellow/figure_workers.hpp"
#include "support/run.hpp"

namespace {

using namespace std::chrono_literals;
using vekt::brellow::DocumentQueue;
using vekt::brellow::FigureTimeout;
using vekt::brellow::FigureWorkers;
using vekt::plots::FigureResult;

TEST(FigureWorkers, DrawsOffTheLoopAndHandsBackTheFigure) {
  FigureWorkers workers(2);
  const auto loop_thread = std::this_thread::get_id();
  std::thread::id drawn_on;
  FigureResult r = vekt::testing::run([&]() {
    return workers.run(
        [&] {
          drawn_on = std::this_thread::get_id();
          FigureResult f;
          f.image = "iVBOR";
          f.scale = 500;
          return f;
        },
        5s);
  });
  EXPECT_NE(drawn_on, loop_thread);
  EXPECT_EQ(r.image, "iVBOR");
  EXPECT_EQ(r.scale, 500);
}

TEST(FigureWorkers, PassesTheDrawingsErrorOn) {
  FigureWorkers workers(1);
  EXPECT_THROW(vekt::testing::run([&]() {
                 return workers.run([]() -> FigureResult { throw std::invalid_argument("Parcel with id=7 not found."); },
                                    5s);
               }),
               std::invalid_argument);
}

TEST(FigureWorkers, TimesOutWhileTheLoopKeepsRunning) {
  std::optional<FigureWorkers> held(std::in_place, 1);
  FigureWorkers& workers = *held;
  std::atomic<bool> finished{false};
  boost::asio::io_context io;
  int ticks = 0;
  auto waiting = [&]() -> boost::asio::awaitable<bool> {
    try {
      co_await workers.run(
          [&] {
            std::this_thread::sleep_for(400ms);
            finished = true;
            return FigureResult{};
          },
          100ms);
    } catch (const FigureTimeout&) {
      co_return true;
    }
    co_return false;
  };
  auto ticking = [&]() -> boost::asio::awaitable<void> {
    for (int i = 0; i < 5; ++i) {
      co_await vekt::testing::sleep_for(10ms);
      ++ticks;
    }
  };
  auto both = [&]() -> boost::asio::awaitable<bool> {
    boost::asio::co_spawn(co_await boost::asio::this_coro::executor, ticking(), boost::asio::detached);
    co_return co_await waiting();
  };
  EXPECT_TRUE(vekt::testing::run(io, both()));
  EXPECT_EQ(ticks, 5);  // the loop served other work while the figure was drawn
  // The late figure runs on to its end (the workers let it finish as they stop) and is dropped.
  held.reset();
  EXPECT_TRUE(finished.load());
}

TEST(DocumentQueue, TurnsAwayBeyondItsLimitAndFreesPlaces) {
  DocumentQueue q(2);
  {
    auto a = q.enter();
    auto b = q.enter();
    EXPECT_EQ(q.in_hand(), 2u);
    EXPECT_THROW(q.enter(), vekt::brellow::QueueFull);
  }
  EXPECT_EQ(q.in_hand(), 0u);
  auto c = q.enter();
  EXPECT_EQ(q.in_hand(), 1u);
}

}  // namespace
