#pragma once
// Pieces of PostgreSQL COPY text: escaped fields, fixed-point numbers and hex EWKB geometries.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vekt::gen {

struct XY {
  double x;
  double y;
};

inline constexpr int SRID_WEB_MERCATOR = 3857;

// A text field, with backslash, tab, line feed and carriage return escaped.
void append_field(std::string& out, std::string_view text);
// The COPY text form of NULL.
void append_null(std::string& out);
void append_int(std::string& out, long long v);
// "%.{decimals}f" without locale.
void append_fixed(std::string& out, double v, int decimals);

// Extended WKB (little endian, with SRID) as upper-case hex, the text form PostGIS reads for a
// geometry column.
void append_ewkb_point(std::string& out, XY p, int srid = SRID_WEB_MERCATOR);
void append_ewkb_linestring(std::string& out, const std::vector<XY>& pts, int srid = SRID_WEB_MERCATOR);
// `ring` is the exterior ring without the closing point; it is closed here.
void append_ewkb_polygon(std::string& out, const std::vector<XY>& ring, int srid = SRID_WEB_MERCATOR);
void append_ewkb_multipolygon(std::string& out, const std::vector<XY>& ring, int srid = SRID_WEB_MERCATOR);

}  // namespace vekt::gen
