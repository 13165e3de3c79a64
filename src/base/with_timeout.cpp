#include "base/with_timeout.hpp"

#include <cmath>

namespace vekt::base {

std::chrono::steady_clock::duration to_steady_duration(Seconds seconds) {
  constexpr double kMax = 86400.0;
  double s = seconds.count();
  if (std::isnan(s) || s <= 0.0) return std::chrono::steady_clock::duration::zero();
  if (s > kMax) s = kMax;
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(Seconds(s));
}

}  // namespace vekt::base
