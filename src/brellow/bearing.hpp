#pragma once
// The bearing texts of a boundary leg: whole degrees and minutes, each zero-filled to at least two
// digits (a third digit is kept), with the degree sign U+00B0 and the apostrophe as minute mark,
// no blanks. Locale-independent.
#include <string>

namespace vekt::brellow {

struct BearingTexts {
  std::string full;     // "05°07'"
  std::string degrees;  // "05°"
  std::string minutes;  // "07'"
};

BearingTexts bearing_texts(long long degrees, long long minutes);

}  // namespace vekt::brellow
