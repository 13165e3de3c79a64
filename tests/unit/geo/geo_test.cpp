#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>

#include "geo/geometry.hpp"
#include "geo/proj.hpp"

namespace vekt::geo {
namespace {

TEST(Geometry, ReadsEveryGeoJsonGeometryKind) {
  struct Case {
    const char* json;
    GeomType type;
    const char* name;
    int parts;
  };
  const Case cases[] = {
      {R"({"type":"Point","coordinates":[1,2]})", GeomType::Point, "Point", 1},
      {R"({"type":"LineString","coordinates":[[0,0],[1,1]]})", GeomType::LineString, "LineString", 1},
      {R"({"type":"Polygon","coordinates":[[[0,0],[4,0],[4,4],[0,4],[0,0]],[[1,1],[2,1],[2,2],[1,1]]]})",
       GeomType::Polygon, "Polygon", 1},
      {R"({"type":"MultiPoint","coordinates":[[0,0],[1,1]]})", GeomType::MultiPoint, "MultiPoint", 2},
      {R"({"type":"MultiLineString","coordinates":[[[0,0],[1,1]],[[2,2],[3,3]],[[4,4],[5,5]]]})",
       GeomType::MultiLineString, "MultiLineString", 3},
      {R"({"type":"MultiPolygon","coordinates":[[[[0,0],[1,0],[1,1],[0,0]]],[[[5,5],[6,5],[6,6],[5,5]]]]})",
       GeomType::MultiPolygon, "MultiPolygon", 2},
      {R"({"type":"GeometryCollection","geometries":[{"type":"Point","coordinates":[0,0]},)"
       R"({"type":"LineString","coordinates":[[0,0],[1,1]]}]})",
       GeomType::GeometryCollection, "GeometryCollection", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const Geometry g = Geometry::from_geojson(c.json);
    EXPECT_EQ(g.type(), c.type);
    EXPECT_EQ(g.type_name(), c.name);
    EXPECT_EQ(g.num_geometries(), c.parts);
    EXPECT_FALSE(g.is_empty());
  }
}

TEST(Geometry, RefusesWhatIsNotAGeometry) {
  const char* bad[] = {
      R"({"type":"Feature","geometry":{"type":"Point","coordinates":[1,2]},"properties":{}})",
      R"({"type":"FeatureCollection","features":[]})",
      R"({"coordinates":[1,2]})",
      R"([1,2])",
      "not json",
      R"({"type":"Polygon","coordinates":[[[0,0],[1,0]]]})",  // a ring of two points
  };
  for (const char* b : bad) {
    SCOPED_TRACE(b);
    EXPECT_THROW(Geometry::from_geojson(b), GeometryError);
  }
}

TEST(Geometry, ErrorCarriesTheGeosMessage) {
  try {
    Geometry::from_wkt("POLYGON((0 0, 1 0))");
    FAIL() << "no error";
  } catch (const GeometryError& e) {
    EXPECT_NE(std::string(e.what()).find("ring"), std::string::npos) << e.what();
  }
}

TEST(Geometry, ReadsPostgisBinaryForms) {
  // POINT(1 2) as WKB (little endian) and as EWKB with SRID 3857, in hex as PostGIS prints them.
  const std::string wkb_hex = "0101000000000000000000F03F0000000000000040";
  const std::string ewkb_hex = "0101000020110F0000000000000000F03F0000000000000040";
  for (const auto& hex : {wkb_hex, ewkb_hex}) {
    const Geometry g = Geometry::from_hex_wkb(hex);
    EXPECT_EQ(g.type(), GeomType::Point);
    EXPECT_EQ(g.x(), 1.0);
    EXPECT_EQ(g.y(), 2.0);
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    const Geometry b = Geometry::from_wkb(bytes);
    EXPECT_TRUE(b.equals_exact(g));
  }
  EXPECT_THROW(Geometry::from_hex_wkb("0101"), GeometryError);
}

TEST(Geometry, BoundsCentroidIntersection) {
  const Geometry a = Geometry::from_wkt("POLYGON((0 0, 10 0, 10 10, 0 10, 0 0))");
  const Geometry b = Geometry::from_wkt("POLYGON((5 5, 15 5, 15 15, 5 15, 5 5))");
  const Geometry i = a.intersection(b);
  EXPECT_DOUBLE_EQ(i.area(), 25);
  const Bounds bb = i.bounds();
  EXPECT_EQ(bb.minx, 5);
  EXPECT_EQ(bb.miny, 5);
  EXPECT_EQ(bb.maxx, 10);
  EXPECT_EQ(bb.maxy, 10);
  const Geometry c = i.centroid();
  EXPECT_DOUBLE_EQ(c.x(), 7.5);
  EXPECT_DOUBLE_EQ(c.y(), 7.5);
  EXPECT_TRUE(a.intersects(b));
  // Touching counts as intersecting.
  EXPECT_TRUE(a.intersects(Geometry::from_wkt("POINT(10 10)")));
  EXPECT_FALSE(a.intersects(Geometry::from_wkt("POINT(11 10)")));
  // Disjoint areas meet in an empty geometry, which has no bounds.
  const Geometry far = a.intersection(Geometry::from_wkt("POLYGON((50 50, 60 50, 60 60, 50 50))"));
  EXPECT_TRUE(far.is_empty());
  EXPECT_THROW(far.bounds(), GeometryError);
}

TEST(Geometry, RingsPartsAndBoundary) {
  const Geometry p = Geometry::from_wkt("POLYGON((0 0, 4 0, 4 4, 0 4, 0 0), (1 1, 2 1, 2 2, 1 1))");
  const auto ext = p.exterior_ring().coords();
  ASSERT_EQ(ext.size(), 5u);
  EXPECT_EQ(ext.front(), ext.back());
  EXPECT_EQ(p.num_interior_rings(), 1);
  EXPECT_EQ(p.interior_ring(0).coords().size(), 4u);
  const Geometry bd = p.boundary();
  EXPECT_EQ(bd.type(), GeomType::MultiLineString);
  EXPECT_EQ(bd.num_geometries(), 2);
}

TEST(Geometry, PolygonFromCornersIsClosed) {
  const XY corners[] = {{0, 0}, {2, 0}, {2, 1}, {0, 1}};
  const Geometry p = Geometry::polygon(corners);
  const auto ring = p.exterior_ring().coords();
  ASSERT_EQ(ring.size(), 5u);
  EXPECT_EQ(ring[0], (XY{0, 0}));
  EXPECT_EQ(ring[3], (XY{0, 1}));
  EXPECT_EQ(ring[4], (XY{0, 0}));
  EXPECT_DOUBLE_EQ(p.area(), 2);
}

TEST(Geometry, TransformKeepsKindAndVertices) {
  const Geometry mp = Geometry::from_wkt("MULTIPOLYGON(((0 0, 1 0, 1 1, 0 0)), ((5 5, 6 5, 6 6, 5 5)))");
  const Geometry moved = mp.transform_xy([](double x, double y) { return XY{x + 100, y * 2}; });
  EXPECT_TRUE(moved.equals_exact(Geometry::from_wkt("MULTIPOLYGON(((100 0, 101 0, 101 2, 100 0)), ((105 10, 106 10, 106 12, 105 10)))")));
  // An exception in the callback comes out unchanged.
  EXPECT_THROW(mp.transform_xy([](double, double) -> XY { throw std::runtime_error("boom"); }), std::runtime_error);
}

TEST(Geometry, EachThreadHasItsOwnContext) {
  std::string other;
  std::thread t([&] {
    try {
      Geometry::from_wkt("POLYGON((0 0, 1 0))");
    } catch (const GeometryError& e) {
      other = e.what();
    }
    const Geometry g = Geometry::from_wkt("POINT(3 4)");
    if (g.x() != 3) other = "wrong";
  });
  t.join();
  EXPECT_FALSE(other.empty());
  EXPECT_NE(other, "wrong");
  // The failure on the other thread left nothing behind here.
  EXPECT_EQ(Geometry::from_wkt("POINT(1 1)").x(), 1);
}

TEST(Proj, WebMercatorNameAndIdentity) {
  const Crs a = Crs::from_user_input("EPSG:3857");
  const Crs b = Crs::from_user_input("EPSG:3857");
  EXPECT_EQ(a.name(), "WGS 84 / Pseudo-Mercator");
  EXPECT_TRUE(a.equivalent_to(b));
  const Transformer t = Transformer::from_crs(a, b, true);
  const XY p = t.transform(372345.25, 712345.5);
  EXPECT_EQ(p.x, 372345.25);
  EXPECT_EQ(p.y, 712345.5);
}

TEST(Proj, LongitudeFirstAfterNormalising) {
  const Crs wgs = Crs::from_user_input("EPSG:4326");
  const Crs merc = Crs::from_user_input("EPSG:3857");
  const Transformer t = Transformer::from_crs(wgs, merc, true);
  const XY p = t.transform(-0.1, 51.5);
  EXPECT_NEAR(p.x, -11131.949, 1e-3);
  EXPECT_NEAR(p.y, 6710219.083, 1e-3);
  const XY lo = t.transform(3.0, 6.0);
  const XY hi = t.transform(3.001, 6.001);
  EXPECT_NEAR(hi.x - lo.x, 111.32, 0.01);
  EXPECT_NEAR(hi.y - lo.y, 111.93, 0.01);
  // A latitude beyond the pole has no Mercator y: an error, never an infinite coordinate.
  EXPECT_THROW(t.transform(0, 90.5), ProjError);
}

TEST(Proj, TransformsGeometries) {
  const Crs wgs = Crs::from_user_input("EPSG:4326");
  const Crs merc = Crs::from_user_input("EPSG:3857");
  const Transformer t = Transformer::from_crs(wgs, merc, true);
  const Geometry line = Geometry::from_wkt("LINESTRING(0 0, -0.1 51.5)");
  const auto pts = t.transform(line).coords();
  ASSERT_EQ(pts.size(), 2u);
  EXPECT_NEAR(pts[0].x, 0, 1e-9);
  EXPECT_NEAR(pts[1].y, 6710219.083, 1e-3);
  EXPECT_THROW(t.transform(Geometry::from_wkt("LINESTRING(0 0, 0 90.5)")), ProjError);
  EXPECT_THROW(Crs::from_user_input("EPSG:999999"), ProjError);
}

}  // namespace
}  // namespace vekt::geo
