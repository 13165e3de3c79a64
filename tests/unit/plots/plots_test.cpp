#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "canvas/axes.hpp"
#include "canvas/figure.hpp"
#include "canvas/font.hpp"
#include "plots/plots.hpp"

namespace vekt::plots {
namespace {

using canvas::Coords;
using canvas::HAlign;
using canvas::VAlign;
using canvas::Weight;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The start-up line shows once per process, so it is looked for in a process of its own: the
// "threadsafe" style runs the statement in a fresh run of this program, whatever ran before here.
TEST(PlotsStartup, LogsOnceAndBuildsConstants) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        init();
        init();
        // Straight out: the line is all this child may print (no exit-time reports after it).
        std::fflush(nullptr);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "^INFO:plots:Loaded plots module\n$");
  init();
  EXPECT_EQ(canvas::font_family(), "DejaVu Sans");
  ASSERT_EQ(FONT_SANS_SERIF.size(), 5u);
  EXPECT_EQ(FONT_SANS_SERIF[0], "Geist");
  EXPECT_EQ(FONT_SANS_SERIF[1], "Arial");
  EXPECT_EQ(FONT_SANS_SERIF[2], "DejaVu Sans");
  EXPECT_EQ(FONT_SANS_SERIF[3], "Liberation Sans");
  EXPECT_EQ(FONT_SANS_SERIF[4], "sans-serif");
  EXPECT_EQ(SRC_CRS().name(), "WGS 84 / Pseudo-Mercator");
  EXPECT_EQ(DST_CRS().name(), "WGS 84 / Pseudo-Mercator");
  EXPECT_NE(&SRC_CRS(), &DST_CRS());
  EXPECT_TRUE(SRC_CRS().equivalent_to(DST_CRS()));
  const geo::XY p = TRANSFORMER().transform(385123.125, 812345.75);
  EXPECT_EQ(p.x, 385123.125);
  EXPECT_EQ(p.y, 812345.75);
}

class Plots : public ::testing::Test {
 protected:
  void SetUp() override { init(); }
};

TEST_F(Plots, ProjectGeometryKeepsEveryVertex) {
  const char* wkts[] = {
      "POLYGON((0 0, 40 0, 40 20, 0 20, 0 0), (5 5, 10 5, 10 10, 5 5))",
      "MULTIPOLYGON(((380000 700000, 380010 700000, 380010 700010, 380000 700000)), ((1 1, 2 1, 2 2, 1 1)))",
      "LINESTRING(1.5 2.25, 3.125 4.0625)",
      "GEOMETRYCOLLECTION(POINT(1 2), LINESTRING(0 0, 1 1))",
  };
  for (const char* w : wkts) {
    SCOPED_TRACE(w);
    const geo::Geometry in = geo::Geometry::from_wkt(w);
    const std::string before = in.wkt();
    const geo::Geometry out = project_geometry(in);
    EXPECT_EQ(out.type(), in.type());
    EXPECT_TRUE(out.equals_exact(in, 0));
    EXPECT_EQ(in.wkt(), before);  // the argument is left alone
    EXPECT_NE(out.raw(), in.raw());
  }
  const geo::Geometry hole = project_geometry(geo::Geometry::from_wkt(wkts[0]));
  EXPECT_EQ(hole.num_interior_rings(), 1);
  const geo::Geometry empty = project_geometry(geo::Geometry::from_wkt("POLYGON EMPTY"));
  EXPECT_TRUE(empty.is_empty());
  EXPECT_EQ(empty.type(), geo::GeomType::Polygon);
}

TEST_F(Plots, RecommendedScaleTable) {
  struct Row {
    double w, h, max_w, max_h;
    std::int64_t scale;
  };
  const Row rows[] = {
      {100, 80, 190, 160, 1000},  {40, 30, 190, 160, 250},     {50, 300, 190, 160, 2000},
      {24.5, 10, 100, 100, 250},  // exactly 250
      {4655, 10, 190, 160, 25000},  // exactly 25000
      {4655.1, 10, 190, 160, 26000}, {5000, 100, 190, 160, 27000},
      {0, 50, 190, 160, 1000},    {50, -1, 190, 160, 1000},    {0, 50, 0, 0, 1000},
      {-5, kNaN, 190, 160, 1000},  // a non-positive width decides before anything else
      {2940, 1, 100, 100, 30000},  // exactly 30000: an exact thousand beyond the list stays
      {2940.01, 1, 100, 100, 31000},
      {98, 1, 100, 100, 1000},  // exactly 1000
  };
  for (const auto& r : rows) {
    EXPECT_EQ(get_recommended_scale(r.w, r.h, r.max_w, r.max_h), r.scale) << r.w << " x " << r.h;
  }
  // Defaults: 190 mm wide, 250 mm high.
  EXPECT_EQ(get_recommended_scale(100, 200), 1000);
  EXPECT_EQ(get_recommended_scale(10, 244), 1000);
}

TEST_F(Plots, RecommendedScaleRefusesWhatIsNotANumber) {
  EXPECT_THROW(get_recommended_scale(kNaN, 10, 190, 160), base::ValueError);
  EXPECT_THROW(get_recommended_scale(10, kNaN, 190, 160), base::ValueError);
  EXPECT_THROW(get_recommended_scale(10, 10, kNaN, 160), base::ValueError);
  EXPECT_THROW(get_recommended_scale(kInf, 10, 190, 160), OverflowError);
  EXPECT_THROW(get_recommended_scale(10, kInf, 190, 160), OverflowError);
  EXPECT_THROW(get_recommended_scale(1e300, 10, 190, 160), OverflowError);
  EXPECT_THROW(get_recommended_scale(10, 10, 0, 160), ZeroDivisionError);
  EXPECT_THROW(get_recommended_scale(10, 10, 190, 0), ZeroDivisionError);
}

// The bar drawn at each scale on a 190 × 160 mm plan: its step, its five labels, its length on
// the ground (four steps) and on paper.
TEST_F(Plots, ScaleBarTable) {
  struct Row {
    double scale;
    std::int64_t step;
    double paper_mm;
  };
  const Row rows[] = {
      {250, 2, 32},        {500, 5, 40},         {1000, 10, 40},       {1500, 20, 53.33},
      {2000, 25, 50},      {2500, 25, 40},       {5000, 50, 40},       {7500, 100, 53.33},
      {10000, 100, 40},    {20000, 200, 40},     {25000, 300, 48},     {26000, 300, 46.15},
      {30000, 400, 53.33}, {1200, 10, 33.33},    {8000, 100, 50},      {12000, 200, 66.67},
      {3000, 25, 33.33},   {6000, 50, 33.33},  // halfway between two tidy values: the smaller
      {28000, 400, 57.14},  // 350 m: 3.5 rounds to 4
      {36000, 400, 44.44},  // 450 m: 4.5 rounds to 4
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(::testing::Message() << "1:" << r.scale);
    EXPECT_EQ(scale_bar_step(r.scale), r.step);
    canvas::RecordingAxes ax;
    const double view_w = 190 * r.scale / 1000;
    ax.set_xlim(0, view_w);
    ax.set_ylim(0, 160 * r.scale / 1000);
    add_scale_bar(ax, r.scale);
    const auto texts = ax.items_of<canvas::TextItem>();
    ASSERT_EQ(texts.size(), 6u);
    const std::string inner = std::to_string(r.step), outer = std::to_string(2 * r.step);
    const std::string labels[] = {outer, inner, "0", inner, outer};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(texts[i].text, labels[i]) << i;
    const auto frame = ax.items_of<canvas::RectItem>().at(0);
    EXPECT_EQ(frame.width, 4.0 * static_cast<double>(r.step));
    EXPECT_NEAR(frame.width / view_w * 190, r.paper_mm, 0.005);
  }
  EXPECT_THROW(scale_bar_step(kNaN), base::ValueError);
  EXPECT_THROW(scale_bar_step(kInf), base::ValueError);
  EXPECT_THROW(scale_bar_step(1e300), OverflowError);
}

// The axes of a 190 × 160 mm plan at 1:1000: 190 m by 160 m.
canvas::RecordingAxes plan_axes(double x0 = 0, double y0 = 0) {
  canvas::RecordingAxes ax;
  ax.set_xlim(x0, x0 + 190);
  ax.set_ylim(y0, y0 + 160);
  return ax;
}

TEST_F(Plots, ScaleBarMarks) {
  canvas::RecordingAxes ax = plan_axes();
  add_scale_bar(ax, 1000);
  const auto& items = ax.items();
  ASSERT_EQ(items.size(), 18u);
  // Creation order: frame, then per segment its block (even ones) and its divider, then per tick
  // the tick and its label, then the unit.
  const char* kinds = "RRLLRLLLTLTLTLTLTT";
  for (std::size_t i = 0; i < items.size(); ++i) {
    const char k = std::holds_alternative<canvas::RectItem>(items[i])   ? 'R'
                   : std::holds_alternative<canvas::LineItem>(items[i]) ? 'L'
                   : std::holds_alternative<canvas::TextItem>(items[i]) ? 'T'
                                                                        : '?';
    EXPECT_EQ(k, kinds[i]) << i;
  }
  const auto rects = ax.items_of<canvas::RectItem>();
  const double start_x = (190 - 190 * 0.05) - 40;
  const double start_y = 0 + 160 * 0.02;
  const double bar_h = 160 * 0.015;
  EXPECT_DOUBLE_EQ(rects[0].xy.x, start_x);
  EXPECT_DOUBLE_EQ(rects[0].xy.y, start_y);
  EXPECT_DOUBLE_EQ(rects[0].width, 40);
  EXPECT_DOUBLE_EQ(rects[0].height, bar_h);
  EXPECT_EQ(rects[0].style.facecolor, canvas::Color::white());
  EXPECT_EQ(rects[0].style.edgecolor, canvas::Color::black());
  EXPECT_EQ(rects[0].style.linewidth, 1);
  EXPECT_EQ(rects[0].style.zorder, 10);
  for (int b = 1; b <= 2; ++b) {
    EXPECT_DOUBLE_EQ(rects[b].xy.x, start_x + (b - 1) * 20);
    EXPECT_DOUBLE_EQ(rects[b].width, 10);
    EXPECT_EQ(rects[b].style.facecolor, canvas::Color::black());
    EXPECT_FALSE(rects[b].style.edgecolor.has_value());
    EXPECT_EQ(rects[b].style.linewidth, 0);
    EXPECT_EQ(rects[b].style.zorder, 11);
  }
  const auto lines = ax.items_of<canvas::LineItem>();
  ASSERT_EQ(lines.size(), 9u);
  for (int i = 0; i < 4; ++i) {  // dividers
    EXPECT_DOUBLE_EQ(lines[i].pts[0].x, start_x + (i + 1) * 10);
    EXPECT_DOUBLE_EQ(lines[i].pts[0].y, start_y);
    EXPECT_DOUBLE_EQ(lines[i].pts[1].y, start_y + bar_h);
  }
  for (int i = 0; i < 5; ++i) {  // ticks
    const auto& t = lines[4 + i];
    EXPECT_DOUBLE_EQ(t.pts[0].x, start_x + i * 10);
    EXPECT_DOUBLE_EQ(t.pts[0].y, start_y + bar_h);
    EXPECT_DOUBLE_EQ(t.pts[1].y, start_y + bar_h + bar_h * 0.5);
  }
  for (const auto& l : lines) {
    EXPECT_EQ(l.style.color, canvas::Color::black());
    EXPECT_EQ(l.style.linewidth, 1);
    EXPECT_TRUE(l.style.dashes.empty());
    EXPECT_EQ(l.style.zorder, 12);
  }
  const auto texts = ax.items_of<canvas::TextItem>();
  ASSERT_EQ(texts.size(), 6u);
  const char* labels[] = {"20", "10", "0", "10", "20", "m"};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(texts[i].text, labels[i]);
    EXPECT_DOUBLE_EQ(texts[i].at.y, start_y + bar_h + bar_h * 0.5 * 1.2);
    EXPECT_EQ(texts[i].style.fontsize, 9);
    EXPECT_EQ(texts[i].style.fontweight, Weight::Bold);
    EXPECT_EQ(texts[i].style.va, VAlign::Bottom);
    EXPECT_EQ(texts[i].style.ha, i < 5 ? HAlign::Center : HAlign::Left);
    EXPECT_EQ(texts[i].style.coords, Coords::Data);
    EXPECT_EQ(texts[i].style.zorder, 13);
    if (i < 5) {
      EXPECT_DOUBLE_EQ(texts[i].at.x, start_x + i * 10);
    }
  }
  // On paper: right end 9.5 mm from the right edge, "m" at least 1.9 mm right of it (further where
  // the last label reaches that far), bottom 3.2 mm up.
  EXPECT_GE(texts[5].at.x, 190 - 9.5 + 1.9 - 1e-9);
  EXPECT_NEAR(start_y, 3.2, 1e-12);
}

TEST_F(Plots, ScaleBarIgnoresPositionAndFollowsLimits) {
  canvas::RecordingAxes a = plan_axes(1000, 2000);
  canvas::RecordingAxes b = plan_axes(1000, 2000);
  add_scale_bar(a, 2500);
  add_scale_bar(b, 2500, {0.1, 0.9});
  ASSERT_EQ(a.items().size(), b.items().size());
  const auto ta = a.items_of<canvas::TextItem>(), tb = b.items_of<canvas::TextItem>();
  for (std::size_t i = 0; i < ta.size(); ++i) {
    EXPECT_EQ(ta[i].at, tb[i].at);
    EXPECT_EQ(ta[i].text, tb[i].text);
  }
  EXPECT_EQ(ta[0].text, "50");
  EXPECT_EQ(ta[1].text, "25");
  // The right end depends only on the limits.
  const auto rect = a.items_of<canvas::RectItem>()[0];
  EXPECT_DOUBLE_EQ(rect.xy.x + rect.width, 1000 + 190 - 190 * 0.05);
  canvas::RecordingAxes c = plan_axes();
  EXPECT_THROW(add_scale_bar(c, kNaN), base::ValueError);
  EXPECT_TRUE(c.items().empty());
}

TEST_F(Plots, NorthArrowItems) {
  canvas::RecordingAxes ax = plan_axes();
  add_north_arrow(ax);
  ASSERT_EQ(ax.items().size(), 2u);
  const auto* label = std::get_if<canvas::TextItem>(&ax.items()[0]);
  const auto* arrow = std::get_if<canvas::ArrowItem>(&ax.items()[1]);
  ASSERT_NE(label, nullptr);
  ASSERT_NE(arrow, nullptr);
  EXPECT_EQ(label->text, "UN");
  EXPECT_DOUBLE_EQ(label->at.x, 0.95);
  EXPECT_DOUBLE_EQ(label->at.y, 0.94);
  EXPECT_EQ(label->style.coords, Coords::AxesFraction);
  EXPECT_EQ(label->style.ha, HAlign::Center);
  EXPECT_EQ(label->style.va, VAlign::Bottom);
  EXPECT_EQ(label->style.fontsize, 12);
  EXPECT_EQ(label->style.fontweight, Weight::Bold);
  EXPECT_EQ(label->style.zorder, 10);
  EXPECT_EQ(label->style.color, canvas::Color::black());
  EXPECT_DOUBLE_EQ(arrow->head.x, 0.95);
  EXPECT_DOUBLE_EQ(arrow->head.y, 0.93);
  EXPECT_EQ(arrow->tail, (canvas::XY{0.95, 0.85}));
  EXPECT_EQ(arrow->coords, Coords::AxesFraction);
  EXPECT_EQ(arrow->props.facecolor, canvas::Color::black());
  EXPECT_EQ(arrow->props.width, 3);
  EXPECT_EQ(arrow->props.headwidth, 10);
  EXPECT_EQ(arrow->props.headlength, 12);
  EXPECT_EQ(arrow->zorder, 10);

  canvas::RecordingAxes other = plan_axes();
  add_north_arrow(other, {0.2, 0.3}, 0.1);
  const auto t = other.items_of<canvas::TextItem>()[0];
  const auto a = other.items_of<canvas::ArrowItem>()[0];
  EXPECT_DOUBLE_EQ(t.at.y, (0.3 + 0.1) + 0.01);
  EXPECT_EQ(a.tail, (canvas::XY{0.2, 0.3}));
  EXPECT_DOUBLE_EQ(a.head.y, 0.3 + 0.1);
}

TEST_F(Plots, NorthArrowStaysPutWhateverTheLimits) {
  canvas::Figure a(190, 160), b(190, 160);
  a.axes().set_xlim(0, 190);
  a.axes().set_ylim(0, 160);
  b.axes().set_xlim(380000, 382500);
  b.axes().set_ylim(700000, 702000);
  add_north_arrow(a.axes());
  add_north_arrow(b.axes());
  EXPECT_EQ(a.render().rgb, b.render().rgb);
}

TEST_F(Plots, RoadElementDispatch) {
  struct Case {
    const char* wkt;
    std::vector<double> zorders;  // one per line drawn
    std::vector<std::size_t> sizes;
  };
  const Case cases[] = {
      {"LINESTRING(0 0, 10 0, 10 10)", {1}, {3}},
      {"MULTILINESTRING((0 0, 1 0), (2 0, 3 0, 4 0), (5 0, 6 0))", {1, 1, 1}, {2, 3, 2}},
      {"POLYGON((0 0, 10 0, 10 10, 0 10, 0 0), (2 2, 3 2, 3 3, 2 2))", {2}, {5}},
      {"MULTIPOLYGON(((0 0, 1 0, 1 1, 0 0)), ((5 5, 6 5, 6 6, 6 7, 5 5)))", {2, 2}, {4, 5}},
      {"GEOMETRYCOLLECTION(POINT(1 1), LINESTRING(0 0, 1 1))", {1}, {2}},
      {"GEOMETRYCOLLECTION(LINESTRING(0 0, 1 1), GEOMETRYCOLLECTION(POLYGON((0 0, 1 0, 1 1, 0 0)), "
       "GEOMETRYCOLLECTION(MULTILINESTRING((0 0, 2 2), (3 3, 4 4)))))",
       {1, 2, 1, 1},
       {2, 4, 2, 2}},
      {"POINT(1 1)", {}, {}},
      {"MULTIPOINT((1 1), (2 2))", {}, {}},
      {"GEOMETRYCOLLECTION EMPTY", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wkt);
    canvas::RecordingAxes ax;
    plot_road_element(ax, geo::Geometry::from_wkt(c.wkt));
    const auto lines = ax.items_of<canvas::LineItem>();
    ASSERT_EQ(lines.size(), ax.items().size());
    ASSERT_EQ(lines.size(), c.zorders.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].style.zorder, c.zorders[i]);
      EXPECT_EQ(lines[i].pts.size(), c.sizes[i]);
      EXPECT_EQ(lines[i].style.color, canvas::Color::black());
      EXPECT_EQ(lines[i].style.linewidth, 0.8);
      EXPECT_EQ(lines[i].style.dashes, (std::vector<double>{5, 10}));
    }
  }
  // Parts keep their order and their vertices.
  canvas::RecordingAxes ax;
  plot_road_element(ax, geo::Geometry::from_wkt("MULTILINESTRING((0 0, 1 0), (2 0, 3 0, 4 0), (5 0, 6 0))"));
  const auto lines = ax.items_of<canvas::LineItem>();
  EXPECT_EQ(lines[1].pts[2], (canvas::XY{4, 0}));
  EXPECT_EQ(lines[2].pts[0], (canvas::XY{5, 0}));
}

TEST_F(Plots, RoadDashPeriodOnThePlan) {
  // 0.8 pt dashes (5, 10): on 4 pt, off 8 pt; 50 px a period at 300 dpi, whatever the scale.
  canvas::Figure f(190, 160);
  f.axes().set_xlim(0, 475);  // 1:2500
  f.axes().set_ylim(0, 400);
  plot_road_element(f.axes(), geo::Geometry::from_wkt("LINESTRING(10 200, 465 200)"));
  const canvas::Image img = f.render();
  const int row = static_cast<int>(f.data_to_pixel({10, 200}).y);
  std::vector<int> starts;
  bool in = false;
  for (int x = 0; x < img.width; ++x) {
    const bool d = img.at(x, row).r < 128;
    if (d && !in) starts.push_back(x);
    in = d;
  }
  ASSERT_GT(starts.size(), 30u);
  EXPECT_NEAR(starts.front(), f.data_to_pixel({10, 200}).x, 1.0);
  EXPECT_NEAR(static_cast<double>(starts.back() - starts.front()) / static_cast<double>(starts.size() - 1), 50.0, 0.05);
}

TEST_F(Plots, RotatedRectCorners) {
  struct Case {
    double cx, cy, w, h, angle;
    geo::XY corners[4];
    double tol;
  };
  const Case cases[] = {
      {0, 0, 4.5, 2.5, 0, {{-2.25, -1.25}, {2.25, -1.25}, {2.25, 1.25}, {-2.25, 1.25}}, 0},
      {0, 0, 4.5, 2.5, 90, {{1.25, -2.25}, {1.25, 2.25}, {-1.25, 2.25}, {-1.25, -2.25}}, 1e-15},
      {4.35, 5.8, 4.5, 2.5, 53.1301, {{4.0, 3.25}, {6.7, 6.85}, {4.7, 8.35}, {2.0, 4.75}}, 5e-5},
      {0, 0, 4.5, 2.5, 300, {{-2.2075, 1.3236}, {0.0425, -2.5736}, {2.2075, -1.3236}, {-0.0425, 2.5736}}, 5e-5},
      {0, 0, 4.5, 2.5, -60, {{-2.2075, 1.3236}, {0.0425, -2.5736}, {2.2075, -1.3236}, {-0.0425, 2.5736}}, 5e-5},
      {0, 0, 4.5, 2.5, 660, {{-2.2075, 1.3236}, {0.0425, -2.5736}, {2.2075, -1.3236}, {-0.0425, 2.5736}}, 5e-5},
      {0, 0, 4.5, 2.5, 120, {{2.2075, -1.3236}, {-0.0425, 2.5736}, {-2.2075, 1.3236}, {0.0425, -2.5736}}, 5e-5},
      {0, 0, 4.5, 2.5, 180, {{2.25, 1.25}, {-2.25, 1.25}, {-2.25, -1.25}, {2.25, -1.25}}, 1e-15},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "angle " << c.angle);
    const geo::Geometry p = get_rotated_rect_poly(c.cx, c.cy, c.w, c.h, c.angle);
    EXPECT_EQ(p.type(), geo::GeomType::Polygon);
    EXPECT_EQ(p.num_interior_rings(), 0);
    const auto ring = p.exterior_ring().coords();
    ASSERT_EQ(ring.size(), 5u);
    EXPECT_EQ(ring[4], ring[0]);
    for (int i = 0; i < 4; ++i) {
      if (c.tol == 0) {
        EXPECT_EQ(ring[i], c.corners[i]) << i;
      } else {
        EXPECT_NEAR(ring[i].x, c.corners[i].x, c.tol) << i;
        EXPECT_NEAR(ring[i].y, c.corners[i].y, c.tol) << i;
      }
    }
    EXPECT_NEAR(p.area(), c.w * c.h, 1e-9);
  }
  // A zero width is no error: two pairs of corners coincide.
  const geo::Geometry z = get_rotated_rect_poly(1, 1, 0, 2, 30);
  const auto zr = z.exterior_ring().coords();
  EXPECT_EQ(zr[0], zr[1]);
  EXPECT_EQ(zr[2], zr[3]);
  EXPECT_EQ(z.area(), 0);
  // A corner that is not a number cannot close the ring: the geometry error reaches the caller.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_THROW(get_rotated_rect_poly(nan, 0, 4, 2, 0), geo::GeometryError);
  EXPECT_THROW(get_rotated_rect_poly(0, 0, 4, 2, inf), geo::GeometryError);
  EXPECT_THROW(geo::Geometry::line_string(std::vector<base::XY>{{1, 2}}), geo::GeometryError);
}

TEST_F(Plots, FiguresOnSeveralThreadsDrawTheSame) {
  auto draw = [] {
    canvas::Figure f(190, 160);
    f.axes().set_xlim(0, 190);
    f.axes().set_ylim(0, 160);
    plot_road_element(f.axes(), project_geometry(geo::Geometry::from_wkt("LINESTRING(5 40, 100 45, 185 30)")));
    const geo::Geometry fp = get_rotated_rect_poly(50, 100, 4.5, 2.5, 30);
    canvas::TextStyle ts;
    ts.rotation = 30;
    ts.rotation_mode = canvas::RotationMode::Anchor;
    f.axes().text({fp.centroid().x(), fp.centroid().y()}, "B12", ts);
    add_north_arrow(f.axes());
    add_scale_bar(f.axes(), get_recommended_scale(150, 120, 190, 160));
    return f.render().rgb;
  };
  const auto want = draw();
  std::vector<std::vector<std::uint8_t>> got(4);
  std::vector<std::thread> threads;
  for (auto& g : got) threads.emplace_back([&g, &draw] { g = draw(); });
  for (auto& t : threads) t.join();
  for (const auto& g : got) EXPECT_TRUE(g == want);
}

// Writes plots_primitives.png into the build directory for a person to look at: a 1:1000 plan
// with road line work, label footprints, the north arrow and the scale bar.
TEST_F(Plots, WritesPrimitivesSheet) {
  canvas::Figure f(190, 160);
  auto& ax = f.axes();
  ax.set_xlim(0, 190);
  ax.set_ylim(0, 160);
  plot_road_element(ax, geo::Geometry::from_wkt("LINESTRING(5 40, 100 45, 185 30)"));
  plot_road_element(ax, geo::Geometry::from_wkt(
                            "MULTIPOLYGON(((20 60, 60 60, 60 70, 20 70, 20 60)), ((120 100, 160 90, 170 130, 120 100)))"));
  canvas::PatchStyle fp;
  fp.edgecolor = canvas::Color::parse("#666666");
  fp.linewidth = 0.5;
  fp.zorder = 7;
  canvas::TextStyle ts;
  ts.fontsize = 8;
  ts.fontweight = Weight::Bold;
  ts.ha = HAlign::Center;
  ts.va = VAlign::Center;
  ts.rotation_mode = canvas::RotationMode::Anchor;
  ts.zorder = 7;
  double x = 20;
  for (const double angle : {0.0, 53.1301, 90.0, 306.8699, 323.1301}) {
    const geo::Geometry poly = get_rotated_rect_poly(x, 130, 4.5, 2.5, angle);
    ax.fill(poly.exterior_ring().coords(), fp);
    ts.rotation = angle;
    ax.text({x, 130}, "B12", ts);
    x += 20;
  }
  add_north_arrow(ax);
  add_scale_bar(ax, 1000);
  const std::string png = f.to_png();
  std::ofstream(std::string(VEKT_BINARY_DIR) + "/plots_primitives.png", std::ios::binary) << png;
  const canvas::Image img = canvas::decode_png(png);
  EXPECT_EQ(img.width, 2244);
  EXPECT_EQ(img.height, 1889);
  // The bar's first block is solid black and the segment after it white.
  const canvas::XY in_block = f.data_to_pixel({190 - 9.5 - 40 + 5, 3.2 + 1.2});
  const canvas::XY in_white = f.data_to_pixel({190 - 9.5 - 40 + 15, 3.2 + 1.2});
  EXPECT_EQ(img.at(static_cast<int>(in_block.x), static_cast<int>(in_block.y)), (canvas::Image::Pixel{0, 0, 0}));
  EXPECT_EQ(img.at(static_cast<int>(in_white.x), static_cast<int>(in_white.y)), (canvas::Image::Pixel{255, 255, 255}));
}

}  // namespace
}  // namespace vekt::plots
