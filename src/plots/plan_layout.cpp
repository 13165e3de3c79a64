#include "plots/plan_layout.hpp"

#include <cmath>
#include <numbers>

#include <fmt/format.h>
#include <spdlog/logger.h>

#include "base/numfmt.hpp"
#include "geo/proj.hpp"
#include "plots/plots.hpp"

namespace vekt::plots {
namespace {

constexpr double kDegPerRad = 180.0 / std::numbers::pi;
constexpr double kRadPerDeg = std::numbers::pi / 180.0;

double norm(XY v) { return std::sqrt(v.x * v.x + v.y * v.y); }
double dot(XY a, XY b) { return a.x * b.x + a.y * b.y; }

geo::Geometry rectangle(double x0, double y0, double x1, double y1) {
  const XY corners[] = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
  return geo::Geometry::polygon(corners);
}

void require_finite(double v, const char* what) {
  if (!std::isfinite(v)) throw base::ValueError(fmt::format("{} is not a finite number", what));
}

}  // namespace

SurveyFrame survey_frame(geo::GeometryRef target_geom, const std::optional<BoundingBox>& bounding_box,
                         double max_width_mm, double max_height_mm) {
  if (!std::isfinite(max_width_mm) || !std::isfinite(max_height_mm) || max_width_mm <= 0 || max_height_mm <= 0)
    throw base::ValueError(fmt::format("printable size must be finite and positive, not {} × {} mm",
                                       base::py_float_str(max_width_mm), base::py_float_str(max_height_mm)));
  // The image is the printable size at 300 dpi; refuse what no canvas can hold before any work.
  if (max_width_mm / 25.4 * 300 > 32767 || max_height_mm / 25.4 * 300 > 32767 || max_width_mm / 25.4 * 300 < 1 ||
      max_height_mm / 25.4 * 300 < 1)
    throw base::ValueError(fmt::format("printable size {} × {} mm does not fit a 300 dpi image of 1 to 32767 pixels",
                                       base::py_float_str(max_width_mm), base::py_float_str(max_height_mm)));
  SurveyFrame f;
  if (bounding_box) {
    auto [b_minx, b_miny, b_maxx, b_maxy] = *bounding_box;
    for (double v : *bounding_box) require_finite(v, "a bounding box value");
    if (std::fabs(b_minx) <= 180 && std::fabs(b_miny) <= 90) {
      logger()->info("Transforming bounding box from WGS84 to {}", DST_CRS().name());
      // Web Mercator ends at about ±85.05°; PROJ still maps latitudes up to ±90 to huge finite
      // values, which would make a plan of some billion to one.
      const double kMaxLatitude = 85.0511287798066;
      for (double lat : {b_miny, b_maxy})
        if (std::fabs(lat) > kMaxLatitude)
          throw base::ValueError(fmt::format("bounding box latitude {} lies beyond the ±85.0511° that EPSG:3857 covers",
                                             base::py_float_str(lat)));
      const auto wgs84_transformer =
          geo::Transformer::from_crs(geo::Crs::from_user_input("EPSG:4326"), DST_CRS(), true);
      // Corners without a finite Mercator position (latitude ±90) fail here with ProjError.
      const XY lo = wgs84_transformer.transform(b_minx, b_miny);
      b_minx = lo.x;
      b_miny = lo.y;
      const XY hi = wgs84_transformer.transform(b_maxx, b_maxy);
      b_maxx = hi.x;
      b_maxy = hi.y;
    }
    f.survey_w = b_maxx - b_minx;
    f.survey_h = b_maxy - b_miny;
    f.center_x = (b_minx + b_maxx) / 2;
    f.center_y = (b_miny + b_maxy) / 2;
  } else {
    const geo::Bounds b = target_geom.bounds();
    const double buffer_m = 15;
    f.survey_w = (b.maxx - b.minx) + 2 * buffer_m;
    f.survey_h = (b.maxy - b.miny) + 2 * buffer_m;
    const geo::Geometry c = target_geom.centroid();
    f.center_x = c.x();
    f.center_y = c.y();
  }
  require_finite(f.survey_w, "the survey width");
  require_finite(f.survey_h, "the survey height");
  require_finite(f.center_x, "the centre of the view");
  require_finite(f.center_y, "the centre of the view");
  f.scale = get_recommended_scale(f.survey_w, f.survey_h, max_width_mm, max_height_mm);
  const double view_w_m = (max_width_mm * static_cast<double>(f.scale)) / 1000;
  const double view_h_m = (max_height_mm * static_cast<double>(f.scale)) / 1000;
  f.xlim = {f.center_x - view_w_m / 2, f.center_x + view_w_m / 2};
  f.ylim = {f.center_y - view_h_m / 2, f.center_y + view_h_m / 2};
  return f;
}

ClipAreas clip_areas(const SurveyFrame& f, bool has_bounding_box, geo::GeometryRef target_geom) {
  geo::Geometry viewport = rectangle(f.xlim.first, f.ylim.first, f.xlim.second, f.ylim.second);
  geo::Geometry clipping = has_bounding_box ? rectangle(f.center_x - f.survey_w / 2, f.center_y - f.survey_h / 2,
                                                        f.center_x + f.survey_w / 2, f.center_y + f.survey_h / 2)
                                            : viewport.clone();
  const geo::Bounds tb = target_geom.bounds();
  const double t_width = tb.maxx - tb.minx;
  const double t_height = tb.maxy - tb.miny;
  const double dynamic_buffer = (t_height > t_width ? t_height : t_width) * 0.75;
  const double w = 40 > dynamic_buffer ? 40 : dynamic_buffer;
  const geo::Geometry road_proximity_box = rectangle(tb.minx - w, tb.miny - w, tb.maxx + w, tb.maxy + w);
  geo::Geometry road_clipping = clipping.intersection(road_proximity_box);
  return {std::move(viewport), std::move(clipping), std::move(road_clipping), w};
}

int label_fontsize(std::int64_t scale) {
  const int base_fontsize = 8;
  const int font_scale_adj = scale < 2000 ? 0 : scale < 5000 ? 1 : 2;
  return base_fontsize - font_scale_adj > 5 ? base_fontsize - font_scale_adj : 5;
}

Outward outward_direction(XY prev, XY at, XY next, XY centroid) {
  XY vec_prev{prev.x - at.x, prev.y - at.y};
  XY vec_next{next.x - at.x, next.y - at.y};
  const double norm_prev = norm(vec_prev);
  const double norm_next = norm(vec_next);
  vec_prev = norm_prev == 0 ? XY{0, 1} : XY{vec_prev.x / norm_prev, vec_prev.y / norm_prev};
  vec_next = norm_next == 0 ? XY{1, 0} : XY{vec_next.x / norm_next, vec_next.y / norm_next};
  XY bisector{vec_prev.x + vec_next.x, vec_prev.y + vec_next.y};
  const double len = norm(bisector);
  if (len < 1e-6) {
    bisector = {-vec_prev.y, vec_prev.x};  // a straight run: square to the leg
  } else {
    bisector = {bisector.x / len, bisector.y / len};
  }
  const XY vec_c{at.x - centroid.x, at.y - centroid.y};
  if (dot(bisector, vec_c) < 0) bisector = {-bisector.x, -bisector.y};
  return {bisector, std::atan2(bisector.y, bisector.x) * kDegPerRad};
}

double name_rotation(double angle_deg) {
  return angle_deg > 90 || angle_deg < -90 ? angle_deg + 180 : angle_deg;
}

bool NamePlacer::collides(const Placed& cand) const {
  for (const auto& p : placed_) {
    // Boxes that do not meet cannot hold footprints that meet; touching still counts.
    if (cand.env.minx > p.env.maxx || p.env.minx > cand.env.maxx || cand.env.miny > p.env.maxy ||
        p.env.miny > cand.env.maxy)
      continue;
    if (cand.poly.intersects(p.poly)) return true;
  }
  return false;
}

std::vector<XY> NamePlacer::candidates(XY beacon, const Outward& out, std::size_t text_len) const {
  const double text_w_m = static_cast<double>(text_len) * (k_ * 1.5);
  const double dist_m = k_ * 5.0 + text_w_m / 2.0;
  const double nudge_step_m = k_ * 1.0;
  std::vector<XY> out_pts;
  out_pts.reserve(kAttempts + 1);
  double lx = beacon.x + out.bisector.x * dist_m;
  double ly = beacon.y + out.bisector.y * dist_m;
  // The steps are added one after the other, as the search has always moved.
  for (int attempt = 0; attempt <= kAttempts; ++attempt) {
    out_pts.push_back({lx, ly});
    lx += out.bisector.x * nudge_step_m;
    ly += out.bisector.y * nudge_step_m;
  }
  return out_pts;
}

NamePlacer::Placement NamePlacer::place(XY beacon, const Outward& out, std::size_t text_len) {
  Placement r;
  r.rotation = name_rotation(out.angle_deg);
  const double lbl_w = static_cast<double>(text_len) * (k_ * 1.5);
  const double lbl_h = k_ * 2.5;
  auto footprint = [&](XY c) {
    Placed p{get_rotated_rect_poly(c.x, c.y, lbl_w, lbl_h, r.rotation), {}};
    p.env = p.poly.bounds();
    return p;
  };
  const std::vector<XY> centres = candidates(beacon, out, text_len);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    Placed cand = footprint(centres[static_cast<std::size_t>(attempt)]);
    if (!collides(cand)) {
      r.center = centres[static_cast<std::size_t>(attempt)];
      r.attempts = attempt;
      r.found = true;
      placed_.push_back(std::move(cand));
      return r;
    }
  }
  r.center = centres[kAttempts];
  r.attempts = kAttempts;
  placed_.push_back(footprint(r.center));
  return r;
}

std::optional<LegLayout> leg_layout(XY from, XY to, XY centroid, std::int64_t scale) {
  const double k = static_cast<double>(scale) / 1000;
  const double mid_x = (from.x + to.x) / 2;
  const double mid_y = (from.y + to.y) / 2;
  const XY line_vec{to.x - from.x, to.y - from.y};
  LegLayout L;
  L.line_len = norm(line_vec);
  if (L.line_len <= 0) return std::nullopt;
  const XY line_unit{line_vec.x / L.line_len, line_vec.y / L.line_len};
  L.line_angle = std::atan2(line_unit.y, line_unit.x) * kDegPerRad;
  if ((90 < L.line_angle && L.line_angle <= 270) || (-270 <= L.line_angle && L.line_angle < -90)) {
    L.line_angle += 180;
    L.is_reversed = true;
  }
  XY perp{-line_unit.y, line_unit.x};
  const XY mid_to_cent{centroid.x - mid_x, centroid.y - mid_y};
  if (dot(perp, mid_to_cent) > 0) perp = {-perp.x, -perp.y};
  L.perp = perp;
  const double padding_mm = 0.5;
  const double offset_dist = k * padding_mm;
  const double rad = L.line_angle * kRadPerDeg;
  const XY text_up{-std::sin(rad), std::cos(rad)};
  L.va_outside = dot(perp, text_up) > 0 ? canvas::VAlign::Bottom : canvas::VAlign::Top;
  L.va_inside = dot({-perp.x, -perp.y}, text_up) > 0 ? canvas::VAlign::Bottom : canvas::VAlign::Top;
  const XY p1{from.x + line_unit.x * (L.line_len * 0.25), from.y + line_unit.y * (L.line_len * 0.25)};
  const XY p2{from.x + line_unit.x * (L.line_len * 0.75), from.y + line_unit.y * (L.line_len * 0.75)};
  const XY p1_off{p1.x + perp.x * offset_dist, p1.y + perp.y * offset_dist};
  const XY p2_off{p2.x + perp.x * offset_dist, p2.y + perp.y * offset_dist};
  L.dist_at = {mid_x - perp.x * offset_dist, mid_y - perp.y * offset_dist};
  L.deg_at = L.is_reversed ? p2_off : p1_off;
  L.min_at = L.is_reversed ? p1_off : p2_off;
  L.min_len_for_label = k * 15;
  return L;
}

}  // namespace vekt::plots
