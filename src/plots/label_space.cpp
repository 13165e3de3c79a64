#include "plots/label_space.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vekt::plots {
namespace {

constexpr double kCellPx = 64;
constexpr double kEps = 1e-6;

double dot(XY a, XY b) { return a.x * b.x + a.y * b.y; }

std::pair<double, double> project(std::span<const XY> pts, XY axis) {
  double lo = dot(pts[0], axis), hi = lo;
  for (std::size_t i = 1; i < pts.size(); ++i) {
    const double d = dot(pts[i], axis);
    lo = std::min(lo, d);
    hi = std::max(hi, d);
  }
  return {lo, hi};
}

// Separated along `axis`: the projections meet in no more than a point.
bool apart_on(std::span<const XY> a, std::span<const XY> b, XY axis) {
  if (std::fabs(axis.x) < kEps && std::fabs(axis.y) < kEps) return false;
  const auto [alo, ahi] = project(a, axis);
  const auto [blo, bhi] = project(b, axis);
  return ahi <= blo + kEps || bhi <= alo + kEps;
}

XY normal(XY p, XY q) { return {p.y - q.y, q.x - p.x}; }

struct Bounds {
  double x0, y0, x1, y1;
};
Bounds bounds_of(std::span<const XY> pts) {
  Bounds b{pts[0].x, pts[0].y, pts[0].x, pts[0].y};
  for (const XY& p : pts) {
    b.x0 = std::min(b.x0, p.x), b.y0 = std::min(b.y0, p.y);
    b.x1 = std::max(b.x1, p.x), b.y1 = std::max(b.y1, p.y);
  }
  return b;
}

double segment_distance(XY p, XY a, XY b) {
  const XY ab{b.x - a.x, b.y - a.y};
  const double len2 = dot(ab, ab);
  double t = len2 > 0 ? dot({p.x - a.x, p.y - a.y}, ab) / len2 : 0;
  t = std::clamp(t, 0.0, 1.0);
  return std::hypot(p.x - (a.x + t * ab.x), p.y - (a.y + t * ab.y));
}

}  // namespace

Quad box_quad(double x0, double y0, double x1, double y1) { return {XY{x0, y1}, {x1, y1}, {x1, y0}, {x0, y0}}; }

bool quads_overlap(const Quad& a, const Quad& b) {
  // Both are rectangles: two edge directions each are all the axes there are.
  for (const Quad* q : {&a, &b})
    for (int i = 0; i < 2; ++i)
      if (apart_on(a, b, normal((*q)[i], (*q)[i + 1]))) return false;
  return true;
}

bool segment_crosses(XY p, XY q, const Quad& a) {
  const XY seg[2] = {p, q};
  for (int i = 0; i < 2; ++i)
    if (apart_on(a, seg, normal(a[i], a[i + 1]))) return false;
  return !apart_on(a, seg, normal(p, q));
}

LabelSpace::LabelSpace(double width_px, double height_px)
    : w_(width_px),
      h_(height_px),
      cols_(std::max(1, static_cast<int>(std::ceil(width_px / kCellPx)))),
      rows_(std::max(1, static_cast<int>(std::ceil(height_px / kCellPx)))),
      cells_(static_cast<std::size_t>(cols_) * static_cast<std::size_t>(rows_)) {}

std::vector<std::size_t>* LabelSpace::cell(int cx, int cy) {
  return &cells_[static_cast<std::size_t>(cy) * static_cast<std::size_t>(cols_) + static_cast<std::size_t>(cx)];
}

template <class F>
bool LabelSpace::any_near(double x0, double y0, double x1, double y1, F&& test) const {
  const int cx0 = std::clamp(static_cast<int>(std::floor(x0 / kCellPx)), 0, cols_ - 1);
  const int cx1 = std::clamp(static_cast<int>(std::floor(x1 / kCellPx)), 0, cols_ - 1);
  const int cy0 = std::clamp(static_cast<int>(std::floor(y0 / kCellPx)), 0, rows_ - 1);
  const int cy1 = std::clamp(static_cast<int>(std::floor(y1 / kCellPx)), 0, rows_ - 1);
  ++stamp_;
  for (int cy = cy0; cy <= cy1; ++cy)
    for (int cx = cx0; cx <= cx1; ++cx)
      for (std::size_t i :
           cells_[static_cast<std::size_t>(cy) * static_cast<std::size_t>(cols_) + static_cast<std::size_t>(cx)]) {
        if (seen_[i] == stamp_) continue;
        seen_[i] = stamp_;
        if (test(boxes_[i])) return true;
      }
  return false;
}

bool LabelSpace::inside(const Quad& q, double margin_px) const {
  for (const XY& p : q)
    if (!(p.x >= margin_px && p.x <= w_ - margin_px && p.y >= margin_px && p.y <= h_ - margin_px)) return false;
  return true;
}

bool LabelSpace::free(const Quad& q) const {
  if (!inside(q)) return false;
  const Bounds b = bounds_of(q);
  return !any_near(b.x0, b.y0, b.x1, b.y1, [&](const Quad& o) { return quads_overlap(q, o); });
}

bool LabelSpace::free(std::span<const Quad> qs) const {
  return std::all_of(qs.begin(), qs.end(), [this](const Quad& q) { return free(q); });
}

bool LabelSpace::crosses(XY p, XY q) const {
  return any_near(std::min(p.x, q.x), std::min(p.y, q.y), std::max(p.x, q.x), std::max(p.y, q.y),
                  [&](const Quad& o) { return segment_crosses(p, q, o); });
}

void LabelSpace::occupy(const Quad& q) {
  const std::size_t idx = boxes_.size();
  boxes_.push_back(q);
  seen_.push_back(0);
  const Bounds b = bounds_of(q);
  const int cx0 = std::clamp(static_cast<int>(std::floor(b.x0 / kCellPx)), 0, cols_ - 1);
  const int cx1 = std::clamp(static_cast<int>(std::floor(b.x1 / kCellPx)), 0, cols_ - 1);
  const int cy0 = std::clamp(static_cast<int>(std::floor(b.y0 / kCellPx)), 0, rows_ - 1);
  const int cy1 = std::clamp(static_cast<int>(std::floor(b.y1 / kCellPx)), 0, rows_ - 1);
  for (int cy = cy0; cy <= cy1; ++cy)
    for (int cx = cx0; cx <= cx1; ++cx) cell(cx, cy)->push_back(idx);
}

Rings::Rings(std::vector<std::vector<XY>> rings) : rings_(std::move(rings)) {
  bool first = true;
  for (const auto& r : rings_) {
    if (r.empty()) continue;
    const Bounds b = bounds_of(r);
    if (first) {
      minx_ = b.x0, miny_ = b.y0, maxx_ = b.x1, maxy_ = b.y1;
      first = false;
    }
    minx_ = std::min(minx_, b.x0), miny_ = std::min(miny_, b.y0);
    maxx_ = std::max(maxx_, b.x1), maxy_ = std::max(maxy_, b.y1);
  }
}

bool Rings::contains(XY p) const {
  // Even-odd over every ring: inside the outer ring and outside each hole.
  bool in = false;
  for (const auto& r : rings_) {
    for (std::size_t i = 0, n = r.size(), j = n - 1; i < n; j = i++) {
      if ((r[i].y > p.y) != (r[j].y > p.y) &&
          p.x < (r[j].x - r[i].x) * (p.y - r[i].y) / (r[j].y - r[i].y) + r[i].x)
        in = !in;
    }
  }
  return in;
}

bool Rings::contains(const Quad& q) const {
  for (const XY& p : q)
    if (!contains(p)) return false;
  return !edge_through(q);
}

bool Rings::meets(const Quad& q) const {
  for (const XY& p : q)
    if (contains(p)) return true;
  return edge_through(q);
}

bool Rings::edge_through(const Quad& q) const {
  const Bounds b = bounds_of(q);
  for (const auto& r : rings_) {
    for (std::size_t i = 0, n = r.size(), j = n - 1; i < n; j = i++) {
      if (std::max(r[i].x, r[j].x) < b.x0 || std::min(r[i].x, r[j].x) > b.x1 || std::max(r[i].y, r[j].y) < b.y0 ||
          std::min(r[i].y, r[j].y) > b.y1)
        continue;
      if (segment_crosses(r[j], r[i], q)) return true;
    }
  }
  return false;
}

double Rings::clearance(XY p) const {
  double best = 1e300;
  for (const auto& r : rings_)
    for (std::size_t i = 0, n = r.size(), j = n - 1; i < n; j = i++) best = std::min(best, segment_distance(p, r[j], r[i]));
  return best;
}

std::vector<XY> Rings::roomiest(double step_px, double x0, double y0, double x1, double y1) const {
  std::vector<std::pair<double, XY>> pts;
  const double lx = std::max(x0, minx_), hx = std::min(x1, maxx_);
  const double ly = std::max(y0, miny_), hy = std::min(y1, maxy_);
  if (!(step_px > 0) || lx > hx || ly > hy) return {};
  for (double y = ly + step_px / 2; y < hy; y += step_px)
    for (double x = lx + step_px / 2; x < hx; x += step_px) {
      const XY p{x, y};
      if (!contains(p)) continue;
      const double border = std::min({x - x0, x1 - x, y - y0, y1 - y});
      pts.emplace_back(std::min(clearance(p), border), p);
    }
  std::stable_sort(pts.begin(), pts.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<XY> out;
  out.reserve(pts.size());
  for (const auto& [room, p] : pts) out.push_back(p);
  return out;
}

}  // namespace vekt::plots
