#include "base/numfmt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using vekt::base::fixed;
using vekt::base::py_float_str;
using vekt::base::zero_pad;

TEST(NumFmt, PythonFloatText) {
  struct Case {
    double v;
    const char* text;
  } cases[] = {
      {0.0, "0.0"},       {-0.0, "-0.0"},     {1.0, "1.0"},          {0.1, "0.1"},
      {1e-5, "1e-05"},    {0.0001, "0.0001"}, {1e16, "1e+16"},       {1234567890123456.0, "1234567890123456.0"},
      {2.5e-7, "2.5e-07"}, {-3.75, "-3.75"},  {1.5e300, "1.5e+300"}, {20037508.342789244, "20037508.342789244"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "nan"},
  };
  for (const auto& c : cases) EXPECT_EQ(py_float_str(c.v), c.text) << c.text;
}

TEST(NumFmt, FixedAndPadded) {
  EXPECT_EQ(fixed(2.675, 2), "2.67");  // the binary value lies below 2.675
  EXPECT_EQ(fixed(0.125, 2), "0.12");  // exact tie goes to even
  EXPECT_EQ(fixed(12.0, 2), "12.00");
  EXPECT_EQ(fixed(-0.001, 2), "-0.00");
  EXPECT_EQ(zero_pad(5, 2), "05");
  EXPECT_EQ(zero_pad(123, 2), "123");
  EXPECT_EQ(zero_pad(-5, 2), "-5");
}
