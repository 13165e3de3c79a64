#include "base/descriptors.hpp"

#include <sys/resource.h>

#include <gtest/gtest.h>

namespace {

TEST(Descriptors, TheSoftLimitIsRaisedToTheHardOne) {
  rlimit lim{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
  const rlimit lowered{lim.rlim_max > 256 ? 256 : lim.rlim_max, lim.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const auto raised = vekt::base::raise_descriptor_limit();
  EXPECT_EQ(raised.before, lowered.rlim_cur);
  rlimit now{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(raised.limit, now.rlim_cur);
  if (lim.rlim_max != RLIM_INFINITY) {
    EXPECT_EQ(now.rlim_cur, lim.rlim_max);
  }
  ::setrlimit(RLIMIT_NOFILE, &lim);
}

}  // namespace
