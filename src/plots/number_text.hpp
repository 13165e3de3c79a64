#pragma once
// The texts of the records' numbers, as the figure and the plan pages print them.
#include <optional>
#include <string>
#include <string_view>

#include "plots/records.hpp"

namespace vekt::plots {

// Text forms of the records' values: a number's default text (an integer's digits, a float's
// shortest round-trip form, a decimal's stored digits), and its fixed two-decimal form rounded
// half to even on the exact value ("12.35" for the float 12.345, "12.34" for the decimal).
// fixed_text is the same for any number of decimals (the ".3f" of coordinates on the plan pages).
std::string number_text(const Number& v);
std::string fixed_text(const Number& v, int decimals);
std::string fixed2(const Number& v);

// A decimal numeral taken apart: sign, integer digits (without leading zeros, "0" when there are
// none) and fraction digits. Empty when the text is not an optional sign, digits and an optional
// fraction.
struct DecimalParts {
  bool negative = false;
  std::string int_digits;
  std::string frac_digits;
};
std::optional<DecimalParts> decimal_parts(std::string_view text);

}  // namespace vekt::plots
