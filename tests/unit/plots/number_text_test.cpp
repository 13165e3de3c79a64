#include "plots/number_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace vekt::plots {
namespace {

TEST(NumberText, DefaultAndFixedDecimalForms) {
  EXPECT_EQ(fixed2(Number{12.345}), "12.35");
  EXPECT_EQ(fixed2(Number{Decimal{"12.345"}}), "12.34");
  EXPECT_EQ(fixed2(Number{Decimal{"12.355"}}), "12.36");
  EXPECT_EQ(fixed2(Number{Decimal{"12.3451"}}), "12.35");
  EXPECT_EQ(fixed2(Number{Decimal{"-0.004"}}), "-0.00");
  EXPECT_EQ(fixed2(Number{Decimal{"99.995"}}), "100.00");
  EXPECT_EQ(fixed2(Number{Decimal{"7"}}), "7.00");
  EXPECT_EQ(fixed2(Number{1234.5678}), "1234.57");
  EXPECT_EQ(fixed2(Number{2.5}), "2.50");
  EXPECT_EQ(fixed2(Number{std::int64_t{7}}), "7.00");
  EXPECT_EQ(fixed2(Number{std::int64_t{0}}), "0.00");
  EXPECT_EQ(number_text(Number{std::int64_t{1200}}), "1200");
  EXPECT_EQ(number_text(Number{1200.0}), "1200.0");
  EXPECT_EQ(number_text(Number{Decimal{"1200.50"}}), "1200.50");
  // The plan pages print coordinates with three decimals through the same rounding.
  EXPECT_EQ(fixed_text(Number{345678.12351}, 3), "345678.124");
  EXPECT_EQ(fixed_text(Number{std::int64_t{7}}, 3), "7.000");
  EXPECT_EQ(fixed_text(Number{Decimal{"345678.1235"}}, 3), "345678.124");
  EXPECT_EQ(fixed_text(Number{Decimal{"0.0005"}}, 3), "0.000");
}

}  // namespace
}  // namespace vekt::plots
