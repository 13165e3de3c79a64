#pragma once
// Conversions of request and settings texts with the rules clients of a Python service rely on:
// int("  +0_42 ") == 42, float("-Infinity"), the word lists of a boolean. Pure functions, no locale.
#include <optional>
#include <string>
#include <string_view>

namespace vekt::base {

// An integer of any size. `text` is the normalised decimal form (no sign for zero or positives,
// no leading zeros, no underscores); `value` is empty when it does not fit in 64 bits ("huge"),
// so a caller can refuse it with its own message instead of seeing it wrap.
struct PyInt {
  std::optional<long long> value;
  std::string text;
  bool huge() const { return !value.has_value(); }
};

// int(text): blanks around, an optional sign, decimal digits with single "_" between them,
// leading zeros allowed; decimal digits of other scripts count as digits ("٣" is 3). Empty when
// the text is not an integer or is longer than 4300 characters.
std::optional<PyInt> py_int(std::string_view text);

// float(text): blanks around, sign, digits with single "_" between digits, ".5", "5.", exponent,
// "inf"/"infinity"/"nan" in any case; digits of other scripts as for py_int. Empty when the text
// is not a number. Overflow gives +-inf. The blanks of both are ASCII whitespace and the Unicode
// spaces, but not the separators \x1c-\x1f that py_strip removes.
std::optional<double> py_float(std::string_view text);

// Boolean words, case-insensitive, no blanks: 1 true t yes y on / 0 false f no n off.
std::optional<bool> py_bool(std::string_view text);

// The blanks Python's str.strip() removes (ASCII and the common Unicode spaces, UTF-8 encoded).
std::string_view py_strip(std::string_view text);

}  // namespace vekt::base
