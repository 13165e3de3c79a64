// The room the figure's texts take: overlap of turned boxes, the parcel's face with its holes, and
// the scale bar's unit against its last label as the canvas measures them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "canvas/figure.hpp"
#include "plots/label_space.hpp"
#include "plots/plots.hpp"

namespace vekt::plots {
namespace {

Quad turned(double cx, double cy, double w, double h, double deg) {
  const auto ring = get_rotated_rect_poly(cx, cy, w, h, deg).exterior_ring().coords();
  return {ring[0], ring[1], ring[2], ring[3]};
}

TEST(LabelSpace, TurnedBoxesOverlapByTheirInsides) {
  struct Row {
    Quad a, b;
    bool overlap;
  } rows[] = {
      {box_quad(0, 0, 10, 4), box_quad(10, 0, 20, 4), false},  // touching along an edge
      {box_quad(0, 0, 10, 4), box_quad(9.9, 0, 20, 4), true},
      // Bounds that meet, insides that do not: a box turned by 45° beside a level one's corner.
      {box_quad(0, 0, 10, 10), turned(14, 14, 10, 2, -45), false},
      {box_quad(0, 0, 10, 10), turned(10.5, 10.5, 10, 2, -45), true},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(quads_overlap(r.a, r.b), r.overlap);
    EXPECT_EQ(quads_overlap(r.b, r.a), r.overlap);
  }
}

TEST(LabelSpace, FreeMeansInsideTheFigureAndOverNothing) {
  LabelSpace s(100, 80);
  EXPECT_TRUE(s.free(box_quad(10, 10, 30, 20)));
  EXPECT_FALSE(s.free(box_quad(90, 10, 101, 20)));  // off the right side
  s.occupy(box_quad(10, 10, 30, 20));
  EXPECT_FALSE(s.free(box_quad(25, 15, 40, 25)));
  EXPECT_TRUE(s.free(box_quad(30, 10, 40, 20)));
  // Boxes over many grid cells are found from every cell they cover.
  s.occupy(box_quad(0, 60, 100, 70));
  EXPECT_FALSE(s.free(box_quad(95, 65, 99, 69)));
  EXPECT_TRUE(s.crosses({50, 50}, {50, 75}));
  EXPECT_FALSE(s.crosses({50, 50}, {50, 59}));
}

TEST(LabelSpace, TheFaceOfAParcelLeavesOutItsHoles) {
  // 60 × 50 around a courtyard of 20 × 20.
  const Rings r({{{0, 0}, {60, 0}, {60, 50}, {0, 50}}, {{20, 15}, {40, 15}, {40, 35}, {20, 35}}});
  EXPECT_FALSE(r.contains(XY{30, 25}));
  EXPECT_TRUE(r.contains(XY{10, 25}));
  EXPECT_TRUE(r.contains(box_quad(2, 2, 18, 10)));
  EXPECT_FALSE(r.contains(box_quad(2, 20, 30, 25)));   // reaches into the courtyard
  EXPECT_FALSE(r.contains(box_quad(10, 10, 50, 40)));  // the courtyard whole inside the box
  EXPECT_TRUE(r.meets(box_quad(10, 10, 50, 40)));
  EXPECT_FALSE(r.meets(box_quad(25, 20, 35, 30)));     // in the courtyard: off the face
  const std::vector<XY> room = r.roomiest(2, 0, 0, 60, 50);
  ASSERT_FALSE(room.empty());
  for (const XY& p : room) EXPECT_TRUE(r.contains(p));
  EXPECT_GE(r.clearance(room.front()), r.clearance(room.back()));
}

// The unit "m" starts after the last label's ink at every scale; where it was clear of it, it
// stands 1 % of the view after the bar, as ever.
TEST(LabelSpace, ScaleBarUnitClearOfTheLastLabel) {
  init();
  for (const double scale : {250.0, 500.0, 1000.0, 2500.0, 10000.0, 20000.0, 54000.0, 100000.0}) {
    SCOPED_TRACE(scale);
    canvas::Figure f(190, 160, 300);
    const double view_w = 190 * scale / 1000;
    f.axes().set_xlim(0, view_w);
    f.axes().set_ylim(0, 160 * scale / 1000);
    add_scale_bar(f.axes(), scale);
    const auto texts = f.axes().items_of<canvas::TextItem>();
    ASSERT_EQ(texts.size(), 6u);
    const Quad last = canvas::text_box(f, texts[4]);
    const Quad unit = canvas::text_box(f, texts[5]);
    EXPECT_FALSE(quads_overlap(last, unit)) << texts[4].text;
    const canvas::TextMetrics m = canvas::measure_text("m", 9, canvas::Weight::Bold);
    const double unit_ink = unit[0].x + m.ink_x;
    const double last_ink =
        f.data_to_pixel(texts[4].at).x + canvas::measure_text(texts[4].text, 9, canvas::Weight::Bold).width / 2 +
        canvas::measure_text(texts[4].text, 9, canvas::Weight::Bold).ink_x;
    EXPECT_GT(unit_ink, last_ink) << texts[4].text;
    const double end_x = view_w - view_w * 0.05;
    // At 1:250 the last label is "4", short enough to leave the unit where it has always stood.
    if (scale == 250) {
      EXPECT_DOUBLE_EQ(texts[5].at.x, end_x + view_w * 0.01);
    }
  }
}

}  // namespace
}  // namespace vekt::plots
