#include "base/lookup.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "base/with_timeout.hpp"
#include "support/run.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;
using vekt::testing::run;

TEST(Lookup, WaitForFlagSeesAnotherThreadWithinItsLimitAndHonoursCancellation) {
  asio::io_context io;
  std::atomic<bool> later{false};
  std::thread setter([&later] {
    std::this_thread::sleep_for(30ms);
    later.store(true);
  });
  EXPECT_TRUE(run(io, vekt::base::wait_for_flag(later, 5000ms)));
  setter.join();

  std::atomic<bool> never{false};
  EXPECT_FALSE(run(io, vekt::base::wait_for_flag(never, 50ms)));
  // An outer limit ends the wait long before its own.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(run(io, vekt::base::with_timeout(vekt::base::wait_for_flag(never, 60000ms), 0.05)),
               vekt::base::TimeoutError);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

TEST(Lookup, NumericAddressesNamesAndFailures) {
  asio::io_context io;
  auto numeric = run(io, vekt::base::lookup_host("::1", 1000ms));
  ASSERT_EQ(numeric.size(), 1u);
  EXPECT_EQ(numeric[0].to_string(), "::1");

  auto local = run(io, vekt::base::lookup_host("localhost", 5000ms));
  ASSERT_FALSE(local.empty());
  for (const auto& a : local) EXPECT_TRUE(a.is_loopback()) << a.to_string();

  // A name no server knows fails, or is given up, within the limit: never an unbounded wait.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(run(io, vekt::base::lookup_host("vekt-lookup-test.invalid", 300ms)), vekt::base::LookupError);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}
