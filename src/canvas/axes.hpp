#pragma once
// The drawing vocabulary of the plan figure: one axes with fixed limits on which lines, polygon
// fills, rectangles, circle markers, texts and arrows are placed, each with a z-order. Items are
// drawn by z-order, higher on top; among equal z-orders the one added later lies on top.
//
// Sizes follow the plotting conventions of printed plans: line widths, dash lengths, marker sizes
// and font sizes are in points (1/72 inch); positions are in data coordinates (the axes' limits)
// or, where asked, in axes fractions ((0, 0) lower left, (1, 1) upper right).
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "base/xy.hpp"

namespace vekt::canvas {

using XY = base::XY;

// Colour with components in [0, 1].
struct Color {
  double r = 0;
  double g = 0;
  double b = 0;
  double a = 1;

  // "black", "white", "red", "#rrggbb" or "#rrggbbaa"; ValueError for anything else.
  static Color parse(std::string_view text);
  static Color black() { return {0, 0, 0, 1}; }
  static Color white() { return {1, 1, 1, 1}; }
  friend bool operator==(const Color&, const Color&) = default;
};

enum class CapStyle { Butt, Round, Projecting };
enum class JoinStyle { Miter, Round, Bevel };
enum class HAlign { Left, Center, Right };
enum class VAlign { Bottom, Center, Top, Baseline };
enum class Weight { Normal, Bold };
// Anchor: the unrotated text box is aligned to the anchor, then turned about it. Default: the
// text is turned first and its turned bounding box is aligned to the anchor.
enum class RotationMode { Default, Anchor };
enum class Coords { Data, AxesFraction };

struct LineStyle {
  Color color = Color::black();
  double linewidth = 1.5;        // points
  std::vector<double> dashes;    // on/off lengths in units of the line width; empty: solid
  // Unset: butt caps for dashed lines, projecting caps for solid ones; round joins.
  std::optional<CapStyle> cap;
  std::optional<JoinStyle> join;
  double zorder = 2;
};

struct PatchStyle {
  std::optional<Color> facecolor;   // unset: not filled
  std::optional<Color> edgecolor;   // unset: no outline
  double linewidth = 1.0;           // points; 0: no outline
  JoinStyle join = JoinStyle::Miter;
  CapStyle cap = CapStyle::Butt;
  double zorder = 1;
};

// A filled circle marker of `markersize` points across, outlined in the same colour.
struct MarkerStyle {
  Color color = Color::black();
  double markersize = 6;        // points
  double markeredgewidth = 1;   // points
  double zorder = 2;
};

struct TextStyle {
  double fontsize = 10;   // points
  Weight fontweight = Weight::Normal;
  HAlign ha = HAlign::Left;
  VAlign va = VAlign::Baseline;
  double rotation = 0;    // degrees, counter-clockwise
  RotationMode rotation_mode = RotationMode::Default;
  Color color = Color::black();
  Coords coords = Coords::Data;
  double zorder = 3;
};

// A straight filled arrow with a triangular head; widths and length in points.
struct ArrowProps {
  Color facecolor = Color::black();
  Color edgecolor = Color::black();
  double edgewidth = 1;     // points
  double width = 4;         // shaft
  double headwidth = 12;    // head base
  double headlength = 12;   // from the tip back
};

struct LineItem {
  std::vector<XY> pts;
  LineStyle style;
};
struct MarkerItem {
  XY at;
  MarkerStyle style;
};
struct PolygonItem {
  std::vector<XY> ring;
  PatchStyle style;
  std::vector<std::vector<XY>> holes;  // inner rings: left unfilled, outlined as the ring is
};
struct RectItem {
  XY xy;  // lower left
  double width = 0;
  double height = 0;
  PatchStyle style;
};
struct TextItem {
  XY at;
  std::string text;
  TextStyle style;
};
struct ArrowItem {
  XY head;
  XY tail;
  Coords coords = Coords::AxesFraction;
  ArrowProps props;
  double zorder = 3;
};

using Item = std::variant<LineItem, MarkerItem, PolygonItem, RectItem, TextItem, ArrowItem>;

double zorder_of(const Item& item);

// The one axes of a figure. Limits are fixed once set: nothing drawn later changes them.
class Axes {
 public:
  virtual ~Axes() = default;

  virtual std::pair<double, double> get_xlim() const = 0;
  virtual std::pair<double, double> get_ylim() const = 0;
  virtual void set_xlim(double lo, double hi) = 0;
  virtual void set_ylim(double lo, double hi) = 0;

  // A polyline through `pts` (data coordinates); fewer than two points draw nothing.
  virtual void plot(std::span<const XY> pts, const LineStyle& style) = 0;
  // A circle marker at one point (data coordinates).
  virtual void marker(XY at, const MarkerStyle& style) = 0;
  // A closed polygon (data coordinates), face then outline.
  virtual void fill(std::span<const XY> ring, const PatchStyle& style) = 0;
  // A closed polygon with holes: the face between the ring and its holes, then every outline.
  virtual void fill(std::span<const XY> ring, std::span<const std::vector<XY>> holes, const PatchStyle& style) = 0;
  // An axis-parallel rectangle with its lower-left corner at `xy` (data coordinates).
  virtual void add_rectangle(XY xy, double width, double height, const PatchStyle& style) = 0;
  // A single line of text at `at`, in data or axes-fraction coordinates as the style says.
  virtual void text(XY at, std::string_view text, const TextStyle& style) = 0;
  // An arrow from `tail` to `head`.
  virtual void annotate_arrow(XY head, XY tail, Coords coords, const ArrowProps& props, double zorder) = 0;
};

// An axes that keeps what was drawn, in order, as numbers. The figure draws from it; tests read it.
class RecordingAxes : public Axes {
 public:
  std::pair<double, double> get_xlim() const override { return xlim_; }
  std::pair<double, double> get_ylim() const override { return ylim_; }
  void set_xlim(double lo, double hi) override { xlim_ = {lo, hi}; }
  void set_ylim(double lo, double hi) override { ylim_ = {lo, hi}; }

  void plot(std::span<const XY> pts, const LineStyle& style) override;
  void marker(XY at, const MarkerStyle& style) override;
  void fill(std::span<const XY> ring, const PatchStyle& style) override;
  void fill(std::span<const XY> ring, std::span<const std::vector<XY>> holes, const PatchStyle& style) override;
  void add_rectangle(XY xy, double width, double height, const PatchStyle& style) override;
  void text(XY at, std::string_view text, const TextStyle& style) override;
  void annotate_arrow(XY head, XY tail, Coords coords, const ArrowProps& props, double zorder) override;

  // Everything drawn, in the order it was added.
  const std::vector<Item>& items() const { return items_; }
  // The items of one kind, in the order they were added.
  template <class T>
  std::vector<T> items_of() const {
    std::vector<T> out;
    for (const auto& it : items_)
      if (const T* p = std::get_if<T>(&it)) out.push_back(*p);
    return out;
  }
  // Indices into items() in drawing order: by z-order, then by insertion.
  std::vector<std::size_t> drawing_order() const;
  void clear() { items_.clear(); }

 private:
  std::pair<double, double> xlim_{0, 1};
  std::pair<double, double> ylim_{0, 1};
  std::vector<Item> items_;
};

}  // namespace vekt::canvas
