#pragma once
// A point in the plane: data coordinates, axes fractions or pixels, as the user of it says. Geometry
// and drawing share this one type so coordinates pass between them without copying.
namespace vekt::base {

struct XY {
  double x = 0;
  double y = 0;
  friend bool operator==(const XY&, const XY&) = default;
};

}  // namespace vekt::base
