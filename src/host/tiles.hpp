#pragma once
// Web Mercator tile arithmetic (XYZ scheme, y = 0 at the north).
#include <string>

#include "web/json.hpp"

namespace vekt::host {

// Half the extent of the EPSG:3857 square, metres.
inline constexpr double WEB_MERCATOR_HALF_EXTENT = 20037508.342789244;

// The tile envelope in EPSG:3857 metres; keys in the order minx, miny, maxx, maxy.
struct TileBounds {
  double minx = 0, miny = 0, maxx = 0, maxy = 0;
  // {"minx": ..., "miny": ..., "maxx": ..., "maxy": ...}
  web::Json to_json() const;
  // The dict text of log lines: {'minx': -20037508.342789244, 'miny': ..., ...}
  std::string py_repr() const;
};

// The tile that holds a point; keys in the order z, x, y.
struct TileXyz {
  long long z = 0, x = 0, y = 0;
  web::Json to_json() const;
  std::string py_repr() const;  // {'z': 16, 'x': 1, 'y': 2}
};

// Bounds of tile (z, x, y): s = 2*HALF/2^z, minx = -HALF + x*s, maxy = HALF - y*s.
TileBounds xyz_to_bbox_web_mercator(long long z, long long x, long long y);

// The tile at `zoom` holding (lat, lon) in degrees; x and y clamped to [0, 2^zoom - 1], so the
// poles and the antimeridian fall on the edge tiles. Non-finite input gives tile (zoom, 0, 0)
// clamped likewise.
TileXyz latlon_to_xyz(double lat, double lon, int zoom);

}  // namespace vekt::host
