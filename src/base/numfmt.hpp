#pragma once
// Locale-independent number formatting with the text forms the outside world expects.
#include <string>

namespace vekt::base {

// Shortest text that reads back as the same double, in the form Python's repr/str gives
// ("0.1", "1e-05", "1.0", "inf", "nan", "-0.0").
std::string py_float_str(double v);

// Fixed notation with `decimals` digits after the point, rounded half-even on the binary value
// exactly as printf("%.*f") does ("%.2f").
std::string fixed(double v, int decimals);

// Zero-padded integer of at least `width` digits ("%02d"); the sign counts toward the width.
std::string zero_pad(long long v, int width);

}  // namespace vekt::base
