#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "base/base64.hpp"
#include "canvas/axes.hpp"
#include "canvas/figure.hpp"
#include "canvas/font.hpp"

namespace vekt::canvas {
namespace {

constexpr double kPx = 300.0 / 72.0;  // pixels per point at 300 dpi

bool dark(const Image::Pixel& p) { return p.r < 128 && p.g < 128 && p.b < 128; }

void save(const std::string& name, const std::string& png) {
  std::ofstream(std::string(VEKT_BINARY_DIR) + "/" + name, std::ios::binary) << png;
}

class CanvasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string fams[] = {"Geist", "Arial", "DejaVu Sans", "Liberation Sans", "sans-serif"};
    set_font_family(resolve_font_family(fams));
  }
};

TEST_F(CanvasTest, FontResolvesByExactFamilyName) {
  // Arial is only a metric alias of Liberation Sans here: the first family installed under its
  // own name is DejaVu Sans.
  EXPECT_EQ(font_family(), "DejaVu Sans");
  const std::string only_generic[] = {"No Such Family", "sans-serif"};
  EXPECT_EQ(resolve_font_family(only_generic), "sans-serif");
  const std::string none[] = {"No Such Family"};
  EXPECT_THROW(resolve_font_family(none), base::ValueError);
}

TEST_F(CanvasTest, FigureSizeTruncatesToWholePixels) {
  struct Case {
    double w, h;
    int px_w, px_h;
  };
  const Case cases[] = {{190, 160, 2244, 1889}, {100, 100, 1181, 1181}, {25.4, 25.4, 300, 300}};
  for (const auto& c : cases) {
    Figure f(c.w, c.h);
    EXPECT_EQ(f.width_px(), c.px_w);
    EXPECT_EQ(f.height_px(), c.px_h);
  }
  const double bad[][2] = {{0, 160}, {190, -1}, {NAN, 160}, {190, INFINITY}, {3000, 160}, {0.01, 0.01}};
  for (const auto& b : bad) EXPECT_THROW(Figure(b[0], b[1]), base::ValueError) << b[0] << " x " << b[1];
}

TEST_F(CanvasTest, PngIsOpaqueRgbAt300Dpi) {
  Figure f(190, 160);
  const std::string png = f.to_png();
  ASSERT_GT(png.size(), 33u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  EXPECT_EQ(static_cast<int>(png[24]), 8);  // bit depth
  EXPECT_EQ(static_cast<int>(png[25]), 2);  // colour type RGB: no alpha channel at all
  std::uint32_t ppm = 0;
  const Image img = decode_png(png, &ppm);
  EXPECT_EQ(img.width, 2244);
  EXPECT_EQ(img.height, 1889);
  EXPECT_EQ(ppm, 11811u);
  for (std::size_t i = 0; i < img.rgb.size(); ++i) ASSERT_EQ(img.rgb[i], 255) << "pixel byte " << i;

  const std::string b64 = base::base64_encode(png);
  EXPECT_EQ(b64.find('\n'), std::string::npos);
  EXPECT_EQ(b64.size() % 4, 0u);
  EXPECT_EQ(base::base64_decode(b64), png);
}

TEST(Base64, StandardAlphabetWithPadding) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xff\xfe\xfd", "//79"}};
  for (const auto& [raw, text] : cases) {
    EXPECT_EQ(base::base64_encode(raw), text);
    EXPECT_EQ(base::base64_decode(text), raw);
  }
  EXPECT_THROW(base::base64_decode("Zg="), base::ValueError);
  EXPECT_THROW(base::base64_decode("Z!=="), base::ValueError);
}

TEST(ColorParse, NamesAndHex) {
  EXPECT_EQ(Color::parse("black"), Color::black());
  EXPECT_EQ(Color::parse("white"), Color::white());
  EXPECT_EQ(Color::parse("red"), (Color{1, 0, 0, 1}));
  const Color g = Color::parse("#e0e0e0");
  EXPECT_DOUBLE_EQ(g.r, 224 / 255.0);
  EXPECT_THROW(Color::parse("#12"), base::ValueError);
  EXPECT_THROW(Color::parse("mauve"), base::ValueError);
}

// A 100 × 100 mm figure whose data units are millimetres.
Figure mm_figure() {
  Figure f(100, 100);
  f.axes().set_xlim(0, 100);
  f.axes().set_ylim(0, 100);
  return f;
}

// A grey neighbouring parcel under a red-edged target parcel, as the plan figure draws them.
PatchStyle neighbour_style() {
  PatchStyle s;
  s.facecolor = Color::parse("#e0e0e0");
  s.edgecolor = Color::parse("#666666");
  s.linewidth = 0.5;
  s.zorder = 3;
  return s;
}

PatchStyle target_style() {
  PatchStyle s;
  s.facecolor = Color{1, 0.85, 0.85, 1};
  s.edgecolor = Color::parse("red");
  s.linewidth = 2.5;
  s.zorder = 5;
  return s;
}

TEST_F(CanvasTest, FillInteriorsAndEdgesHaveExactColours) {
  Figure f = mm_figure();
  const PatchStyle neighbour = neighbour_style();
  const PatchStyle target = target_style();
  // The target is added first but lies on top by z-order.
  const XY t[] = {{30, 30}, {70, 30}, {70, 70}, {30, 70}};
  const XY n[] = {{10, 10}, {50, 10}, {50, 50}, {10, 50}};
  f.axes().fill(t, target);
  f.axes().fill(n, neighbour);
  const Image img = f.render();
  auto px = [&](double x_mm, double y_mm) {
    const XY p = f.data_to_pixel({x_mm, y_mm});
    return img.at(static_cast<int>(p.x), static_cast<int>(p.y));
  };
  EXPECT_EQ(px(55, 55), (Image::Pixel{255, 217, 217}));
  EXPECT_EQ(px(40, 40), (Image::Pixel{255, 217, 217}));  // the overlap shows the target
  EXPECT_EQ(px(20, 20), (Image::Pixel{224, 224, 224}));
  EXPECT_EQ(px(30, 55), (Image::Pixel{255, 0, 0}));  // on the 10-px red edge
  EXPECT_EQ(px(90, 90), (Image::Pixel{255, 255, 255}));
  // The 0.5 pt grey edge (2.08 px) is snapped onto the pixel boundary nearest it, so it covers
  // the whole pixel column on either side of that boundary.
  const XY e = f.data_to_pixel({10, 20});
  const int boundary = static_cast<int>(std::lround(e.x));
  const int row = static_cast<int>(e.y);
  EXPECT_EQ(img.at(boundary - 1, row), (Image::Pixel{102, 102, 102}));
  EXPECT_EQ(img.at(boundary, row), (Image::Pixel{102, 102, 102}));
}

TEST_F(CanvasTest, EqualZOrderLaterOnTop) {
  Figure f = mm_figure();
  PatchStyle a;
  a.facecolor = Color::black();
  PatchStyle b;
  b.facecolor = Color::parse("red");
  f.axes().add_rectangle({10, 10}, 40, 40, b);
  f.axes().add_rectangle({30, 30}, 40, 40, a);
  const Image img = f.render();
  const XY p = f.data_to_pixel({40, 40});
  EXPECT_EQ(img.at(static_cast<int>(p.x), static_cast<int>(p.y)), (Image::Pixel{0, 0, 0}));
}

TEST_F(CanvasTest, DashesScaleWithLineWidth) {
  // 0.8 pt line with dashes (5, 10): 4 pt on, 8 pt off, so one period is 12 pt = 50 px.
  Figure f = mm_figure();
  LineStyle st;
  st.linewidth = 0.8;
  st.dashes = {5, 10};
  const XY line[] = {{5, 50}, {95, 50}};
  f.axes().plot(line, st);
  const Image img = f.render();
  const XY start = f.data_to_pixel({5, 50});
  const int row = static_cast<int>(std::floor(start.y));
  std::vector<int> starts, ends;
  bool in = false;
  for (int x = 0; x < img.width; ++x) {
    const bool d = dark(img.at(x, row));
    if (d && !in) starts.push_back(x);
    if (!d && in) ends.push_back(x);
    in = d;
  }
  ASSERT_GE(starts.size(), 10u);
  EXPECT_NEAR(starts[0], start.x, 1.0);  // the pattern starts at the first vertex
  for (std::size_t i = 1; i + 1 < starts.size(); ++i) {
    EXPECT_NEAR(starts[i] - starts[i - 1], 12 * kPx, 1.0) << i;
    EXPECT_NEAR(ends[i] - starts[i], 4 * kPx, 1.0) << i;
  }
  // The line is about 0.8 pt thick.
  const int col = starts[2] + 5;
  int thick = 0;
  for (int y = row - 10; y <= row + 10; ++y) thick += dark(img.at(col, y)) ? 1 : 0;
  EXPECT_NEAR(thick, 0.8 * kPx, 1.0);
}

TEST_F(CanvasTest, CircleMarkerSize) {
  // markersize 3 pt with a 1 pt outline: a disc 4 pt (16.7 px) across.
  Figure f = mm_figure();
  MarkerStyle m;
  m.markersize = 3;
  m.zorder = 6;
  f.axes().marker({50, 50}, m);
  const Image img = f.render();
  const XY c = f.data_to_pixel({50, 50});
  const int cy = static_cast<int>(std::floor(c.y + 0.5));
  const int cx = static_cast<int>(std::floor(c.x + 0.5));
  int w = 0, h = 0;
  for (int x = cx - 30; x < cx + 30; ++x) w += dark(img.at(x, cy)) ? 1 : 0;
  for (int y = cy - 30; y < cy + 30; ++y) h += dark(img.at(cx, y)) ? 1 : 0;
  EXPECT_NEAR(w, 4 * kPx, 1.5);
  EXPECT_NEAR(h, 4 * kPx, 1.5);
  EXPECT_EQ(img.at(cx, cy), (Image::Pixel{0, 0, 0}));
}

TEST_F(CanvasTest, ArrowExtents) {
  // The north arrow of a 190 × 160 mm plan: tail at (0.95, 0.85), tip at (0.95, 0.93).
  Figure f(190, 160);
  ArrowProps p;
  p.width = 3;
  p.headwidth = 10;
  p.headlength = 12;
  f.axes().annotate_arrow({0.95, 0.93}, {0.95, 0.85}, Coords::AxesFraction, p, 10);
  const Image img = f.render();
  int top = img.height, bottom = -1, left = img.width, right = -1;
  int shaft_w = 0;
  const XY tail = f.fraction_to_pixel({0.95, 0.85});
  const XY tip = f.fraction_to_pixel({0.95, 0.93});
  for (int y = 0; y < img.height; ++y)
    for (int x = 2000; x < img.width; ++x)
      if (dark(img.at(x, y))) {
        top = std::min(top, y), bottom = std::max(bottom, y), left = std::min(left, x), right = std::max(right, x);
      }
  for (int x = 2000; x < img.width; ++x) shaft_w += dark(img.at(x, static_cast<int>(tail.y) - 20)) ? 1 : 0;
  const double edge = 1 * kPx;  // the 1 pt outline
  EXPECT_NEAR(tip.y - tail.y, -12.8 / 25.4 * 300, 0.5);
  EXPECT_NEAR(bottom + 1, tail.y + edge / 2, 1.5);
  // The outline's miter at the tip reaches beyond it.
  const double miter = (edge / 2) / std::sin(std::atan((5 * kPx) / (12 * kPx)));
  EXPECT_NEAR(top, tip.y - miter, 1.5);
  EXPECT_NEAR(right + 1 - left, 10 * kPx + edge, 1.5);
  EXPECT_NEAR((left + right + 1) / 2.0, tail.x, 1.0);
  EXPECT_NEAR(shaft_w, 3 * kPx + edge, 1.5);
}

// Where the ink of a text must lie, in the text's own frame (x along the reading direction, y
// down), relative to the anchor. The box is the text's ink width; in height it is the ink of the
// text joined with the ink of "lp", so texts without descenders still hang their baseline the
// depth of a "p" above the box bottom. The ink starts at the pen's bearing.
struct Rect {
  double x0, y0, x1, y1;
};
Rect expected_ink(const TextMetrics& s, const TextMetrics& lp, HAlign ha, VAlign va) {
  const double height = std::max(s.ink_ascent + s.ink_descent, lp.ink_ascent + lp.ink_descent);
  const double descent = std::max(s.ink_descent, lp.ink_descent);
  const double offx = ha == HAlign::Left ? 0 : ha == HAlign::Center ? s.width / 2 : s.width;
  const double offy = va == VAlign::Bottom ? 0 : va == VAlign::Center ? height / 2 : va == VAlign::Top ? height : descent;
  const double baseline = offy - descent;
  return {-offx + s.ink_x, baseline - s.ink_ascent, -offx + s.ink_x + s.width, baseline + s.ink_descent};
}

TEST_F(CanvasTest, TextAnchorsOnItsInkBox) {
  const double size = 9;
  const TextMetrics lp = measure_text("lp", size, Weight::Bold);
  // "lp 1234 l" fills its box top to bottom. The others have no descender, as the scale-bar
  // numbers, its "m" and the north arrow's "UN": their ink sits the depth of a "p" above the box
  // bottom. Their outermost edges are straight or have their extremes on outline points, so the
  // measured extents (control boxes of the outlines) are the ink itself.
  for (const std::string text : {"lp 1234 l", "UN", "0", "m"}) {
    const TextMetrics m = measure_text(text, size, Weight::Bold);
    EXPECT_NEAR(m.height, lp.ink_ascent + lp.ink_descent, 1e-9) << text;
    EXPECT_NEAR(m.descent, lp.ink_descent, 1e-9) << text;
    if (text != "lp 1234 l") {
      EXPECT_GT(lp.ink_descent - m.ink_descent, 5) << text;  // so the probe tells the two boxes apart
    }
    const std::pair<HAlign, VAlign> aligns[] = {
        {HAlign::Center, VAlign::Bottom}, {HAlign::Center, VAlign::Center},
        {HAlign::Center, VAlign::Top},    {HAlign::Left, VAlign::Bottom}};
    for (const double rot : {0.0, 53.13, 90.0, 323.13}) {
      for (const auto& [ha, va] : aligns) {
        SCOPED_TRACE(::testing::Message() << text << " rotation " << rot << " ha " << int(ha) << " va " << int(va));
        Figure f(60, 60);
        TextStyle st;
        st.fontsize = size;
        st.fontweight = Weight::Bold;
        st.ha = ha;
        st.va = va;
        st.rotation = rot;
        st.rotation_mode = RotationMode::Anchor;
        st.coords = Coords::AxesFraction;
        f.axes().text({0.5, 0.5}, text, st);
        const Image img = f.render();
        const XY a = f.fraction_to_pixel({0.5, 0.5});
        const double th = rot * std::numbers::pi / 180;
        Rect got{1e9, 1e9, -1e9, -1e9};
        for (int y = 0; y < img.height; ++y)
          for (int x = 0; x < img.width; ++x) {
            if (!dark(img.at(x, y))) continue;  // less than half covered
            // Pixel centre, turned back into the text's frame.
            const double dx = x + 0.5 - a.x, dy = y + 0.5 - a.y;
            const double u = dx * std::cos(th) - dy * std::sin(th);
            const double v = dx * std::sin(th) + dy * std::cos(th);
            got = {std::min(got.x0, u), std::min(got.y0, v), std::max(got.x1, u), std::max(got.y1, v)};
          }
        const Rect want = expected_ink(m, lp, ha, va);
        // The centres of the outermost pixels that are at least half covered lie up to one pixel
        // inside a straight ink edge (along a pixel row), or on it (across the pixel grid).
        EXPECT_NEAR(got.x0 - 0.25, want.x0, 1.0);
        EXPECT_NEAR(got.x1 + 0.25, want.x1, 1.0);
        EXPECT_NEAR(got.y0 - 0.25, want.y0, 1.0);
        EXPECT_NEAR(got.y1 + 0.25, want.y1, 1.0);
      }
    }
  }
}

TEST_F(CanvasTest, DefaultRotationModeAlignsTheTurnedBox) {
  // Turned a quarter, the text reads upwards; its turned box is put with its lower-left corner
  // on the anchor, so the ink lies up and to the right of it.
  const std::string text = "lp 1234 l";
  const TextMetrics m = measure_text(text, 9, Weight::Normal);
  Figure f(60, 60);
  TextStyle st;
  st.fontsize = 9;
  st.ha = HAlign::Left;
  st.va = VAlign::Bottom;
  st.rotation = 90;
  st.coords = Coords::AxesFraction;
  f.axes().text({0.5, 0.5}, text, st);
  const Image img = f.render();
  const XY a = f.fraction_to_pixel({0.5, 0.5});
  double x0 = 1e9, x1 = -1e9, y0 = 1e9, y1 = -1e9;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x)
      if (dark(img.at(x, y))) {
        x0 = std::min(x0, x + 0.5), x1 = std::max(x1, x + 0.5), y0 = std::min(y0, y + 0.5), y1 = std::max(y1, y + 0.5);
      }
  EXPECT_NEAR(x0 - 0.25, a.x, 1.0);
  EXPECT_NEAR(x1 + 0.25, a.x + m.height, 1.0);
  EXPECT_NEAR(y1 + 0.25, a.y - m.ink_x, 1.0);
  EXPECT_NEAR(y0 - 0.25, a.y - m.ink_x - m.width, 1.0);
}

TEST_F(CanvasTest, RectilinearOutlinesSnapToPixels) {
  Figure f = mm_figure();
  PatchStyle block;
  block.facecolor = Color::black();
  block.linewidth = 0;
  f.axes().add_rectangle({10.03, 10.03}, 20.02, 5.01, block);
  const Image img = f.render();
  // Every pixel is either black or white: no half-covered edge pixels.
  for (std::size_t i = 0; i < img.rgb.size(); ++i) ASSERT_TRUE(img.rgb[i] == 0 || img.rgb[i] == 255) << i;
  // And the black ones are the rectangle, its edges on the nearest pixel boundaries (y grows
  // downwards from the image's last row).
  const double px_per_mm = 300 / 25.4;
  auto edge = [&](double mm) { return std::floor(mm * px_per_mm + 0.5); };
  auto row = [&](double mm) { return std::floor(img.height - mm * px_per_mm + 0.5); };
  const double width = edge(10.03 + 20.02) - edge(10.03), height = row(10.03) - row(10.03 + 5.01);
  long long black = 0;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x) black += dark(img.at(x, y));
  EXPECT_GT(width * height, 0);
  EXPECT_EQ(black, static_cast<long long>(width * height)) << width << " x " << height;
}

TEST(RecordingAxes, DrawingOrderIsZThenInsertion) {
  RecordingAxes ax;
  LineStyle l;
  l.zorder = 2;
  PatchStyle p;
  p.zorder = 1;
  TextStyle t;
  t.zorder = 2;
  const XY pts[] = {{0, 0}, {1, 1}};
  ax.plot(pts, l);                                   // 0: z 2
  ax.fill(pts, p);                                   // 1: z 1
  ax.text({0, 0}, "a", t);                           // 2: z 2
  ax.annotate_arrow({0, 1}, {0, 0}, Coords::AxesFraction, {}, 0.5);  // 3: z 0.5
  ax.marker({0, 0}, {});                             // 4: z 2 (default)
  EXPECT_EQ(ax.drawing_order(), (std::vector<std::size_t>{3, 1, 0, 2, 4}));
  EXPECT_EQ(ax.items_of<TextItem>().size(), 1u);
}

TEST_F(CanvasTest, NonFiniteVertexBreaksTheLine) {
  Figure f = mm_figure();
  LineStyle st;
  st.linewidth = 2;
  const XY line[] = {{10, 50}, {40, 50}, {NAN, 50}, {60, 50}, {90, 50}};
  f.axes().plot(line, st);
  const Image img = f.render();
  const int row = static_cast<int>(f.data_to_pixel({0, 50}).y);
  auto at_mm = [&](double x) { return img.at(static_cast<int>(f.data_to_pixel({x, 50}).x), row); };
  EXPECT_TRUE(dark(at_mm(25)));
  EXPECT_TRUE(dark(at_mm(75)));
  EXPECT_FALSE(dark(at_mm(50)));  // the gap where the bad vertex was
}

// Writes canvas_primitives.png into the build directory for a person to look at.
TEST_F(CanvasTest, WritesPrimitivesSheet) {
  Figure f(190, 160);
  auto& ax = f.axes();
  ax.set_xlim(0, 190);
  ax.set_ylim(0, 160);
  const PatchStyle n = neighbour_style();
  const PatchStyle t = target_style();
  const XY nb[] = {{10, 90}, {60, 90}, {60, 140}, {10, 140}};
  const XY tg[] = {{40, 70}, {100, 80}, {90, 130}, {45, 120}};
  ax.fill(nb, n);
  ax.fill(tg, t);
  LineStyle road;
  road.linewidth = 0.8;
  road.dashes = {5, 10};
  road.zorder = 1;
  const XY r[] = {{5, 60}, {185, 60}, {185, 150}};
  ax.plot(r, road);
  MarkerStyle m;
  m.markersize = 3;
  m.zorder = 6;
  for (const auto& p : tg) ax.marker(p, m);
  TextStyle ts;
  ts.fontsize = 7;
  ts.ha = HAlign::Center;
  ts.va = VAlign::Bottom;
  ts.rotation_mode = RotationMode::Anchor;
  ts.zorder = 7;
  double x = 20;
  for (const double rot : {0.0, 53.13, 90.0, 323.13, 306.87}) {
    ts.rotation = rot;
    ax.text({x, 30}, "306°52' 30.00m", ts);
    MarkerStyle dot;
    dot.markersize = 1;
    dot.color = Color::parse("red");
    dot.zorder = 20;
    ax.marker({x, 30}, dot);
    x += 35;
  }
  TextStyle name;
  name.fontsize = 10;
  name.fontweight = Weight::Bold;
  name.ha = HAlign::Center;
  name.va = VAlign::Bottom;
  name.zorder = 8;
  ax.text({70, 101}, "PLOT 42", name);
  name.fontsize = 6;
  name.fontweight = Weight::Normal;
  name.va = VAlign::Top;
  ax.text({70, 99}, "1200.50 m²", name);
  ArrowProps ap;
  ap.width = 3;
  ap.headwidth = 10;
  ap.headlength = 12;
  ax.annotate_arrow({0.95, 0.93}, {0.95, 0.85}, Coords::AxesFraction, ap, 10);
  TextStyle un;
  un.coords = Coords::AxesFraction;
  un.ha = HAlign::Center;
  un.va = VAlign::Bottom;
  un.fontsize = 12;
  un.fontweight = Weight::Bold;
  un.zorder = 10;
  ax.text({0.95, 0.94}, "UN", un);
  const std::string png = f.to_png();
  save("canvas_primitives.png", png);
  EXPECT_EQ(decode_png(png).width, 2244);
}

}  // namespace
}  // namespace vekt::canvas
