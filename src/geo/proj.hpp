#pragma once
// Coordinate reference systems and transformations on PROJ. PROJ objects are not thread safe: each
// thread has its own PROJ context, and a Crs or Transformer belongs to the thread that made it.
#include <memory>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "geo/geometry.hpp"

struct PJconsts;
typedef struct PJconsts PJ;

namespace vekt::geo {

class ProjError : public base::Error {
 public:
  using base::Error::Error;
};

namespace detail {
struct PjDeleter {
  void operator()(PJ* p) const noexcept;
};
}  // namespace detail

class Crs {
 public:
  // From a code such as "EPSG:3857" (any text PROJ accepts as a CRS).
  static Crs from_user_input(std::string_view text);

  // The name PROJ gives the system ("WGS 84 / Pseudo-Mercator").
  std::string name() const;
  // True when both describe the same system.
  bool equivalent_to(const Crs& other) const;

  PJ* raw() const { return pj_.get(); }

 private:
  explicit Crs(PJ* p) : pj_(p) {}
  std::unique_ptr<PJ, detail::PjDeleter> pj_;
};

class Transformer {
 public:
  // From `src` to `dst`. With `always_xy` the axes are x (easting, longitude) first on input and
  // output, whatever order the systems declare.
  static Transformer from_crs(const Crs& src, const Crs& dst, bool always_xy = true);

  // One point; ProjError when PROJ cannot transform it or the result is not finite.
  XY transform(double x, double y) const;

  // The geometry with every vertex transformed (same kind, vertex for vertex).
  Geometry transform(GeometryRef g) const;

 private:
  explicit Transformer(PJ* p) : pj_(p) {}
  std::unique_ptr<PJ, detail::PjDeleter> pj_;
};

}  // namespace vekt::geo
