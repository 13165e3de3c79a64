#pragma once
// Geometries on the GEOS C API (reentrant functions). Each thread has its own GEOS context, made on
// first use; a geometry belongs to the thread that made it and must be used and destroyed there.
// Every failure of GEOS is raised as GeometryError carrying the message GEOS reported.
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/xy.hpp"

struct GEOSGeom_t;
typedef struct GEOSGeom_t GEOSGeometry;

namespace vekt::geo {

class GeometryError : public base::Error {
 public:
  using base::Error::Error;
};

using XY = base::XY;

struct Bounds {
  double minx = 0;
  double miny = 0;
  double maxx = 0;
  double maxy = 0;
};

// The geometry kinds, with the names GEOS (and GeoJSON) give them.
enum class GeomType {
  Point,
  LineString,
  LinearRing,
  Polygon,
  MultiPoint,
  MultiLineString,
  MultiPolygon,
  GeometryCollection,
};

class Geometry;

// A geometry that someone else owns: the parts of a multi-geometry, a polygon's rings. Valid as
// long as the owning Geometry lives and is not changed.
class GeometryRef {
 public:
  explicit GeometryRef(const GEOSGeometry* g) : g_(g) {}

  const GEOSGeometry* raw() const { return g_; }

  GeomType type() const;
  std::string type_name() const;  // "Polygon", "MultiLineString", ...
  bool is_empty() const;

  // Bounds of a non-empty geometry; GeometryError for an empty one (it has none).
  Bounds bounds() const;
  // Area centroid (a point); an empty geometry gives an empty point.
  Geometry centroid() const;
  double area() const;
  // Coordinates of a point.
  double x() const;
  double y() const;

  Geometry intersection(GeometryRef other) const;
  bool intersects(GeometryRef other) const;
  Geometry boundary() const;
  Geometry clone() const;

  // Rings of a polygon.
  GeometryRef exterior_ring() const;
  int num_interior_rings() const;
  GeometryRef interior_ring(int n) const;

  // Parts of a multi-geometry or collection, in stored order (a single geometry is its own part 0).
  int num_geometries() const;
  GeometryRef geometry_n(int n) const;

  // Vertices of a point, line string or ring, in order (a ring repeats its first vertex).
  std::vector<XY> coords() const;

  // A new geometry of the same kind, vertex for vertex, each (x, y) passed through `fn`.
  Geometry transform_xy(const std::function<XY(double, double)>& fn) const;

  bool equals_exact(GeometryRef other, double tolerance = 0) const;
  std::string wkt() const;
  // GeoJSON text of the geometry (no "crs" member).
  std::string geojson() const;

  // Why the geometry is not valid, as GEOS states it, with the place it names ("Self-intersection
  // at or near point 844020 1002020"); "" for a valid geometry.
  std::string invalid_reason() const;
  // A valid geometry covering what GEOS can make of this one (its "make valid"): a bow-tie ring
  // becomes its two triangles. A valid geometry comes back unchanged.
  Geometry make_valid() const;

 protected:
  const GEOSGeometry* g_;
};

// An owned geometry; moves, never copies (clone() when a copy is meant).
class Geometry : public GeometryRef {
 public:
  // From GeoJSON text of a geometry object ("Point" ... "GeometryCollection"); a Feature or
  // FeatureCollection is refused.
  static Geometry from_geojson(std::string_view text);
  // From PostGIS's binary forms: WKB or EWKB bytes, or their hex text.
  static Geometry from_wkb(std::string_view bytes);
  static Geometry from_hex_wkb(std::string_view hex);
  static Geometry from_wkt(std::string_view text);

  static Geometry point(double x, double y);
  static Geometry line_string(std::span<const XY> pts);
  // A polygon without holes; the ring is closed when its last vertex differs from its first.
  static Geometry polygon(std::span<const XY> shell);
  static Geometry polygon(std::span<const XY> shell, std::span<const std::vector<XY>> holes);

  // Takes ownership of a geometry made by GEOS on this thread; GeometryError for null.
  static Geometry adopt(GEOSGeometry* g);

  Geometry(Geometry&& o) noexcept : GeometryRef(o.g_), own_(std::move(o.own_)) { o.g_ = nullptr; }
  Geometry& operator=(Geometry&& o) noexcept;
  Geometry(const Geometry&) = delete;
  Geometry& operator=(const Geometry&) = delete;
  ~Geometry() = default;

 private:
  struct Deleter {
    void operator()(GEOSGeometry* g) const noexcept;
  };
  explicit Geometry(GEOSGeometry* g) : GeometryRef(g), own_(g) {}
  std::unique_ptr<GEOSGeometry, Deleter> own_;
};

}  // namespace vekt::geo
