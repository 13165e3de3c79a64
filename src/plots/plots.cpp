#include "plots/plots.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>

#include <fmt/format.h>
#include <spdlog/logger.h>

#include "canvas/figure.hpp"
#include "canvas/font.hpp"
#include "host/logger.hpp"

namespace vekt::plots {
namespace {

std::once_flag g_init_once;
std::shared_ptr<spdlog::logger> g_logger;

constexpr const char* kCrsCode = "EPSG:3857";

// Road line work: thin black dashes, 5 on and 10 off in units of the line width.
canvas::LineStyle road_style(double zorder) {
  canvas::LineStyle st;
  st.color = canvas::Color::black();
  st.linewidth = 0.8;
  st.dashes = {5, 10};
  st.zorder = zorder;
  return st;
}

void plot_ring(canvas::Axes& ax, geo::GeometryRef ring_or_line, double zorder) {
  ax.plot(ring_or_line.coords(), road_style(zorder));
}

}  // namespace

void init() {
  std::call_once(g_init_once, [] {
    // Texts never name a family: every figure uses the family chosen here, the first of the
    // list that is installed under its own name.
    canvas::set_font_family(canvas::resolve_font_family(FONT_SANS_SERIF));
    auto lg = host::get_logger("plots");
    lg->info("Loaded plots module");
    g_logger = std::move(lg);
    // Build the coordinate constants now so that a missing PROJ database fails the start-up.
    (void)SRC_CRS();
    (void)DST_CRS();
    (void)TRANSFORMER();
  });
}

std::shared_ptr<spdlog::logger> logger() { return g_logger; }

const geo::Crs& SRC_CRS() {
  thread_local const geo::Crs crs = geo::Crs::from_user_input(kCrsCode);
  return crs;
}

const geo::Crs& DST_CRS() {
  thread_local const geo::Crs crs = geo::Crs::from_user_input(kCrsCode);
  return crs;
}

const geo::Transformer& TRANSFORMER() {
  thread_local const geo::Transformer t = geo::Transformer::from_crs(SRC_CRS(), DST_CRS(), true);
  return t;
}

geo::Geometry project_geometry(geo::GeometryRef geometry) {
  if (geometry.is_empty()) return geometry.clone();
  return TRANSFORMER().transform(geometry);
}

std::int64_t get_recommended_scale(double survey_width_m, double survey_height_m, double max_width_mm,
                                   double max_height_mm) {
  static constexpr std::int64_t standard_scales[] = {250, 500, 1000, 1500, 2000, 2500, 5000, 7500, 10000, 20000, 25000};
  if (survey_width_m <= 0) return 1000;
  if (survey_height_m <= 0) return 1000;
  // A NaN among the values would otherwise be dropped by the comparison below and a scale
  // returned for an extent that is not a number.
  if (std::isnan(survey_width_m) || std::isnan(survey_height_m) || std::isnan(max_width_mm) ||
      std::isnan(max_height_mm)) {
    throw base::ValueError("cannot convert float NaN to integer");
  }
  const double usable_w = max_width_mm;
  const double usable_h = max_height_mm;
  const double den_w = usable_w * 0.98;
  const double den_h = usable_h * 0.98;
  if (den_w == 0 || den_h == 0) throw ZeroDivisionError("float division by zero");
  const double scale_w = (survey_width_m * 1000) / den_w;
  const double scale_h = (survey_height_m * 1000) / den_h;
  const double min_required_scale = scale_h > scale_w ? scale_h : scale_w;
  for (const std::int64_t scale : standard_scales) {
    if (static_cast<double>(scale) >= min_required_scale) return scale;
  }
  // Beyond the list: the next whole thousand. The value must be a finite number that fits.
  if (std::isnan(min_required_scale)) throw base::ValueError("cannot convert float NaN to integer");
  if (std::isinf(min_required_scale)) throw OverflowError("cannot convert float infinity to integer");
  const double thousands = std::ceil(min_required_scale / 1000);
  if (thousands > 9.2e15) throw OverflowError("scale denominator is too large");
  return static_cast<std::int64_t>(thousands) * 1000;
}

void add_north_arrow(canvas::Axes& ax, canvas::XY loc, double size) {
  const double arrow_x = loc.x;
  const double arrow_y = loc.y;

  canvas::TextStyle label;
  label.coords = canvas::Coords::AxesFraction;
  label.ha = canvas::HAlign::Center;
  label.va = canvas::VAlign::Bottom;
  label.fontsize = 12;
  label.fontweight = canvas::Weight::Bold;
  label.zorder = 10;
  ax.text({arrow_x, (arrow_y + size) + 0.01}, "UN", label);

  canvas::ArrowProps props;
  props.facecolor = canvas::Color::black();
  props.width = 3;
  props.headwidth = 10;
  props.headlength = 12;
  ax.annotate_arrow({arrow_x, arrow_y + size}, {arrow_x, arrow_y}, canvas::Coords::AxesFraction, props, 10);
}

std::int64_t scale_bar_step(double scale) {
  if (!std::isfinite(scale)) throw base::ValueError("scale must be a finite number");
  static constexpr std::int64_t nice_steps[] = {1, 2, 5, 10, 20, 25, 50, 100};
  const double target_world_m = (50 * scale) / 1000;
  const double approx_step = target_world_m / 4;
  std::int64_t step = nice_steps[0];
  double best = std::fabs(static_cast<double>(nice_steps[0]) - approx_step);
  for (const std::int64_t s : nice_steps) {
    const double d = std::fabs(static_cast<double>(s) - approx_step);
    if (d < best) {
      best = d;
      step = s;
    }
  }
  if (approx_step > 100) {
    // Nearest whole number, halves to the even neighbour (the default rounding mode).
    const double hundreds = std::nearbyint(approx_step / 100);
    if (hundreds > 1e15) throw OverflowError("scale is too large for a scale bar");
    step = static_cast<std::int64_t>(hundreds) * 100;
  }
  return step;
}

void add_scale_bar(canvas::Axes& ax, double scale, canvas::XY /*position*/) {
  const std::int64_t step = scale_bar_step(scale);
  const int num_steps_left = 2;
  const int num_steps_right = 2;
  const int total_steps = num_steps_left + num_steps_right;
  const double step_m = static_cast<double>(step);
  const double total_len_m = static_cast<double>(total_steps * step);

  const auto xlim = ax.get_xlim();
  const auto ylim = ax.get_ylim();
  const double view_w = xlim.second - xlim.first;
  const double view_h = ylim.second - ylim.first;
  const double margin_x = view_w * 0.05;
  const double margin_y = view_h * 0.02;
  const double end_x = xlim.second - margin_x;
  const double start_x = end_x - total_len_m;
  const double start_y = ylim.first + margin_y;
  const double bar_height = view_h * 0.015;

  canvas::PatchStyle frame;
  frame.linewidth = 1;
  frame.edgecolor = canvas::Color::black();
  frame.facecolor = canvas::Color::white();
  frame.zorder = 10;
  ax.add_rectangle({start_x, start_y}, total_len_m, bar_height, frame);

  canvas::PatchStyle block;
  block.linewidth = 0;
  block.facecolor = canvas::Color::black();
  block.zorder = 11;
  canvas::LineStyle rule;
  rule.color = canvas::Color::black();
  rule.linewidth = 1;
  rule.zorder = 12;
  for (int i = 0; i < total_steps; ++i) {
    if (i % 2 == 0) ax.add_rectangle({start_x + static_cast<double>(i * step), start_y}, step_m, bar_height, block);
    const double x = start_x + static_cast<double>((i + 1) * step);
    const canvas::XY divider[] = {{x, start_y}, {x, start_y + bar_height}};
    ax.plot(divider, rule);
  }

  const double tick_h = bar_height * 0.5;
  canvas::TextStyle label;
  label.ha = canvas::HAlign::Center;
  label.va = canvas::VAlign::Bottom;
  label.fontsize = 9;
  label.fontweight = canvas::Weight::Bold;
  label.zorder = 13;
  const double label_y = start_y + bar_height + tick_h * 1.2;
  for (int i = 0; i <= total_steps; ++i) {
    const double tick_x = start_x + static_cast<double>(i * step);
    const canvas::XY tick[] = {{tick_x, start_y + bar_height}, {tick_x, start_y + bar_height + tick_h}};
    ax.plot(tick, rule);
    const std::int64_t val_idx = i - num_steps_left;
    const std::int64_t val = val_idx * step < 0 ? -(val_idx * step) : val_idx * step;
    ax.text({tick_x, label_y}, fmt::format("{}", val), label);
  }

  const double end_tick_x = start_x + static_cast<double>(total_steps * step);
  canvas::TextStyle unit = label;
  unit.ha = canvas::HAlign::Left;
  // The unit stands 1 % of the view after the bar's end where that is clear of the last label's
  // measured ink; else it starts a space (0.6 mm of paper) after that ink. Texts are measured in
  // points and the axes are at 1:scale, so one point of paper is scale × 0.0254 / 72 m.
  const double m_per_pt = scale * 0.0254 / 72;
  const canvas::TextMetrics last =
      canvas::measure_text(fmt::format("{}", num_steps_right * step), label.fontsize, label.fontweight, 72);
  const canvas::TextMetrics m = canvas::measure_text("m", unit.fontsize, unit.fontweight, 72);
  const double last_right = end_tick_x + (last.width / 2 + last.ink_x) * m_per_pt;
  double unit_x = end_tick_x + view_w * 0.01;
  if (unit_x + m.ink_x * m_per_pt <= last_right) unit_x = last_right + (0.6 / 25.4 * 72 - m.ink_x) * m_per_pt;
  ax.text({unit_x, label_y}, "m", unit);
}

void plot_road_element(canvas::Axes& ax, geo::GeometryRef geom) {
  switch (geom.type()) {
    case geo::GeomType::Polygon:
      plot_ring(ax, geom.exterior_ring(), 2);
      break;
    case geo::GeomType::MultiPolygon:
      for (int i = 0, n = geom.num_geometries(); i < n; ++i) plot_road_element(ax, geom.geometry_n(i));
      break;
    case geo::GeomType::MultiLineString:
      for (int i = 0, n = geom.num_geometries(); i < n; ++i) plot_ring(ax, geom.geometry_n(i), 1);
      break;
    case geo::GeomType::LineString:
      plot_ring(ax, geom, 1);
      break;
    case geo::GeomType::GeometryCollection:
      for (int i = 0, n = geom.num_geometries(); i < n; ++i) plot_road_element(ax, geom.geometry_n(i));
      break;
    default:
      break;  // points and other kinds carry no line work
  }
}

geo::Geometry get_rotated_rect_poly(double cx, double cy, double w, double h, double angle_deg) {
  const double theta = angle_deg * (std::numbers::pi / 180.0);
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  const double dx = w / 2.0;
  const double dy = h / 2.0;
  auto rotate_pt = [cx, cy, c, s](double x, double y) {
    return geo::XY{cx + (x * c - y * s), cy + (x * s + y * c)};
  };
  const geo::XY corners[] = {rotate_pt(-dx, -dy), rotate_pt(dx, -dy), rotate_pt(dx, dy), rotate_pt(-dx, dy)};
  return geo::Geometry::polygon(corners);
}

}  // namespace vekt::plots
