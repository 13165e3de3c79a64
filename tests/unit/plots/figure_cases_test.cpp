// Whole plan figures from the request files in tests/data/plots: the decoded pixels, the labels and
// schedule rows against the parcel's geometry, several threads at once, and the vekt-plot program.
// Each case's PNG is written to test-output/plots/ under the build tree for a person to look at.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "base/base64.hpp"
#include "base/numfmt.hpp"
#include "geo/geometry.hpp"
#include "plot/request.hpp"
#include "plots/figure.hpp"
#include "plots/number_text.hpp"
#include "plots/plan_layout.hpp"
#include "plots/plots.hpp"
#include "support/command.hpp"

namespace vekt::plots {
namespace {

namespace fs = std::filesystem;
using canvas::Image;

const fs::path kData = fs::path(VEKT_SOURCE_DIR) / "tests/data/plots";
const fs::path kOut = fs::path(VEKT_BINARY_DIR) / "test-output/plots";

plot::Request load(const std::string& name) { return plot::read_request((kData / (name + ".json")).string()); }

ComposedPlot compose(const plot::Request& r) {
  return compose_plot(r.parcel_data, r.selected, r.road_data, r.columnname, r.bounding_box, r.max_width_mm,
                      r.max_height_mm);
}

FigureResult generate(const plot::Request& r) {
  return generate_plot(r.parcel_data, r.selected, r.road_data, r.columnname, r.bounding_box, r.max_width_mm,
                       r.max_height_mm);
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

const PlotRecord& target_of(const plot::Request& r) {
  for (const auto& p : r.parcel_data)
    if (p.id && ParcelNumber{*p.id} == r.selected) return p;
  throw std::runtime_error("no target in the request");
}

XY point_of(const BeaconRecord& b) {
  const geo::Geometry g = geo::Geometry::from_geojson(b.geometry->text);
  return {g.x(), g.y()};
}

class FigureCases : public ::testing::Test {
 protected:
  void SetUp() override {
    init();
    fs::create_directories(kOut);
  }
};

struct Case {
  const char* name;
  std::int64_t scale;
  std::size_t schedule_rows;
};

// Every case: written out, with its scale, and every leg either labelled with the bearing and
// distance of its geometry or listed in the schedule with them, as its length on paper says.
TEST_F(FigureCases, LabelsAndScheduleAgreeWithTheGeometry) {
  const Case cases[] = {{"five_sided", 500, 1},
                        {"tiny", 250, 0},
                        {"large", 2500, 0},
                        {"clustered_25", 500, 16},
                        {"five_sided_bbox_degrees", 1000, 1},
                        {"five_sided_bbox_metres", 1000, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const plot::Request req = load(c.name);
    const FigureResult res = generate(req);
    {
      std::ofstream out(kOut / (std::string(c.name) + ".png"), std::ios::binary);
      out << base::base64_decode(res.image);
    }
    EXPECT_EQ(res.scale, c.scale);
    EXPECT_EQ(res.schedule.size(), c.schedule_rows);

    const ComposedPlot plot = compose(req);
    const auto texts = plot.figure.axes().items_of<canvas::TextItem>();
    const PlotRecord& target = target_of(req);
    const auto& beacons = *target.boundary;
    const double k = static_cast<double>(res.scale) / 1000;
    const geo::Geometry parcel = geo::Geometry::from_geojson(target.geometry->text);
    std::size_t row = 0;
    for (std::size_t i = 0; i < beacons.size(); ++i) {
      const BeaconRecord& b = beacons[i];
      const BeaconRecord& nb = beacons[(i + 1) % beacons.size()];
      const XY p = point_of(b), q = point_of(nb);
      const double len = std::hypot(q.x - p.x, q.y - p.y);
      const double az = std::fmod(std::atan2(q.x - p.x, q.y - p.y) * 180 / std::numbers::pi + 360, 360);
      const int deg = static_cast<int>(az);
      int min = static_cast<int>(std::lround((az - deg) * 60));
      const std::string bearing =
          min == 60 ? fmt::format("{:02d}° 00'", (deg + 1) % 360) : fmt::format("{:02d}° {:02d}'", deg, min);
      // The record agrees with its geometry (the fixture's own check).
      EXPECT_EQ(*b.bearing_deg_to_next + " " + *b.bearing_min_to_next, bearing) << i;
      EXPECT_EQ(fixed2(*b.distance_to_next), base::fixed(len, 2)) << i;
      const std::string dist = fixed2(*b.distance_to_next);
      if (len > k * 15) {
        int found = 0;
        for (const auto& t : texts) found += t.text == dist + "m";
        EXPECT_GE(found, 1) << "leg " << i << " has no distance label " << dist;
      } else {
        ASSERT_LT(row, res.schedule.size());
        const ScheduleItem want{*b.beacon_name, *nb.beacon_name, bearing, dist};
        EXPECT_EQ(res.schedule[row], want) << i;
        ++row;
      }
    }
    EXPECT_EQ(row, res.schedule.size());
    // Names outside the parcel, every text upright.
    for (const auto& t : texts) {
      const double r = t.style.rotation;
      EXPECT_TRUE((r >= -90 && r <= 90) || (r > 270 && r <= 360)) << t.text << " " << r;
    }
    for (const auto& t : texts) {
      if (t.style.zorder != 7 || t.style.va != canvas::VAlign::Center) continue;
      EXPECT_FALSE(geo::Geometry::point(t.at.x, t.at.y).intersects(parcel)) << t.text;
    }
  }
}

TEST_F(FigureCases, PixelsOfTheFiveSidedParcel) {
  const plot::Request req = load("five_sided");
  const ComposedPlot plot = compose(req);
  const std::string png = base::base64_decode(generate(req).image);
  // 8-bit RGB, no alpha: IHDR's bit depth and colour type.
  ASSERT_GT(png.size(), 26u);
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(static_cast<int>(png[24]), 8);
  EXPECT_EQ(static_cast<int>(png[25]), 2);
  std::uint32_t ppm = 0;
  const Image img = canvas::decode_png(png, &ppm);
  // Written straight from the drawing surface, the PNG holds exactly the rendered pixels.
  EXPECT_EQ(img.rgb, plot.figure.render().rgb);
  EXPECT_EQ(img.width, 2244);
  EXPECT_EQ(img.height, 1889);
  EXPECT_EQ(ppm, 11811u);
  const canvas::Figure& fig = plot.figure;
  const double ox = 830000, oy = 1000000;
  auto at = [&](double x, double y) {
    const XY p = fig.data_to_pixel({ox + x, oy + y});
    return img.at(static_cast<int>(p.x), static_cast<int>(p.y));
  };
  using P = Image::Pixel;
  EXPECT_EQ(at(8, 22), (P{255, 217, 217}));   // the target's fill
  EXPECT_EQ(at(20, 45), (P{224, 224, 224}));  // the northern neighbour
  EXPECT_EQ(at(-15, 10), (P{224, 224, 224})); // the western one
  EXPECT_EQ(at(30, 0), (P{255, 0, 0}));       // the red edge
  EXPECT_EQ(at(20, -20), (P{255, 255, 255})); // paper
  // A black dot on every beacon, above the red edge.
  for (const auto& b : *target_of(req).boundary) {
    const XY p = point_of(b);
    EXPECT_EQ(at(p.x - ox, p.y - oy), (P{0, 0, 0})) << *b.beacon_name;
  }
  // The north arrow's shaft at 95 % across, the scale bar's first block black, its second white.
  EXPECT_EQ(img.at(static_cast<int>(0.95 * 2244.09), static_cast<int>(1889 - 0.88 * 1889.76)), (P{0, 0, 0}));
  const auto [x0, x1] = fig.axes().get_xlim();
  const auto [y0, y1] = fig.axes().get_ylim();
  const double end_x = x1 - (x1 - x0) * 0.05, start_x = end_x - 20, bar_y = y0 + (y1 - y0) * 0.02 + 0.6;
  auto px = [&](double x, double y) {
    const XY p = fig.data_to_pixel({x, y});
    return img.at(static_cast<int>(p.x), static_cast<int>(p.y));
  };
  EXPECT_EQ(px(start_x + 2.5, bar_y), (P{0, 0, 0}));
  EXPECT_EQ(px(start_x + 7.5, bar_y), (P{255, 255, 255}));
  EXPECT_EQ(px(start_x + 12.5, bar_y), (P{0, 0, 0}));
}

TEST_F(FigureCases, BearingsOutsideDistancesInside) {
  const plot::Request req = load("five_sided");
  const ComposedPlot plot = compose(req);
  const geo::Geometry parcel = geo::Geometry::from_geojson(target_of(req).geometry->text);
  int outside = 0, inside = 0;
  for (const auto& t : plot.figure.axes().items_of<canvas::TextItem>()) {
    if (t.style.zorder != 7 || t.style.va == canvas::VAlign::Center) continue;
    const bool in = geo::Geometry::point(t.at.x, t.at.y).intersects(parcel);
    if (t.text.back() == 'm') {
      EXPECT_TRUE(in) << t.text;
      ++inside;
    } else {
      EXPECT_FALSE(in) << t.text;
      ++outside;
    }
  }
  EXPECT_EQ(inside, 4);   // five legs, one of them in the schedule
  EXPECT_EQ(outside, 8);
}

TEST_F(FigureCases, SeveralThreadsDrawTheSameFigures) {
  const plot::Request five = load("five_sided");
  const plot::Request degrees = load("five_sided_bbox_degrees");
  const std::string want_five = generate(five).image;
  const std::string want_degrees = generate(degrees).image;
  std::vector<std::string> got(8);
  std::vector<std::thread> pool;
  for (std::size_t t = 0; t < got.size(); ++t) {
    pool.emplace_back([&, t] {
      for (int i = 0; i < 2; ++i) got[t] = generate(t % 2 ? degrees : five).image;
    });
  }
  for (auto& th : pool) th.join();
  for (std::size_t t = 0; t < got.size(); ++t) EXPECT_EQ(got[t], t % 2 ? want_degrees : want_five) << t;
}

// The program: run with the shell, its status and standard error kept.
struct ProgramRun {
  int status = -1;
  std::string err;
};

ProgramRun vekt_plot(const std::string& args) {
  const std::string cmd =
      fmt::format("'{}' {} 2>&1 >/dev/null", (fs::path(VEKT_BINARY_DIR) / "bin/vekt-plot").string(), args);
  const vekt::testing::CommandResult r = vekt::testing::run_command(cmd, vekt::testing::Capture::OutOnly);
  return {r.status, r.output};
}

TEST_F(FigureCases, VektPlotWritesTheFigureAndItsResult) {
  const fs::path png = kOut / "vekt-plot-five_sided.png", js = kOut / "vekt-plot-five_sided.json";
  const ProgramRun r = vekt_plot(fmt::format("'{}' '{}' '{}'", (kData / "five_sided.json").string(), png.string(),
                                      js.string()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("INFO:plots:Generating plot for id=101\n"), std::string::npos);
  EXPECT_EQ(read_file(js),
            "{\n  \"scale\": 500,\n  \"size\": [\n    190,\n    160\n  ],\n  \"schedule\": [\n    {\n      \"from\": "
            "\"PB2\",\n      \"to\": \"PB3\",\n      \"bearing\": \"45° 00'\",\n      \"distance\": \"7.07\"\n    "
            "}\n  ]\n}\n");
  EXPECT_EQ(read_file(png), base::base64_decode(generate(load("five_sided")).image));

  const ProgramRun rep = vekt_plot(fmt::format("--repeat 3 '{}' '{}'", (kData / "tiny.json").string(),
                                        (kOut / "vekt-plot-tiny.png").string()));
  ASSERT_EQ(rep.status, 0) << rep.err;
  EXPECT_NE(rep.err.find(" ms per figure over 3 figures\n"), std::string::npos) << rep.err;
}

TEST_F(FigureCases, VektPlotRefusesMalformedRequests) {
  const fs::path in = kOut / "bad-request.json";
  const std::string out = (kOut / "bad.png").string();
  struct Row {
    const char* json;
    int status;
    const char* message;
  } rows[] = {
      {"{", 2, "not valid JSON"},
      {R"({"parcel_data": [], "selected": null})", 2, "\"selected\" must be an integer, a number or text"},
      {R"({"parcel_data": {}, "selected": 1})", 2, "\"parcel_data\" must be a list of plot records"},
      {R"({"parcel_data": [{"id": "7"}], "selected": 1})", 2, "plot record 0: \"id\" must be an integer"},
      {R"({"parcel_data": [{"idd": 7}], "selected": 1})", 2, "plot record 0: unknown key \"idd\""},
      {R"({"parcel_data": [], "selected": 1, "bounding_box": [1, 2, 3]})", 2,
       "\"bounding_box\" must hold exactly four numbers"},
      {R"({"parcel_data": [], "selected": 7, "columnname": "id"})", 1, "Parcel with id=7 not found."},
  };
  for (const auto& row : rows) {
    std::ofstream(in) << row.json;
    const ProgramRun r = vekt_plot(fmt::format("'{}' '{}'", in.string(), out));
    EXPECT_EQ(r.status, row.status) << row.json;
    EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(vekt_plot("only-one-argument.json").status, 2);
  EXPECT_EQ(vekt_plot(fmt::format("--repeat 0 '{}' '{}'", in.string(), out)).status, 2);
}

}  // namespace
}  // namespace vekt::plots

namespace vekt::plots {
namespace {

// Every record kind names the bad key and where it stands; of two bad keys, the one read first.
TEST(VektPlotRequest, ABadFieldIsNamedWithItsRecord) {
  const std::pair<const char*, const char*> rows[] = {
      {R"({"parcel_data": [], "selected": 1, "x": 1})", "the request: unknown key \"x\""},
      {R"({"parcel_data": [3], "selected": 1})", "plot record 0 must be a JSON object"},
      {R"({"parcel_data": [{"name": 1, "id": "x"}], "selected": 1})", "plot record 0: \"id\" must be an integer"},
      {R"({"parcel_data": [{"area": "1,5"}], "selected": 1})",
       "plot record 0: \"area\" must be a number or a decimal numeral"},
      {R"({"parcel_data": [{"geometry": 3}], "selected": 1})", "plot record 0: \"geometry\" must be a GeoJSON object"},
      {R"({"parcel_data": [{"boundary": {}}], "selected": 1})",
       "plot record 0: \"boundary\" must be a list of beacon records"},
      {R"({"parcel_data": [{}, {"boundary": [{}, {"beacon_name": 5}]}], "selected": 1})",
       "plot record 1, beacon record 1: \"beacon_name\" must be text"},
      {R"({"parcel_data": [{"boundary": [{"x": 1}]}], "selected": 1})",
       "plot record 0, beacon record 0: unknown key \"x\""},
      {R"({"parcel_data": [], "selected": 1, "road_data": [{"name": 1}]})", "road record 0: \"name\" must be text"},
      {R"({"parcel_data": [], "selected": 1, "road_data": [{"nam": "A"}]})", "road record 0: unknown key \"nam\""},
  };
  for (const auto& [json, message] : rows) {
    try {
      (void)vekt::plot::parse_request(json);
      ADD_FAILURE() << "accepted: " << json;
    } catch (const vekt::plot::BadRequest& e) {
      EXPECT_EQ(std::string(e.what()), message) << json;
    }
  }
}

TEST(VektPlotRequest, AnAreaOfNullIsUnknownAndAMissingOneZero) {
  const auto record = [](const char* area) {
    return vekt::plot::parse_request(std::string(R"({"parcel_data": [{"id": 7)") + area + R"(}], "selected": 7})")
        .parcel_data.at(0);
  };
  EXPECT_TRUE(record(R"(, "area": null)").area_is_null);
  EXPECT_FALSE(record("").area_is_null);
  EXPECT_FALSE(record("").area);
  EXPECT_FALSE(record(R"(, "area": 12)").area_is_null);
}

}  // namespace
}  // namespace vekt::plots
