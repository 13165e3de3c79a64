// The whole plan figure: what generate_plot draws for given records (on the recorded items), what
// it refuses, and the result it hands back.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "plots/figure.hpp"
#include "plots/plan_layout.hpp"
#include "plots/plots.hpp"

namespace vekt::plots {
namespace {

using canvas::HAlign;
using canvas::TextItem;
using canvas::VAlign;
using canvas::Weight;

GeoJson polygon_json(const std::vector<XY>& ring) {
  std::string s = R"({"type": "Polygon", "coordinates": [[)";
  for (std::size_t i = 0; i <= ring.size(); ++i) {
    const XY p = ring[i % ring.size()];
    s += fmt::format("{}[{}, {}]", i ? ", " : "", p.x, p.y);
  }
  return {s + "]]}"};
}

GeoJson point_json(XY p) { return {fmt::format(R"({{"type": "Point", "coordinates": [{}, {}]}})", p.x, p.y)}; }

BeaconRecord beacon(const std::string& name, XY at, Number dist, const std::string& deg, const std::string& min) {
  BeaconRecord b;
  b.beacon_name = name;
  b.geometry = point_json(at);
  b.distance_to_next = dist;
  b.bearing_deg_to_next = deg;
  b.bearing_min_to_next = min;
  return b;
}

PlotRecord parcel(std::int64_t id, const std::vector<XY>& ring, bool with_beacons = true) {
  PlotRecord p;
  p.id = id;
  p.name = fmt::format("P/{}", id);
  p.area = Number{std::int64_t{1200}};
  p.geometry = polygon_json(ring);
  if (with_beacons) {
    p.boundary.emplace();
    for (std::size_t i = 0; i < ring.size(); ++i)
      p.boundary->push_back(beacon(fmt::format("B{}", i + 1), ring[i], Number{12.5}, "90°", "00'"));
  }
  return p;
}

const std::vector<XY> kSquare = {{0, 0}, {40, 0}, {40, 40}, {0, 40}};

std::vector<TextItem> texts(const ComposedPlot& p) { return p.figure.axes().items_of<TextItem>(); }

class Figure : public ::testing::Test {
 protected:
  void SetUp() override { init(); }
};

TEST_F(Figure, NotFoundAfterTheLogLine) {
  for (const auto& [sel, text] : {std::pair<ParcelNumber, std::string>{std::int64_t{7}, "7"}, {7.0, "7.0"},
                                  {std::string("7"), "7"}}) {
    ::testing::internal::CaptureStderr();
    try {
      (void)generate_plot({}, sel, std::nullopt, "id");
      ADD_FAILURE() << "no error";
    } catch (const ParcelNotFound& e) {
      EXPECT_EQ(std::string(e.what()), "Parcel with id=" + text + " not found.");
      EXPECT_EQ(e.columnname(), "id");
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "INFO:plots:Generating plot for id=" + text + "\n");
  }
  // It is a value error like the others callers may already catch.
  EXPECT_THROW((void)generate_plot({parcel(1, kSquare)}, std::int64_t{2}, std::nullopt, "id"), base::ValueError);
}

TEST_F(Figure, TargetMatchesByValue) {
  // 7 finds 7.0 and the reverse; text never finds a number.
  std::vector<PlotRecord> recs = {parcel(7, kSquare)};
  EXPECT_EQ(compose_plot(recs, 7.0, std::nullopt, "id").scale, 500);
  EXPECT_THROW((void)compose_plot(recs, std::string("7"), std::nullopt, "id"), ParcelNotFound);
  recs[0].area = Number{7.0};
  EXPECT_NO_THROW((void)compose_plot(recs, std::int64_t{7}, std::nullopt, "area"));
  recs[0].area = Number{Decimal{"7.00"}};
  EXPECT_NO_THROW((void)compose_plot(recs, std::int64_t{7}, std::nullopt, "area"));
  EXPECT_NO_THROW((void)compose_plot(recs, 7.0, std::nullopt, "area"));
  EXPECT_THROW((void)compose_plot(recs, 7.5, std::nullopt, "area"), ParcelNotFound);
  EXPECT_NO_THROW((void)compose_plot(recs, std::string("P/7"), std::nullopt, "name"));
  EXPECT_THROW((void)compose_plot(recs, std::int64_t{7}, std::nullopt, "geometry"), ParcelNotFound);
}

TEST_F(Figure, FirstMatchIsTheTargetAndRepeatsAreNotNeighbours) {
  PlotRecord first = parcel(7, kSquare, false);
  PlotRecord again = parcel(7, {{100, 0}, {140, 0}, {140, 40}, {100, 40}}, false);
  PlotRecord other = parcel(8, {{40, 0}, {60, 0}, {60, 40}, {40, 40}}, false);
  const auto p = compose_plot({first, again, other}, std::int64_t{7}, std::nullopt, "id");
  const auto fills = p.figure.axes().items_of<canvas::PolygonItem>();
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].style.zorder, 3);  // the neighbour 8
  EXPECT_EQ(fills[0].ring[1], (XY{60, 0}));
  EXPECT_EQ(fills[1].style.zorder, 5);  // the target, the first record
  EXPECT_EQ(fills[1].ring[1], (XY{40, 0}));
}

TEST_F(Figure, MissingKeysAreNamed) {
  PlotRecord no_id = parcel(8, kSquare);
  no_id.id.reset();
  // Before the target (the search) and after it (the neighbour pass).
  for (const auto& recs : {std::vector<PlotRecord>{no_id, parcel(7, kSquare)},
                           std::vector<PlotRecord>{parcel(7, kSquare), no_id}}) {
    try {
      (void)compose_plot(recs, std::int64_t{7}, std::nullopt, "id");
      ADD_FAILURE();
    } catch (const KeyError& e) {
      EXPECT_EQ(e.key(), "id");
    }
  }
  try {
    (void)compose_plot({parcel(7, kSquare)}, std::int64_t{7}, std::nullopt);  // "parcel_number"
    ADD_FAILURE();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "parcel_number");
  }
  PlotRecord no_geom = parcel(7, kSquare);
  no_geom.geometry.reset();
  EXPECT_THROW((void)compose_plot({no_geom}, std::int64_t{7}, std::nullopt, "id"), KeyError);
  std::vector<RoadRecord> roads(1);
  EXPECT_THROW((void)compose_plot({parcel(7, kSquare)}, std::int64_t{7}, roads, "id"), KeyError);
  EXPECT_NO_THROW((void)compose_plot({parcel(7, kSquare)}, std::int64_t{7}, std::vector<RoadRecord>{}, "id"));
  PlotRecord no_name = parcel(7, kSquare);
  no_name.name.reset();
  try {
    (void)compose_plot({no_name}, std::int64_t{7}, std::nullopt, "id");
    ADD_FAILURE();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "name");
    EXPECT_EQ(std::string(e.what()), "the record of parcel id=7 has no key 'name'");
  }
  PlotRecord bad_beacon = parcel(7, kSquare);
  (*bad_beacon.boundary)[2].geometry.reset();
  EXPECT_THROW((void)compose_plot({bad_beacon}, std::int64_t{7}, std::nullopt, "id"), KeyError);
  (*bad_beacon.boundary)[2].geometry = polygon_json(kSquare);
  EXPECT_THROW((void)compose_plot({bad_beacon}, std::int64_t{7}, std::nullopt, "id"), ShapeError);
}

TEST_F(Figure, EmptyOrNonFiniteTargetIsRefused) {
  PlotRecord empty = parcel(7, kSquare);
  empty.geometry = GeoJson{R"({"type": "Polygon", "coordinates": []})"};
  try {
    (void)compose_plot({empty}, std::int64_t{7}, std::nullopt, "id");
    ADD_FAILURE();
  } catch (const ShapeError& e) {
    EXPECT_EQ(std::string(e.what()), "the geometry of parcel id=7 is empty");
  }
  PlotRecord huge = parcel(7, kSquare);
  huge.geometry = GeoJson{R"({"type": "Polygon", "coordinates": [[[0, 0], [1e400, 0], [1, 1], [0, 0]]]})"};
  EXPECT_THROW((void)compose_plot({huge}, std::int64_t{7}, std::nullopt, "id"), base::Error);
  PlotRecord line = parcel(7, kSquare);
  line.geometry = GeoJson{R"({"type": "LineString", "coordinates": [[0, 0], [10, 10]]})"};
  EXPECT_THROW((void)compose_plot({line}, std::int64_t{7}, std::nullopt, "id"), ShapeError);
  for (double bad : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN(), 1e9})
    EXPECT_THROW((void)generate_plot({parcel(7, kSquare)}, std::int64_t{7}, std::nullopt, "id", std::nullopt, bad),
                 base::ValueError);
}

TEST_F(Figure, MultiPolygonParcelsAreFilledPartByPart) {
  PlotRecord multi = parcel(7, kSquare, false);
  multi.geometry = GeoJson{
      R"({"type": "MultiPolygon", "coordinates": [[[[0,0],[20,0],[20,20],[0,20],[0,0]]], [[[30,0],[40,0],[40,10],[30,10],[30,0]]]]})"};
  PlotRecord neighbour = parcel(8, kSquare, false);
  neighbour.geometry = GeoJson{
      R"({"type": "MultiPolygon", "coordinates": [[[[0,20],[20,20],[20,30],[0,30],[0,20]]], [[[-20,0],[-10,0],[-10,10],[-20,0]]]]})"};
  const auto p = compose_plot({multi, neighbour}, std::int64_t{7}, std::nullopt, "id");
  const auto fills = p.figure.axes().items_of<canvas::PolygonItem>();
  ASSERT_EQ(fills.size(), 4u);
  EXPECT_EQ(fills[0].style.zorder, 3);
  EXPECT_EQ(fills[1].style.zorder, 3);
  EXPECT_EQ(fills[2].style.zorder, 5);
  EXPECT_EQ(fills[3].style.zorder, 5);
  EXPECT_EQ(fills[3].ring[0], (XY{30, 0}));
}

TEST_F(Figure, RoadsAreCutAndDispatched) {
  std::vector<RoadRecord> roads(4);
  roads[0].geometry = GeoJson{R"({"type": "LineString", "coordinates": [[-500, -10], [500, -10]]})"};
  roads[1].geometry = polygon_json({{50, -20}, {55, -20}, {55, 60}, {50, 60}});  // its outline, as lines
  roads[2].geometry = GeoJson{R"({"type": "LineString", "coordinates": [[5000, 0], [6000, 0]]})"};  // far away
  roads[3].geometry = GeoJson{R"({"type": "Point", "coordinates": [10, -5]})"};
  const auto p = compose_plot({parcel(7, kSquare, false)}, std::int64_t{7}, roads, "id");
  const auto lines = p.figure.axes().items_of<canvas::LineItem>();
  std::vector<const canvas::LineItem*> road_lines;
  for (const auto& l : lines)
    if (!l.style.dashes.empty()) road_lines.push_back(&l);
  ASSERT_GE(road_lines.size(), 2u);
  for (const auto* l : road_lines) {
    EXPECT_EQ(l->style.zorder, 1);  // polygon roads are cut as their boundary: line work
    EXPECT_EQ(l->style.dashes, (std::vector<double>{5, 10}));
    for (const auto& pt : l->pts) {
      EXPECT_GE(pt.x, -27.5 - 1e-9);  // the road clip: the view (95 m wide), within the 40 m margin
      EXPECT_LE(pt.x, 67.5 + 1e-9);
    }
  }
  EXPECT_EQ(road_lines[0]->pts.front(), (XY{-27.5, -10}));
}

TEST_F(Figure, ABoxDecidesWhichNeighboursAndRoadsShow) {
  // Metres well away from 0, so the box is not taken for degrees.
  PlotRecord target = parcel(7, {{1000, 0}, {1040, 0}, {1040, 40}, {1000, 40}}, false);
  PlotRecord inside = parcel(8, {{1040, 0}, {1060, 0}, {1060, 40}, {1040, 40}}, false);
  PlotRecord outside = parcel(9, {{970, 0}, {990, 0}, {990, 40}, {970, 40}}, false);
  std::vector<RoadRecord> roads(1);
  roads[0].geometry = GeoJson{R"({"type": "LineString", "coordinates": [[500, 20], [1500, 20]]})"};
  const auto p =
      compose_plot({target, inside, outside}, std::int64_t{7}, roads, "id", BoundingBox{995, -5, 1070, 45});
  const auto fills = p.figure.axes().items_of<canvas::PolygonItem>();
  ASSERT_EQ(fills.size(), 2u);  // the parcel to the west is in view but outside the box
  EXPECT_EQ(fills[0].ring[0], (XY{1040, 0}));
  for (const auto& l : p.figure.axes().items_of<canvas::LineItem>()) {
    if (l.style.dashes.empty()) continue;
    EXPECT_EQ(l.pts.front(), (XY{995, 20}));  // cut to the box, not to the view
    EXPECT_EQ(l.pts.back(), (XY{1070, 20}));
  }
  const auto far = compose_plot({target}, std::int64_t{7}, roads, "id", BoundingBox{1000, 1000, 1100, 1080});
  for (const auto& l : far.figure.axes().items_of<canvas::LineItem>()) EXPECT_TRUE(l.style.dashes.empty());
}

TEST_F(Figure, BeaconMarkersNamesAndLegLabels) {
  // A 40 m square at 1:500 (legs far longer than 7.5 m): every leg is labelled, none is listed.
  const auto p = compose_plot({parcel(7, kSquare)}, std::int64_t{7}, std::nullopt, "id");
  EXPECT_EQ(p.scale, 500);
  EXPECT_TRUE(p.schedule.empty());
  const auto markers = p.figure.axes().items_of<canvas::MarkerItem>();
  ASSERT_EQ(markers.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(markers[i].at, kSquare[i]);
    EXPECT_EQ(markers[i].style.markersize, 3);
    EXPECT_EQ(markers[i].style.zorder, 6);
  }
  const auto t = texts(p);
  // Per beacon: its name, then degree, minute and distance of its leg; then name, area, "UN", bar.
  ASSERT_GE(t.size(), 4u * 4 + 2);
  for (std::size_t i = 0; i < 4; ++i) {
    const auto& name = t[i * 4];
    EXPECT_EQ(name.text, fmt::format("B{}", i + 1));
    EXPECT_EQ(name.style.fontsize, 8);
    EXPECT_EQ(name.style.fontweight, Weight::Bold);
    EXPECT_EQ(name.style.va, VAlign::Center);
    EXPECT_EQ(name.style.zorder, 7);
    EXPECT_EQ(t[i * 4 + 1].text, "90°");
    EXPECT_EQ(t[i * 4 + 2].text, "00'");
    EXPECT_EQ(t[i * 4 + 3].text, "12.50m");
    EXPECT_EQ(t[i * 4 + 3].style.fontweight, Weight::Bold);
    EXPECT_EQ(t[i * 4 + 1].style.fontweight, Weight::Normal);
    for (int k = 1; k <= 3; ++k) {
      EXPECT_EQ(t[i * 4 + static_cast<std::size_t>(k)].style.fontsize, 7);
      const double r = t[i * 4 + static_cast<std::size_t>(k)].style.rotation;
      EXPECT_TRUE((r >= -90 && r <= 90) || (r > 270 && r <= 360)) << r;
    }
  }
  // The first name: 2.5 m out from (0, 0) plus half of two characters, towards the south-west.
  const double d = 0.5 * 5.0 + 2 * 0.75 / 2;
  EXPECT_NEAR(t[0].at.x, -d * std::sqrt(0.5), 1e-9);
  EXPECT_NEAR(t[0].at.y, -d * std::sqrt(0.5), 1e-9);
  EXPECT_DOUBLE_EQ(t[0].style.rotation, 45.0);  // -135 turned upright
  // The bottom leg: bearings outside (below), distance inside (above), 0.25 m off the line.
  EXPECT_NEAR(t[1].at.x, 10, 1e-9);
  EXPECT_NEAR(t[1].at.y, -0.25, 1e-9);
  EXPECT_EQ(t[1].style.va, VAlign::Top);
  EXPECT_NEAR(t[3].at.y, 0.25, 1e-9);
  EXPECT_EQ(t[3].style.va, VAlign::Bottom);
}

TEST_F(Figure, ShortLegsMakeTheSchedule) {
  // Legs of 7.5 m (= 15 mm at 1:500, listed), 7.51 m (labelled) and 0 (neither).
  // Legs: A-B 7.5 m (= 15 mm at 1:500: listed), B-C 0 (neither), C-D 7.5, D-E 6.5 (listed), E-F
  // 11.7 (labelled), F-A 5 (listed, back to the first beacon).
  PlotRecord p = parcel(7, {{0, 0}, {40, 0}, {40, 40}, {0, 40}}, false);
  p.boundary.emplace();
  p.boundary->push_back(beacon("A", {0, 0}, Number{7.5}, "90°", "00'"));
  p.boundary->push_back(beacon("B", {7.5, 0}, Number{Decimal{"12.345"}}, "90°", "00'"));
  BeaconRecord c = beacon("C", {7.5, 0}, Number{12.345}, "05°", "07'");
  p.boundary->push_back(c);
  BeaconRecord d;  // no name, no bearing, no distance
  d.geometry = point_json({7.5, 7.5});
  p.boundary->push_back(d);
  BeaconRecord e = beacon("E", {7.5, 14}, Number{std::int64_t{7}}, "", "07'");
  e.bearing_deg_to_next.reset();
  p.boundary->push_back(e);
  BeaconRecord f = beacon("F", {0, 5}, Number{2.5}, "", "");
  f.bearing_deg_to_next.reset();
  f.bearing_min_to_next.reset();
  p.boundary->push_back(f);
  const auto r = compose_plot({p}, std::int64_t{7}, std::nullopt, "id");
  ASSERT_EQ(r.scale, 500);
  const std::vector<ScheduleItem> want = {
      {"A", "B", "90° 00'", "7.50"},   // exactly 7.5 m: listed
      {"C", "?", "05° 07'", "12.35"},  // the float 12.345 lies above the tie
      {"?", "E", " ", "0.00"},
      {"F", "A", " ", "2.50"},  // the last leg returns to the first beacon
  };
  EXPECT_EQ(r.schedule, want);
  // B to C has zero length: no labels; E to F, 7.51 m: labelled with " " parts and "7.00m".
  bool seen = false;
  for (const auto& t : texts(r)) seen = seen || t.text == "7.00m";
  EXPECT_TRUE(seen);
}

TEST_F(Figure, ParcelNameAndArea) {
  struct Row {
    std::optional<Number> area;
    std::string text;
  } rows[] = {{Number{std::int64_t{1200}}, "1200 m²"},
              {Number{1200.0}, "1200.0 m²"},
              {Number{Decimal{"1200.50"}}, "1200.50 m²"},
              {std::nullopt, "0 m²"}};
  for (const auto& row : rows) {
    PlotRecord p = parcel(7, kSquare, false);
    p.area = row.area;
    p.name = "42";
    const auto r = compose_plot({p}, std::int64_t{7}, std::nullopt, "id");
    const auto t = texts(r);
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ(t[0].text, "42");
    EXPECT_EQ(t[0].at, (XY{20, 20.5}));  // 1 mm at 1:500 above the centroid
    EXPECT_EQ(t[0].style.fontsize, 10);
    EXPECT_EQ(t[0].style.fontweight, Weight::Bold);
    EXPECT_EQ(t[0].style.va, VAlign::Bottom);
    EXPECT_EQ(t[0].style.zorder, 8);
    EXPECT_EQ(t[1].text, row.text);
    EXPECT_EQ(t[1].at, (XY{20, 19.5}));
    EXPECT_EQ(t[1].style.fontsize, 6);
    EXPECT_EQ(t[1].style.va, VAlign::Top);
  }
  EXPECT_EQ(std::string(" m\u00b2"), "\x20\x6d\xc2\xb2");
  // An area recorded as NULL has no label at all: neither "0 m²" nor " m²".
  PlotRecord unknown = parcel(7, kSquare, false);
  unknown.name = "42";
  unknown.area_is_null = true;
  for (const auto& t : texts(compose_plot({unknown}, std::int64_t{7}, std::nullopt, "id")))
    EXPECT_EQ(t.text.find("m\u00b2"), std::string::npos) << t.text;
  // A name wider than the figure goes on over lines upwards, each within the figure's sides.
  PlotRecord long_name = parcel(7, kSquare, false);
  std::string name;
  while (name.size() < 100) name += "PLOT 203 OF THE RESETTLEMENT SCHEME BLOCK XIV ";
  long_name.name = name.substr(0, 100);
  const auto lt = texts(compose_plot({long_name}, std::int64_t{7}, std::nullopt, "id"));
  std::string joined;
  std::size_t lines = 0;
  for (const auto& t : lt) {
    if (t.style.zorder != 8 || t.style.va != VAlign::Bottom) continue;
    EXPECT_LE(canvas::measure_text(t.text, t.style.fontsize, t.style.fontweight).width, 190 / 25.4 * 300) << t.text;
    EXPECT_EQ(t.at.x, 20);
    EXPECT_GE(t.at.y, 20.5);  // the last line where a short name stands, the others above it
    joined += (lines++ ? " " : "") + t.text;
  }
  EXPECT_GE(lines, 2u);
  EXPECT_EQ(joined, long_name.name->substr(0, long_name.name->find_last_not_of(' ') + 1));
  // The north arrow and the scale bar come last, on every figure.
  const auto r = compose_plot({parcel(7, kSquare, false)}, std::int64_t{7}, std::nullopt, "id");
  EXPECT_EQ(r.figure.axes().items_of<canvas::ArrowItem>().size(), 1u);
  EXPECT_EQ(texts(r).back().text, "m");
}

TEST_F(Figure, ResultCarriesSizeScaleAndSchedule) {
  const FigureResult r = generate_plot({parcel(7, kSquare)}, std::int64_t{7}, std::nullopt, "id");
  EXPECT_EQ(r.size, std::make_pair(190.0, 160.0));
  EXPECT_EQ(r.scale, 500);
  EXPECT_TRUE(r.schedule.empty());
  EXPECT_EQ(r.image.find('\n'), std::string::npos);
  EXPECT_EQ(r.image.size() % 4, 0u);
  const FigureResult s = generate_plot({parcel(7, kSquare)}, std::int64_t{7}, std::nullopt, "id", std::nullopt,
                                       180.5, 120.25);
  EXPECT_EQ(s.size, std::make_pair(180.5, 120.25));
}

}  // namespace
}  // namespace vekt::plots
