#include "base/lookup.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include <boost/asio/io_context.hpp>

#include "support/run.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;
using vekt::testing::run;

TEST(Lookup, NumericAddressesNamesAndFailures) {
  asio::io_context io;
  vekt::base::BlockingPool helpers(2);
  auto numeric = run(io, vekt::base::lookup_host(helpers, "::1", 1000ms));
  ASSERT_EQ(numeric.size(), 1u);
  EXPECT_EQ(numeric[0].to_string(), "::1");

  auto local = run(io, vekt::base::lookup_host(helpers, "localhost", 5000ms));
  ASSERT_FALSE(local.empty());
  for (const auto& a : local) EXPECT_TRUE(a.is_loopback()) << a.to_string();

  // A name no server knows fails, or is given up, within the limit: never an unbounded wait.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(run(io, vekt::base::lookup_host(helpers, "vekt-lookup-test.invalid", 300ms)), vekt::base::LookupError);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}
