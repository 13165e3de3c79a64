#include "base/blocking_pool.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <memory>
#include <thread>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>

#include "base/with_timeout.hpp"
#include "support/run.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;
using vekt::base::BlockingPool;
using vekt::testing::run;

TEST(BlockingPool, HandsBackTheValueOrTheExceptionFromAnotherThread) {
  asio::io_context io;
  BlockingPool pool(2);
  const auto caller = std::this_thread::get_id();
  EXPECT_NE(run(io, pool.run([] { return std::this_thread::get_id(); }, 5000ms)), caller);
  EXPECT_EQ(run(io, pool.run([] { return std::string("drawn"); }, 5000ms)), "drawn");
  std::atomic<bool> ran{false};
  run(io, pool.run([&ran] { ran = true; }, 5000ms));
  EXPECT_TRUE(ran);
  EXPECT_THROW(run(io, pool.run([]() -> int { throw std::invalid_argument("bad input"); }, 5000ms)),
               std::invalid_argument);
}

TEST(BlockingPool, GivesUpAtItsLimitWhileTheJobRunsOnAlone) {
  asio::io_context io;
  BlockingPool pool(1);
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<bool> finished{false};
  EXPECT_THROW(run(io, pool.run([released, &finished] {
                 released.wait();
                 finished = true;
                 return 1;
               }, 50ms)),
               vekt::base::TimeoutError);
  EXPECT_FALSE(finished);
  release.set_value();
  // The given-up job still ends, and the next one is served once it has.
  EXPECT_EQ(run(io, pool.run([] { return 2; }, 5000ms)), 2);
  EXPECT_TRUE(finished);
}

TEST(BlockingPool, AnOuterLimitOrCancellationEndsTheWait) {
  asio::io_context io;
  BlockingPool pool(1);
  std::promise<void> release;
  auto released = release.get_future().share();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(run(io, vekt::base::with_timeout(pool.run([released] { released.wait(); }, 60000ms), 0.05)),
               vekt::base::TimeoutError);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  release.set_value();
}

// Waits on the pool for a job that runs until `released`, then marks that it was resumed.
asio::awaitable<void> wait_on_job(BlockingPool& pool, std::shared_future<void> released, std::atomic<bool>* ended,
                                  std::atomic<bool>* resumed) {
  // Named before the co_await: g++ 12 destroys a lambda temporary that owns a value inside a
  // co_await expression twice.
  auto job = [released, ended] {
    released.wait();
    *ended = true;
  };
  co_await pool.run(std::move(job), 60000ms);
  *resumed = true;
}

TEST(BlockingPool, AJobThatEndsAfterItsLoopIsGoneTouchesNothingOfIt) {
  BlockingPool pool(1);
  std::promise<void> release;
  std::atomic<bool> ended{false}, resumed{false};
  {
    asio::io_context io;
    asio::co_spawn(io, wait_on_job(pool, release.get_future().share(), &ended, &resumed), asio::detached);
    io.run_for(20ms);
  }  // the loop and the waiting coroutine are destroyed while the job still runs
  release.set_value();
  asio::io_context io;
  // Served after the orphaned job, so that one has ended: it ran to its end, its waiter was never
  // resumed, and the pool goes on serving.
  EXPECT_EQ(run(io, pool.run([] { return 7; }, 5000ms)), 7);
  EXPECT_TRUE(ended);
  EXPECT_FALSE(resumed);
}

TEST(BlockingPool, JoinDropsTheJobsStillInLineAndRefusesNewOnes) {
  asio::io_context io;
  BlockingPool pool(1);
  std::promise<void> release, started;
  auto released = release.get_future().share();
  // The job in line lets the first one end when it is dropped, so join() must drop it to return.
  struct ReleaseWhenDropped {
    explicit ReleaseWhenDropped(std::promise<void>& p) : release(p) {}
    ~ReleaseWhenDropped() { release.set_value(); }
    std::promise<void>& release;
  };
  auto dropped = std::make_shared<ReleaseWhenDropped>(release);
  std::string first_outcome, second_outcome;
  asio::co_spawn(io, pool.run([released, &started] {
    started.set_value();
    released.wait();
    return std::string("finished");
  }, 60000ms), [&](std::exception_ptr e, std::string v) { first_outcome = e ? "error" : v; });
  asio::co_spawn(io, pool.run([dropped] { return std::string("finished"); }, 60000ms),
                 [&](std::exception_ptr e, std::string v) {
                   try {
                     if (e) std::rethrow_exception(e);
                     second_outcome = v;
                   } catch (const vekt::base::Error& err) {
                     second_outcome = err.what();
                   }
                 });
  dropped.reset();
  io.poll();
  started.get_future().wait();
  pool.join();
  io.run();
  EXPECT_EQ(first_outcome, "finished");  // the job in hand ran to its end
  EXPECT_EQ(second_outcome, "the helper threads have stopped");
  EXPECT_THROW(run(io, pool.run([] { return 3; }, 5000ms)), vekt::base::Error);
}

TEST(BlockingPool, ThreadsRunAtTheNicenessTheyAreGiven) {
  asio::io_context io;
  BlockingPool pool(1, 5);
  EXPECT_EQ(run(io, pool.run([] { return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())); }, 5000ms)), 5);
}
