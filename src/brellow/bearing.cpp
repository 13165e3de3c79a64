#include "brellow/bearing.hpp"

#include "base/numfmt.hpp"

namespace vekt::brellow {

BearingTexts bearing_texts(long long degrees, long long minutes) {
  static constexpr const char* DEGREE_SIGN = "\xC2\xB0";
  const std::string d = base::zero_pad(degrees, 2);
  const std::string m = base::zero_pad(minutes, 2);
  return {d + DEGREE_SIGN + m + "'", d + DEGREE_SIGN, m + "'"};
}

}  // namespace vekt::brellow
