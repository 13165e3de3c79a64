#include "host/tiles.hpp"

#include <algorithm>
#include <cmath>

#include "base/numfmt.hpp"

namespace vekt::host {
namespace {

long long clamp_tile(double v, long long n) {
  if (std::isnan(v)) return 0;
  if (v < 0) return 0;
  if (v >= static_cast<double>(n)) return n - 1;
  return static_cast<long long>(std::floor(v));
}

}  // namespace

web::Json TileBounds::to_json() const {
  web::Json j = web::Json::object();
  j["minx"] = minx;
  j["miny"] = miny;
  j["maxx"] = maxx;
  j["maxy"] = maxy;
  return j;
}

std::string TileBounds::py_repr() const {
  return "{'minx': " + base::py_float_str(minx) + ", 'miny': " + base::py_float_str(miny) +
         ", 'maxx': " + base::py_float_str(maxx) + ", 'maxy': " + base::py_float_str(maxy) + "}";
}

web::Json TileXyz::to_json() const {
  web::Json j = web::Json::object();
  j["z"] = z;
  j["x"] = x;
  j["y"] = y;
  return j;
}

std::string TileXyz::py_repr() const {
  return "{'z': " + std::to_string(z) + ", 'x': " + std::to_string(x) + ", 'y': " + std::to_string(y) + "}";
}

TileBounds xyz_to_bbox_web_mercator(long long z, long long x, long long y) {
  const double o = WEB_MERCATOR_HALF_EXTENT;
  const double s = std::ldexp(2 * o, static_cast<int>(-std::clamp<long long>(z, -1074, 1074)));
  TileBounds b;
  b.minx = -o + static_cast<double>(x) * s;
  b.maxx = b.minx + s;
  b.maxy = o - static_cast<double>(y) * s;
  b.miny = b.maxy - s;
  return b;
}

TileXyz latlon_to_xyz(double lat, double lon, int zoom) {
  const int zz = std::clamp(zoom, 0, 62);
  const long long n = 1LL << zz;
  const double nd = static_cast<double>(n);
  const double lat_rad = lat * (M_PI / 180.0);  // as math.radians rounds it
  const double fx = (lon + 180.0) / 360.0 * nd;
  const double fy = (1.0 - std::asinh(std::tan(lat_rad)) / M_PI) / 2.0 * nd;
  TileXyz t;
  t.z = zoom;
  t.x = clamp_tile(fx, n);
  t.y = clamp_tile(fy, n);
  return t;
}

}  // namespace vekt::host
