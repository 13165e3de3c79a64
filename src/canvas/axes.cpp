#include "canvas/axes.hpp"

#include <algorithm>
#include <numeric>

#include "base/strings.hpp"

namespace vekt::canvas {
Color Color::parse(std::string_view text) {
  if (text == "black" || text == "k") return black();
  if (text == "white" || text == "w") return white();
  if (text == "red" || text == "r") return {1, 0, 0, 1};
  if (!text.empty() && text[0] == '#' && (text.size() == 7 || text.size() == 9)) {
    double v[4] = {0, 0, 0, 1};
    bool ok = true;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
      const int hi = base::hex_digit_value(text[i + 1]);
      const int lo = base::hex_digit_value(text[i + 2]);
      if (hi < 0 || lo < 0) {
        ok = false;
        break;
      }
      v[i / 2] = (hi * 16 + lo) / 255.0;
    }
    if (ok) return {v[0], v[1], v[2], v[3]};
  }
  throw base::ValueError("Invalid colour: " + std::string(text));
}

double zorder_of(const Item& item) {
  return std::visit(
      [](const auto& it) -> double {
        using T = std::decay_t<decltype(it)>;
        if constexpr (std::is_same_v<T, ArrowItem>) {
          return it.zorder;
        } else {
          return it.style.zorder;
        }
      },
      item);
}

void RecordingAxes::plot(std::span<const XY> pts, const LineStyle& style) {
  items_.emplace_back(LineItem{{pts.begin(), pts.end()}, style});
}

void RecordingAxes::marker(XY at, const MarkerStyle& style) { items_.emplace_back(MarkerItem{at, style}); }

void RecordingAxes::fill(std::span<const XY> ring, const PatchStyle& style) {
  items_.emplace_back(PolygonItem{{ring.begin(), ring.end()}, style, {}});
}

void RecordingAxes::fill(std::span<const XY> ring, std::span<const std::vector<XY>> holes, const PatchStyle& style) {
  items_.emplace_back(PolygonItem{{ring.begin(), ring.end()}, style, {holes.begin(), holes.end()}});
}

void RecordingAxes::add_rectangle(XY xy, double width, double height, const PatchStyle& style) {
  items_.emplace_back(RectItem{xy, width, height, style});
}

void RecordingAxes::text(XY at, std::string_view text, const TextStyle& style) {
  items_.emplace_back(TextItem{at, std::string(text), style});
}

void RecordingAxes::annotate_arrow(XY head, XY tail, Coords coords, const ArrowProps& props, double zorder) {
  items_.emplace_back(ArrowItem{head, tail, coords, props, zorder});
}

std::vector<std::size_t> RecordingAxes::drawing_order() const {
  std::vector<std::size_t> idx(items_.size());
  std::iota(idx.begin(), idx.end(), std::size_t{0});
  std::stable_sort(idx.begin(), idx.end(),
                   [this](std::size_t a, std::size_t b) { return zorder_of(items_[a]) < zorder_of(items_[b]); });
  return idx;
}

}  // namespace vekt::canvas
