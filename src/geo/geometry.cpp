#include "geo/geometry.hpp"

#include <geos_c.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <exception>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace vekt::geo {
namespace {

// One GEOS context per thread; GEOS reports errors through the handler, which keeps the message
// until the failing call turns it into an exception.
struct Context {
  GEOSContextHandle_t h = nullptr;
  std::string last_error;

  Context() {
    h = GEOS_init_r();
    if (h == nullptr) throw GeometryError("cannot create a GEOS context");
    GEOSContext_setErrorMessageHandler_r(
        h, [](const char* msg, void* self) { static_cast<Context*>(self)->last_error = msg ? msg : ""; }, this);
    GEOSContext_setNoticeMessageHandler_r(h, [](const char*, void*) {}, nullptr);
  }
  ~Context() { GEOS_finish_r(h); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
};

Context& ctx() {
  thread_local Context c;
  return c;
}

GEOSContextHandle_t h() { return ctx().h; }

[[noreturn]] void fail(std::string_view what) {
  std::string msg = std::move(ctx().last_error);
  ctx().last_error.clear();
  if (msg.empty()) msg = std::string(what) + " failed";
  throw GeometryError(msg);
}

template <class T>
T* check(T* p, std::string_view what) {
  if (p == nullptr) fail(what);
  return p;
}

struct CoordSeqDeleter {
  void operator()(GEOSCoordSequence* s) const noexcept { GEOSCoordSeq_destroy_r(h(), s); }
};
using CoordSeqPtr = std::unique_ptr<GEOSCoordSequence, CoordSeqDeleter>;

CoordSeqPtr make_seq(std::span<const XY> pts, bool close) {
  const bool needs_close = close && !pts.empty() && !(pts.front() == pts.back());
  const auto n = static_cast<unsigned>(pts.size() + (needs_close ? 1 : 0));
  CoordSeqPtr seq(check(GEOSCoordSeq_create_r(h(), n, 2), "creating a coordinate sequence"));
  for (unsigned i = 0; i < pts.size(); ++i) {
    if (!GEOSCoordSeq_setXY_r(h(), seq.get(), i, pts[i].x, pts[i].y)) fail("setting a coordinate");
  }
  if (needs_close && !GEOSCoordSeq_setXY_r(h(), seq.get(), n - 1, pts[0].x, pts[0].y)) fail("setting a coordinate");
  return seq;
}

GEOSGeometry* make_ring(std::span<const XY> pts) {
  // GEOS takes the sequence whether or not it succeeds (it frees it when it fails): let go first.
  GEOSGeometry* ring = GEOSGeom_createLinearRing_r(h(), make_seq(pts, true).release());
  if (ring == nullptr) fail("creating a linear ring");
  return ring;
}

struct WkbReaderDeleter {
  void operator()(GEOSWKBReader* r) const noexcept { GEOSWKBReader_destroy_r(h(), r); }
};

}  // namespace

void Geometry::Deleter::operator()(GEOSGeometry* g) const noexcept { GEOSGeom_destroy_r(h(), g); }

Geometry& Geometry::operator=(Geometry&& o) noexcept {
  if (this != &o) {
    own_ = std::move(o.own_);
    g_ = o.g_;
    o.g_ = nullptr;
  }
  return *this;
}

Geometry Geometry::adopt(GEOSGeometry* g) { return Geometry(check(g, "GEOS operation")); }

Geometry Geometry::from_geojson(std::string_view text) {
  // GEOS would also take a Feature and hand back its geometry; a record's geometry must be a
  // geometry object itself.
  nlohmann::json doc = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) throw GeometryError("GeoJSON geometry is not a JSON object");
  auto t = doc.find("type");
  if (t == doc.end() || !t->is_string()) throw GeometryError("GeoJSON geometry has no type");
  static const char* const kTypes[] = {"Point",      "LineString",      "Polygon",     "MultiPoint",
                                       "MultiLineString", "MultiPolygon", "GeometryCollection"};
  const auto& type = t->get_ref<const std::string&>();
  bool ok = false;
  for (const char* k : kTypes) ok = ok || type == k;
  if (!ok) throw GeometryError("GeoJSON object of type " + type + " is not a geometry");

  struct ReaderDeleter {
    void operator()(GEOSGeoJSONReader* r) const noexcept { GEOSGeoJSONReader_destroy_r(h(), r); }
  };
  std::unique_ptr<GEOSGeoJSONReader, ReaderDeleter> reader(
      check(GEOSGeoJSONReader_create_r(h()), "creating a GeoJSON reader"));
  const std::string s(text);
  return adopt(check(GEOSGeoJSONReader_readGeometry_r(h(), reader.get(), s.c_str()), "reading GeoJSON"));
}

Geometry Geometry::from_wkb(std::string_view bytes) {
  std::unique_ptr<GEOSWKBReader, WkbReaderDeleter> reader(check(GEOSWKBReader_create_r(h()), "creating a WKB reader"));
  return adopt(check(GEOSWKBReader_read_r(h(), reader.get(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                          bytes.size()),
                     "reading WKB"));
}

Geometry Geometry::from_hex_wkb(std::string_view hex) {
  std::unique_ptr<GEOSWKBReader, WkbReaderDeleter> reader(check(GEOSWKBReader_create_r(h()), "creating a WKB reader"));
  return adopt(check(GEOSWKBReader_readHEX_r(h(), reader.get(), reinterpret_cast<const unsigned char*>(hex.data()),
                                             hex.size()),
                     "reading hex WKB"));
}

Geometry Geometry::from_wkt(std::string_view text) {
  struct ReaderDeleter {
    void operator()(GEOSWKTReader* r) const noexcept { GEOSWKTReader_destroy_r(h(), r); }
  };
  std::unique_ptr<GEOSWKTReader, ReaderDeleter> reader(check(GEOSWKTReader_create_r(h()), "creating a WKT reader"));
  const std::string s(text);
  return adopt(check(GEOSWKTReader_read_r(h(), reader.get(), s.c_str()), "reading WKT"));
}

Geometry Geometry::point(double x, double y) { return adopt(GEOSGeom_createPointFromXY_r(h(), x, y)); }

Geometry Geometry::line_string(std::span<const XY> pts) {
  // As with rings, the sequence is GEOS's from the call on.
  GEOSGeometry* g = GEOSGeom_createLineString_r(h(), make_seq(pts, false).release());
  if (g == nullptr) fail("creating a line string");
  return Geometry(g);
}

Geometry Geometry::polygon(std::span<const XY> shell) { return polygon(shell, {}); }

Geometry Geometry::polygon(std::span<const XY> shell, std::span<const std::vector<XY>> holes) {
  Geometry outer(make_ring(shell));
  std::vector<Geometry> inner;
  inner.reserve(holes.size());
  for (const auto& hole : holes) inner.push_back(Geometry(make_ring(hole)));
  // The rings are GEOS's from the call on, whatever its outcome: a failure may have freed them already,
  // so they are released before it rather than after (a rare leak is better than a double free).
  std::vector<GEOSGeometry*> raw;
  for (auto& r : inner) raw.push_back(r.own_.release());
  GEOSGeometry* shell_ring = outer.own_.release();
  GEOSGeometry* poly = GEOSGeom_createPolygon_r(h(), shell_ring, raw.empty() ? nullptr : raw.data(),
                                                static_cast<unsigned>(raw.size()));
  if (poly == nullptr) fail("creating a polygon");
  return Geometry(poly);
}

GeomType GeometryRef::type() const {
  const int id = GEOSGeomTypeId_r(h(), g_);
  switch (id) {
    case GEOS_POINT: return GeomType::Point;
    case GEOS_LINESTRING: return GeomType::LineString;
    case GEOS_LINEARRING: return GeomType::LinearRing;
    case GEOS_POLYGON: return GeomType::Polygon;
    case GEOS_MULTIPOINT: return GeomType::MultiPoint;
    case GEOS_MULTILINESTRING: return GeomType::MultiLineString;
    case GEOS_MULTIPOLYGON: return GeomType::MultiPolygon;
    case GEOS_GEOMETRYCOLLECTION: return GeomType::GeometryCollection;
    default: fail("reading the geometry type");
  }
}

std::string GeometryRef::type_name() const {
  char* s = check(GEOSGeomType_r(h(), g_), "reading the geometry type");
  std::string out(s);
  GEOSFree_r(h(), s);
  return out;
}

bool GeometryRef::is_empty() const {
  const char r = GEOSisEmpty_r(h(), g_);
  if (r == 2) fail("testing for emptiness");
  return r == 1;
}

Bounds GeometryRef::bounds() const {
  if (is_empty()) throw GeometryError("an empty geometry has no bounds");
  Bounds b;
  if (!GEOSGeom_getXMin_r(h(), g_, &b.minx) || !GEOSGeom_getYMin_r(h(), g_, &b.miny) ||
      !GEOSGeom_getXMax_r(h(), g_, &b.maxx) || !GEOSGeom_getYMax_r(h(), g_, &b.maxy)) {
    fail("reading the bounds");
  }
  return b;
}

Geometry GeometryRef::centroid() const { return Geometry::adopt(GEOSGetCentroid_r(h(), g_)); }

double GeometryRef::area() const {
  double a = 0;
  if (!GEOSArea_r(h(), g_, &a)) fail("computing the area");
  return a;
}

double GeometryRef::x() const {
  double v = 0;
  if (!GEOSGeomGetX_r(h(), g_, &v)) fail("reading x");
  return v;
}

double GeometryRef::y() const {
  double v = 0;
  if (!GEOSGeomGetY_r(h(), g_, &v)) fail("reading y");
  return v;
}

Geometry GeometryRef::intersection(GeometryRef other) const {
  return Geometry::adopt(GEOSIntersection_r(h(), g_, other.g_));
}

bool GeometryRef::intersects(GeometryRef other) const {
  const char r = GEOSIntersects_r(h(), g_, other.g_);
  if (r == 2) fail("testing for intersection");
  return r == 1;
}

Geometry GeometryRef::boundary() const { return Geometry::adopt(GEOSBoundary_r(h(), g_)); }

Geometry GeometryRef::clone() const { return Geometry::adopt(GEOSGeom_clone_r(h(), g_)); }

GeometryRef GeometryRef::exterior_ring() const {
  return GeometryRef(check(GEOSGetExteriorRing_r(h(), g_), "reading the exterior ring"));
}

int GeometryRef::num_interior_rings() const {
  const int n = GEOSGetNumInteriorRings_r(h(), g_);
  if (n < 0) fail("counting interior rings");
  return n;
}

GeometryRef GeometryRef::interior_ring(int n) const {
  return GeometryRef(check(GEOSGetInteriorRingN_r(h(), g_, n), "reading an interior ring"));
}

int GeometryRef::num_geometries() const {
  const int n = GEOSGetNumGeometries_r(h(), g_);
  if (n < 0) fail("counting parts");
  return n;
}

GeometryRef GeometryRef::geometry_n(int n) const {
  return GeometryRef(check(GEOSGetGeometryN_r(h(), g_, n), "reading a part"));
}

std::vector<XY> GeometryRef::coords() const {
  const GEOSCoordSequence* seq = check(GEOSGeom_getCoordSeq_r(h(), g_), "reading coordinates");
  unsigned n = 0;
  if (!GEOSCoordSeq_getSize_r(h(), seq, &n)) fail("reading coordinates");
  std::vector<XY> out(n);
  for (unsigned i = 0; i < n; ++i) {
    if (!GEOSCoordSeq_getXY_r(h(), seq, i, &out[i].x, &out[i].y)) fail("reading coordinates");
  }
  return out;
}

Geometry GeometryRef::transform_xy(const std::function<XY(double, double)>& fn) const {
  struct State {
    const std::function<XY(double, double)>* fn;
    std::exception_ptr error;
  } st{&fn, nullptr};
  GEOSGeometry* out = GEOSGeom_transformXY_r(
      h(), g_,
      [](double* x, double* y, void* user) -> int {
        auto* s = static_cast<State*>(user);
        try {
          const XY r = (*s->fn)(*x, *y);
          *x = r.x;
          *y = r.y;
          return 1;
        } catch (...) {
          s->error = std::current_exception();
          return 0;
        }
      },
      &st);
  if (st.error) {
    if (out != nullptr) GEOSGeom_destroy_r(h(), out);
    ctx().last_error.clear();
    std::rethrow_exception(st.error);
  }
  return Geometry::adopt(out);
}

bool GeometryRef::equals_exact(GeometryRef other, double tolerance) const {
  const char r = GEOSEqualsExact_r(h(), g_, other.g_, tolerance);
  if (r == 2) fail("comparing geometries");
  return r == 1;
}

std::string GeometryRef::wkt() const {
  struct WriterDeleter {
    void operator()(GEOSWKTWriter* w) const noexcept { GEOSWKTWriter_destroy_r(h(), w); }
  };
  std::unique_ptr<GEOSWKTWriter, WriterDeleter> w(check(GEOSWKTWriter_create_r(h()), "creating a WKT writer"));
  GEOSWKTWriter_setTrim_r(h(), w.get(), 1);
  char* s = check(GEOSWKTWriter_write_r(h(), w.get(), g_), "writing WKT");
  std::string out(s);
  GEOSFree_r(h(), s);
  return out;
}

std::string GeometryRef::geojson() const {
  struct WriterDeleter {
    void operator()(GEOSGeoJSONWriter* w) const noexcept { GEOSGeoJSONWriter_destroy_r(h(), w); }
  };
  std::unique_ptr<GEOSGeoJSONWriter, WriterDeleter> w(
      check(GEOSGeoJSONWriter_create_r(h()), "creating a GeoJSON writer"));
  char* s = check(GEOSGeoJSONWriter_writeGeometry_r(h(), w.get(), g_, -1), "writing GeoJSON");
  std::string out(s);
  GEOSFree_r(h(), s);
  return out;
}

std::string GeometryRef::invalid_reason() const {
  char* reason = nullptr;
  GEOSGeometry* location = nullptr;
  const char r = GEOSisValidDetail_r(h(), g_, 0, &reason, &location);
  if (r == 2) fail("testing validity");
  std::string out;
  if (r == 0) {
    out = reason ? reason : "not valid";
    if (location != nullptr) {
      double x = 0, y = 0;
      if (GEOSGeomGetX_r(h(), location, &x) == 1 && GEOSGeomGetY_r(h(), location, &y) == 1)
        out += fmt::format(" at or near point {} {}", x, y);
    }
  }
  if (reason != nullptr) GEOSFree_r(h(), reason);
  if (location != nullptr) GEOSGeom_destroy_r(h(), location);
  return out;
}

Geometry GeometryRef::make_valid() const { return Geometry::adopt(GEOSMakeValid_r(h(), g_)); }

}  // namespace vekt::geo
