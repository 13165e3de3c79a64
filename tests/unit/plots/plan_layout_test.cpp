// The arithmetic of the plan figure's stages, on the worked numbers of a plan drawn by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <limits>
#include <string>

#include "geo/proj.hpp"
#include "plots/plan_layout.hpp"
#include "plots/plots.hpp"

namespace vekt::plots {
namespace {

using canvas::VAlign;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kHalf = std::sqrt(0.5);

class PlanLayout : public ::testing::Test {
 protected:
  void SetUp() override { init(); }
};

geo::Geometry rect(double x0, double y0, double x1, double y1) {
  const XY c[] = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
  return geo::Geometry::polygon(c);
}

void expect_bounds(geo::GeometryRef g, double x0, double y0, double x1, double y1) {
  const geo::Bounds b = g.bounds();
  EXPECT_NEAR(b.minx, x0, 1e-9);
  EXPECT_NEAR(b.miny, y0, 1e-9);
  EXPECT_NEAR(b.maxx, x1, 1e-9);
  EXPECT_NEAR(b.maxy, y1, 1e-9);
}

TEST_F(PlanLayout, FrameFromTheTargetGrowsItBy15Metres) {
  const geo::Geometry target = rect(0, 0, 40, 20);
  const SurveyFrame f = survey_frame(target, std::nullopt, 190, 160);
  EXPECT_EQ(f.survey_w, 70);
  EXPECT_EQ(f.survey_h, 50);
  EXPECT_EQ(f.scale, 500);
  EXPECT_EQ(f.center_x, 20);
  EXPECT_EQ(f.center_y, 10);
  EXPECT_DOUBLE_EQ(f.xlim.second - f.xlim.first, 95);
  EXPECT_DOUBLE_EQ(f.ylim.second - f.ylim.first, 80);
}

TEST_F(PlanLayout, FrameIsCentredOnTheCentroidNotTheBounds) {
  const XY tri[] = {{0, 0}, {30, 0}, {0, 30}};
  const SurveyFrame f = survey_frame(geo::Geometry::polygon(tri), std::nullopt, 190, 160);
  EXPECT_DOUBLE_EQ(f.center_x, 10);
  EXPECT_DOUBLE_EQ(f.center_y, 10);
}

TEST_F(PlanLayout, FrameFromABoxInMetresOrDegrees) {
  const geo::Geometry target = rect(0, 0, 40, 20);
  ::testing::internal::CaptureStderr();
  const SurveyFrame m = survey_frame(target, BoundingBox{200, 100, 300, 180}, 190, 160);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(m.survey_w, 100);
  EXPECT_EQ(m.survey_h, 80);
  EXPECT_EQ(m.scale, 1000);
  EXPECT_EQ(m.center_x, 250);
  EXPECT_EQ(m.center_y, 140);
  EXPECT_EQ(m.xlim, std::make_pair(155.0, 345.0));
  EXPECT_EQ(m.ylim, std::make_pair(60.0, 220.0));

  ::testing::internal::CaptureStderr();
  const SurveyFrame d = survey_frame(target, BoundingBox{3.0, 6.0, 3.001, 6.001}, 190, 160);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "INFO:plots:Transforming bounding box from WGS84 to WGS 84 / Pseudo-Mercator\n");
  EXPECT_NEAR(d.survey_w, 111.32, 0.01);
  EXPECT_NEAR(d.survey_h, 111.93, 0.01);
  EXPECT_EQ(d.scale, 1000);
}

TEST_F(PlanLayout, DegreeTestLooksAtTheFirstCornerBoundsIncluded) {
  const geo::Geometry target = rect(0, 0, 40, 20);
  struct Row {
    BoundingBox box;
    bool degrees;
  } rows[] = {
      {{-180, -45, -179.999, -44.999}, true},
      {{180, 45, 180, 45.001}, true},
      {{10, 10, 170, 80}, true},
      {{180.5, 0, 300, 100}, false},
      {{0, 90.5, 100, 200}, false},
  };
  for (const auto& r : rows) {
    ::testing::internal::CaptureStderr();
    (void)survey_frame(target, r.box, 190, 160);
    EXPECT_EQ(::testing::internal::GetCapturedStderr() != "", r.degrees) << r.box[0] << " " << r.box[1];
  }
}

TEST_F(PlanLayout, SwappedBoxCornersGiveScale1000AroundTheirMidpoint) {
  const SurveyFrame f = survey_frame(rect(0, 0, 40, 20), BoundingBox{300, 180, 200, 100}, 190, 160);
  EXPECT_EQ(f.scale, 1000);
  EXPECT_EQ(f.center_x, 250);
  EXPECT_EQ(f.center_y, 140);
}

TEST_F(PlanLayout, AbsurdSizesAndBoxesAreRefusedBeforeDrawing) {
  const geo::Geometry target = rect(0, 0, 40, 20);
  for (const auto& [w, h] : {std::pair{0.0, 160.0}, {190.0, -1.0}, {kNaN, 160.0}, {190.0, kInf}, {3000.0, 160.0},
                             {190.0, 1e-3}}) {
    SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
    EXPECT_THROW((void)survey_frame(target, std::nullopt, w, h), base::ValueError);
  }
  EXPECT_THROW((void)survey_frame(target, BoundingBox{kNaN, 0, 10, 10}, 190, 160), base::ValueError);
  EXPECT_THROW((void)survey_frame(target, BoundingBox{200, 100, kInf, 180}, 190, 160), base::ValueError);
  EXPECT_THROW((void)survey_frame(target, BoundingBox{-1e308, 200, 1e308, 300}, 190, 160), base::ValueError);
  // Latitude 90 has no finite Mercator y; beyond ±85.0511° the system does not reach.
  EXPECT_THROW((void)survey_frame(target, BoundingBox{3, 6, 4, 90}, 190, 160), base::ValueError);
  EXPECT_THROW((void)survey_frame(target, BoundingBox{3, -85.06, 4, 6}, 190, 160), base::ValueError);
  EXPECT_NO_THROW((void)survey_frame(target, BoundingBox{3, 85.0, 3.001, 85.001}, 190, 160));
}

TEST_F(PlanLayout, ClipAreasWithoutABox) {
  struct Row {
    double w, h;
    std::int64_t scale;
    double margin;
    double rx0, ry0, rx1, ry1;  // road clipping area
  } rows[] = {
      {20, 10, 500, 40, -37.5, -35, 57.5, 45},
      {50, 50, 1000, 40, -40, -40, 90, 90},
      {100, 60, 1000, 75, -45, -50, 145, 110},
  };
  for (const auto& r : rows) {
    const geo::Geometry target = rect(0, 0, r.w, r.h);
    const SurveyFrame f = survey_frame(target, std::nullopt, 190, 160);
    EXPECT_EQ(f.scale, r.scale);
    const ClipAreas c = clip_areas(f, false, target);
    EXPECT_EQ(c.road_buffer_width, r.margin);
    expect_bounds(c.clipping, f.xlim.first, f.ylim.first, f.xlim.second, f.ylim.second);
    expect_bounds(c.road_clipping, r.rx0, r.ry0, r.rx1, r.ry1);
  }
  EXPECT_EQ(survey_frame(rect(0, 0, 20, 10), std::nullopt, 190, 160).xlim, std::make_pair(-37.5, 57.5));
}

TEST_F(PlanLayout, RoadMarginIsThreeQuartersOfTheLargerSideAtLeast40) {
  for (const auto& [side, margin] : {std::pair{53.3, 40.0}, {54.0, 40.5}, {0.0, 40.0}}) {
    const geo::Geometry target = side > 0 ? rect(0, 0, side, 1) : rect(0, 0, 0, 0);
    SurveyFrame f;
    f.xlim = {-1000, 1000};
    f.ylim = {-1000, 1000};
    EXPECT_DOUBLE_EQ(clip_areas(f, false, target).road_buffer_width, margin);
  }
}

TEST_F(PlanLayout, ClipAreasFollowABox) {
  const geo::Geometry target = rect(0, 0, 40, 20);
  const SurveyFrame f = survey_frame(target, BoundingBox{200, 100, 300, 180}, 190, 160);
  const ClipAreas c = clip_areas(f, true, target);
  expect_bounds(c.viewport, 155, 60, 345, 220);
  expect_bounds(c.clipping, 200, 100, 300, 180);
  EXPECT_TRUE(c.road_clipping.is_empty());  // the box lies beyond the parcel's 40 m margin

  const geo::Geometry east = rect(1000, 0, 1040, 20);
  const SurveyFrame near = survey_frame(east, BoundingBox{990, -10, 1030, 30}, 190, 160);
  expect_bounds(clip_areas(near, true, east).road_clipping, 990, -10, 1030, 30);
}

TEST_F(PlanLayout, FontSizeByScale) {
  for (const auto& [scale, size] : {std::pair<std::int64_t, int>{250, 8}, {1999, 8}, {2000, 7}, {4999, 7},
                                    {5000, 6}, {25000, 6}, {1000000, 6}})
    EXPECT_EQ(label_fontsize(scale), size) << scale;
}

TEST_F(PlanLayout, OutwardDirectionOfASquare) {
  const XY sq[] = {{0, 0}, {100, 0}, {100, 100}, {0, 100}};
  const double expected[] = {-135, -45, 45, 135};
  for (int i = 0; i < 4; ++i) {
    const Outward o = outward_direction(sq[(i + 3) % 4], sq[i], sq[(i + 1) % 4], {50, 50});
    EXPECT_DOUBLE_EQ(o.angle_deg, expected[i]) << i;
    EXPECT_NEAR(std::hypot(o.bisector.x, o.bisector.y), 1, 1e-15);
  }
}

TEST_F(PlanLayout, OutwardDirectionEdgeCases) {
  // A single beacon is its own neighbour: fall-backs (0, 1) and (1, 0).
  EXPECT_DOUBLE_EQ(outward_direction({10, 10}, {10, 10}, {10, 10}, {0, 0}).angle_deg, 45.0);
  EXPECT_DOUBLE_EQ(outward_direction({10, 10}, {10, 10}, {10, 10}, {20, 20}).angle_deg, -135.0);
  // Two beacons: the turn keeps the sign of zero components.
  const Outward a = outward_direction({100, 0}, {0, 0}, {100, 0}, {50, 50});
  EXPECT_EQ(a.bisector.x, -1);
  EXPECT_TRUE(std::signbit(a.bisector.y));
  EXPECT_EQ(a.angle_deg, -180.0);
  const Outward b = outward_direction({0, 0}, {100, 0}, {0, 0}, {50, 50});
  EXPECT_EQ(b.angle_deg, 0.0);
  EXPECT_TRUE(std::signbit(b.angle_deg));
  EXPECT_EQ(name_rotation(a.angle_deg), 0.0);
  EXPECT_TRUE(std::signbit(name_rotation(b.angle_deg)));
  // A beacon on a straight leg: square to it, away from the centroid.
  const Outward s = outward_direction({0, 0}, {50, 0}, {100, 0}, {50, 50});
  EXPECT_EQ(s.angle_deg, -90.0);
  // The reflex corner of an L points into the notch.
  EXPECT_DOUBLE_EQ(outward_direction({100, 50}, {50, 50}, {50, 100}, {41.67, 41.67}).angle_deg, 45.0);
  // At the centroid itself the bisector is not turned.
  EXPECT_DOUBLE_EQ(outward_direction({0, 1}, {0, 0}, {1, 0}, {0, 0}).angle_deg, 45.0);
  // Coincident neighbours use the fall-back of their own side.
  const Outward p = outward_direction({5, 5}, {5, 5}, {5, 15}, {0, 0});
  EXPECT_DOUBLE_EQ(p.angle_deg, 90.0);  // (0, 1) + (0, 1)
}

TEST_F(PlanLayout, NameRotationKeepsNamesUpright) {
  for (const auto& [in, out] : {std::pair{90.0, 90.0}, {-90.0, -90.0}, {91.0, 271.0}, {-91.0, 89.0},
                                {180.0, 360.0}, {-180.0, 0.0}, {53.1301, 53.1301}})
    EXPECT_DOUBLE_EQ(name_rotation(in), out) << in;
}

TEST_F(PlanLayout, NamePlacedFiveMillimetresOut) {
  NamePlacer names(1000);
  const Outward o{{0.6, 0.8}, std::atan2(0.8, 0.6) * 180 / std::numbers::pi};
  const auto p = names.place({0, 0}, o, 3);
  EXPECT_TRUE(p.found);
  EXPECT_EQ(p.attempts, 0);
  EXPECT_NEAR(p.center.x, 4.35, 1e-12);
  EXPECT_NEAR(p.center.y, 5.8, 1e-12);
  EXPECT_NEAR(p.rotation, 53.1301, 1e-4);
  const auto c = names.footprint(0).exterior_ring().coords();
  const XY want[] = {{4.0, 3.25}, {6.7, 6.85}, {4.7, 8.35}, {2.0, 4.75}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(c[static_cast<std::size_t>(i)].x, want[i].x, 1e-4);
    EXPECT_NEAR(c[static_cast<std::size_t>(i)].y, want[i].y, 1e-4);
  }
  // Pointing west-north-west: turned by half a turn, mirrored centre.
  const auto w = NamePlacer(1000).place({0, 0}, {{-0.6, 0.8}, std::atan2(0.8, -0.6) * 180 / std::numbers::pi}, 3);
  EXPECT_NEAR(w.rotation, 306.8699, 1e-4);
  EXPECT_NEAR(w.center.x, -4.35, 1e-12);
  EXPECT_NEAR(w.center.y, 5.8, 1e-12);
  // At 1:2500 a five-character name runs from 12.5 m to 31.25 m out.
  NamePlacer big(2500);
  const auto q = big.place({0, 0}, {{1, 0}, 0}, 5);
  EXPECT_DOUBLE_EQ(q.center.x, 21.875);
  expect_bounds(big.footprint(0), 12.5, -3.125, 31.25, 3.125);
}

TEST_F(PlanLayout, TouchingNamesCollideAndAreNudged) {
  NamePlacer names(1000);
  (void)names.place({0, 0}, {{1, 0}, 0}, 2);  // footprint x 5 to 8, y -1.25 to 1.25
  expect_bounds(names.footprint(0), 5, -1.25, 8, 1.25);
  const auto p = names.place({0, 2}, {{1, 0}, 0}, 2);
  EXPECT_TRUE(p.found);
  EXPECT_EQ(p.attempts, 4);
  EXPECT_DOUBLE_EQ(p.center.x, 10.5);
  EXPECT_DOUBLE_EQ(p.center.y, 2);
  EXPECT_EQ(names.size(), 2u);
}

TEST_F(PlanLayout, TenCollisionsLeaveTheNameTenStepsOut) {
  NamePlacer wall(1000);
  (void)wall.place({-30, 0}, {{1, 0}, 0}, 40);  // a long name from x 5 to 65 on the x axis
  const auto q = wall.place({0, 0}, {{1, 0}, 0}, 3);
  EXPECT_FALSE(q.found);
  EXPECT_EQ(q.attempts, 10);
  EXPECT_NEAR(q.center.x, 17.25, 1e-12);  // 7.25 out, then ten 1 m steps, untested
  EXPECT_EQ(wall.size(), 2u);
  expect_bounds(wall.footprint(1), 17.25 - 2.25, -1.25, 17.25 + 2.25, 1.25);
}

TEST_F(PlanLayout, EmptyNamesTakeTheClearanceAndStillCount) {
  NamePlacer names(1000);
  const auto p = names.place({0, 0}, {{1, 0}, 0}, 0);
  EXPECT_DOUBLE_EQ(p.center.x, 5);
  const auto c = names.footprint(0).exterior_ring().coords();
  EXPECT_EQ(c[0], c[1]);
  EXPECT_EQ(c[2], c[3]);
  const auto q = names.place({-1.5, 0}, {{1, 0}, 0}, 2);  // x 3.5 to 6.5 would cover it
  EXPECT_EQ(q.attempts, 2);  // the zero-width footprint before it is in the way
}

// Placements with the bounding-box pre-test match a plain scan of every earlier footprint.
TEST_F(PlanLayout, PreTestKeepsEveryPlacement) {
  NamePlacer names(500);
  std::vector<geo::Geometry> plain;
  const double k = 0.5;
  for (int i = 0; i < 300; ++i) {
    const double a = i * 0.37;
    const Outward o{{std::cos(a), std::sin(a)}, a * 180 / std::numbers::pi > 180 ? 0 : a * 180 / std::numbers::pi};
    const XY b{std::fmod(i * 7.3, 40.0), std::fmod(i * 3.1, 30.0)};
    const std::size_t len = 2 + static_cast<std::size_t>(i % 5);
    const auto p = names.place(b, o, len);
    // The same search, by hand, against every earlier footprint.
    const double rot = name_rotation(o.angle_deg);
    const double w = static_cast<double>(len) * (k * 1.5);
    double lx = b.x + o.bisector.x * (k * 5.0 + w / 2.0), ly = b.y + o.bisector.y * (k * 5.0 + w / 2.0);
    int attempt = 0;
    for (; attempt < 10; ++attempt) {
      const geo::Geometry cand = get_rotated_rect_poly(lx, ly, w, k * 2.5, rot);
      bool hit = false;
      for (const auto& q : plain) hit = hit || cand.intersects(q);
      if (!hit) break;
      lx += o.bisector.x * k;
      ly += o.bisector.y * k;
    }
    EXPECT_EQ(p.attempts, attempt) << i;
    EXPECT_EQ(p.center, (XY{lx, ly})) << i;
    plain.push_back(get_rotated_rect_poly(lx, ly, w, k * 2.5, rot));
  }
}

TEST_F(PlanLayout, LegLabelsWorkedExample) {
  const auto L = leg_layout({500, 300}, {476, 318}, {480, 280}, 1000);
  ASSERT_TRUE(L);
  EXPECT_DOUBLE_EQ(L->line_len, 30);
  EXPECT_NEAR(L->line_angle, 323.1301, 1e-4);
  EXPECT_TRUE(L->is_reversed);
  EXPECT_NEAR(L->perp.x, 0.6, 1e-12);
  EXPECT_NEAR(L->perp.y, 0.8, 1e-12);
  EXPECT_EQ(L->va_outside, VAlign::Bottom);
  EXPECT_EQ(L->va_inside, VAlign::Top);
  EXPECT_NEAR(L->deg_at.x, 482.3, 1e-9);
  EXPECT_NEAR(L->deg_at.y, 313.9, 1e-9);
  EXPECT_NEAR(L->min_at.x, 494.3, 1e-9);
  EXPECT_NEAR(L->min_at.y, 304.9, 1e-9);
  EXPECT_NEAR(L->dist_at.x, 487.7, 1e-9);
  EXPECT_NEAR(L->dist_at.y, 308.6, 1e-9);
  EXPECT_TRUE(L->labelled());

  const auto back = leg_layout({476, 318}, {500, 300}, {480, 280}, 1000);
  EXPECT_NEAR(back->line_angle, -36.8699, 1e-4);
  EXPECT_FALSE(back->is_reversed);
  EXPECT_NEAR(back->deg_at.x, 482.3, 1e-9);
  EXPECT_NEAR(back->min_at.x, 494.3, 1e-9);

  const auto small = leg_layout({500, 300}, {476, 318}, {480, 280}, 2500);
  EXPECT_DOUBLE_EQ(small->min_len_for_label, 37.5);
  EXPECT_FALSE(small->labelled());
}

TEST_F(PlanLayout, LegLabelDirections) {
  const auto north = leg_layout({0, 0}, {0, 20}, {-5, 10}, 1000);
  EXPECT_EQ(north->line_angle, 90);
  EXPECT_FALSE(north->is_reversed);
  EXPECT_NEAR(north->deg_at.x, 0.5, 1e-12);
  EXPECT_NEAR(north->deg_at.y, 5, 1e-12);
  EXPECT_NEAR(north->min_at.y, 15, 1e-12);
  EXPECT_NEAR(north->dist_at.x, -0.5, 1e-12);
  EXPECT_NEAR(north->dist_at.y, 10, 1e-12);

  EXPECT_EQ(leg_layout({0, 0}, {0, -20}, {5, -10}, 1000)->line_angle, -90);

  const auto west = leg_layout({0, 0}, {-20, 0}, {-10, 5}, 1000);
  EXPECT_EQ(west->line_angle, 360);
  EXPECT_TRUE(west->is_reversed);
  EXPECT_NEAR(west->deg_at.x, -15, 1e-12);
  EXPECT_NEAR(west->min_at.x, -5, 1e-12);

  const auto east = leg_layout({0, 0}, {20, 0}, {10, 5}, 1000);
  EXPECT_EQ(east->line_angle, 0);
  EXPECT_EQ(east->va_outside, VAlign::Top);
  EXPECT_EQ(east->va_inside, VAlign::Bottom);
  EXPECT_NEAR(east->deg_at.x, 5, 1e-12);
  EXPECT_NEAR(east->deg_at.y, -0.5, 1e-12);
  EXPECT_NEAR(east->min_at.x, 15, 1e-12);
  EXPECT_NEAR(east->dist_at.y, 0.5, 1e-12);

  // The centroid on the leg's line: the bearings go to the left of the direction of travel.
  const auto on_line = leg_layout({0, 0}, {20, 0}, {40, 0}, 1000);
  EXPECT_EQ(on_line->perp.y, 1);
}

TEST_F(PlanLayout, FifteenMillimetreThreshold) {
  EXPECT_FALSE(leg_layout({0, 0}, {15, 0}, {5, 5}, 1000)->labelled());
  EXPECT_TRUE(leg_layout({0, 0}, {15.01, 0}, {5, 5}, 1000)->labelled());
  EXPECT_FALSE(leg_layout({0, 0}, {10, 0}, {5, 5}, 1000)->labelled());
  EXPECT_FALSE(leg_layout({3, 4}, {3, 4}, {5, 5}, 1000).has_value());
}

}  // namespace
}  // namespace vekt::plots
