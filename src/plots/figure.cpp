#include "plots/figure.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>
#include <variant>

#include <fmt/format.h>
#include <spdlog/logger.h>

#include "base/base64.hpp"
#include "base/numfmt.hpp"
#include "geo/geometry.hpp"
#include "plots/label_space.hpp"
#include "plots/number_text.hpp"
#include "plots/plan_layout.hpp"
#include "plots/plots.hpp"

namespace vekt::plots {
namespace {

// A record's value under the id key, as far as equality with an id goes: geometry and boundary
// values are present but equal no id.
using KeyValue = std::variant<std::monostate, std::int64_t, double, Decimal, std::string>;

// Decimal text without sign noise, leading or trailing zeros: equal numbers give equal texts.
std::string canonical_decimal(std::string_view s) {
  auto d = decimal_parts(s);
  if (!d) return std::string("?").append(s);  // not a plain decimal: equal to nothing numeric
  while (!d->frac_digits.empty() && d->frac_digits.back() == '0') d->frac_digits.pop_back();
  const bool neg = d->negative && !(d->int_digits == "0" && d->frac_digits.empty());
  std::string out = neg ? "-" : "";
  out += d->int_digits;
  if (!d->frac_digits.empty()) out.append(".").append(d->frac_digits);
  return out;
}

// The exact decimal expansion of a finite double (every double has a finite one).
std::string exact_decimal(double d) {
  char buf[1200];
  const auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, 1100);
  return canonical_decimal(std::string(buf, r.ptr));
}

// Numbers compare by their mathematical value (7 == 7.0, a decimal equal to its float), texts by
// their characters; a text never equals a number, NaN equals nothing.
bool id_equals(const KeyValue& rec, const ParcelNumber& sel) {
  if (std::holds_alternative<std::monostate>(rec)) return false;
  if (const auto* s = std::get_if<std::string>(&rec)) {
    const auto* t = std::get_if<std::string>(&sel);
    return t != nullptr && *s == *t;
  }
  if (std::holds_alternative<std::string>(sel)) return false;
  auto as_decimal = [](const auto& v) -> std::optional<std::string> {
    using T = std::decay_t<decltype(v)>;
    if constexpr (std::is_same_v<T, std::int64_t>) {
      return fmt::format("{}", v);
    } else if constexpr (std::is_same_v<T, double>) {
      if (!std::isfinite(v)) return std::nullopt;
      return exact_decimal(v);
    } else if constexpr (std::is_same_v<T, Decimal>) {
      return canonical_decimal(v.digits);
    } else {
      return std::nullopt;
    }
  };
  // Two doubles (infinities included) compare directly; everything else by exact decimal value.
  if (const auto* a = std::get_if<double>(&rec))
    if (const auto* b = std::get_if<double>(&sel)) return *a == *b;
  const auto a = std::visit(as_decimal, rec);
  const auto b = std::visit(as_decimal, sel);
  return a && b && *a == *b;
}

KeyValue key_value(const PlotRecord& r, std::string_view key, std::size_t index) {
  auto missing = [&]() -> KeyError {
    return KeyError(std::string(key), fmt::format("plot record {} has no key '{}'", index, key));
  };
  auto opt = [&](const auto& field) -> KeyValue {
    if (!field) throw missing();
    using T = std::decay_t<decltype(*field)>;
    if constexpr (std::is_same_v<T, Number>) {
      return std::visit([](const auto& n) -> KeyValue { return n; }, *field);
    } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::string>) {
      return *field;
    } else {
      return std::monostate{};
    }
  };
  if (key == "id") return opt(r.id);
  if (key == "name") return opt(r.name);
  if (key == "area") return opt(r.area);
  if (key == "file_no") return opt(r.file_no);
  if (key == "geometry") return opt(r.geometry);
  if (key == "boundary") return opt(r.boundary);
  if (key == "surveyed_by") return opt(r.surveyed_by);
  if (key == "address") return opt(r.address);
  if (key == "plan_layout_no") return opt(r.plan_layout_no);
  throw missing();
}

bool all_finite(geo::GeometryRef g) {
  switch (g.type()) {
    case geo::GeomType::Polygon: {
      if (!all_finite(g.exterior_ring())) return false;
      for (int i = 0, n = g.num_interior_rings(); i < n; ++i)
        if (!all_finite(g.interior_ring(i))) return false;
      return true;
    }
    case geo::GeomType::MultiPoint:
    case geo::GeomType::MultiLineString:
    case geo::GeomType::MultiPolygon:
    case geo::GeomType::GeometryCollection:
      for (int i = 0, n = g.num_geometries(); i < n; ++i)
        if (!all_finite(g.geometry_n(i))) return false;
      return true;
    default:
      for (const XY& p : g.coords())
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
      return true;
  }
}

// A record's geometry in drawing coordinates. `what` names the record in messages.
geo::Geometry record_geometry(const std::optional<GeoJson>& geometry, const std::string& what) {
  if (!geometry) throw KeyError("geometry", fmt::format("{} has no key 'geometry'", what));
  geo::Geometry g = project_geometry(geo::Geometry::from_geojson(geometry->text));
  if (!g.is_empty() && !all_finite(g))
    throw base::ValueError(fmt::format("{} has coordinates that are not finite numbers", what));
  return g;
}

// One polygon: the face between its outer ring and its holes, every ring outlined alike.
void fill_polygon(canvas::Axes& ax, geo::GeometryRef poly, const canvas::PatchStyle& style) {
  const int nh = poly.num_interior_rings();
  if (nh == 0) {
    ax.fill(poly.exterior_ring().coords(), style);
    return;
  }
  std::vector<std::vector<XY>> holes;
  for (int h = 0; h < nh; ++h) {
    const auto c = poly.interior_ring(h).coords();
    holes.emplace_back(c.begin(), c.end());
  }
  ax.fill(poly.exterior_ring().coords(), holes, style);
}

// Parcels are filled polygon by polygon: the polygon, or each part of a multi-polygon.
void fill_parcel(canvas::Axes& ax, geo::GeometryRef g, const canvas::PatchStyle& style, const std::string& what) {
  if (g.type() == geo::GeomType::Polygon) {
    fill_polygon(ax, g, style);
  } else if (g.type() == geo::GeomType::MultiPolygon) {
    for (int i = 0, n = g.num_geometries(); i < n; ++i) fill_polygon(ax, g.geometry_n(i), style);
  } else {
    throw ShapeError(fmt::format("{} is a {}, not a polygon", what, g.type_name()));
  }
}

// The number of characters (code points) of UTF-8 text.
std::size_t char_count(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  return n;
}

// The figure's styles. Sizes that follow the plan scale (the fonts) are set where drawn.
const canvas::PatchStyle NEIGHBOUR_STYLE{.facecolor = canvas::Color::parse("#e0e0e0"),
                                         .edgecolor = canvas::Color::parse("#666666"),
                                         .linewidth = 0.5,
                                         .zorder = 3};
const canvas::PatchStyle TARGET_STYLE{.facecolor = canvas::Color{1, 0.85, 0.85, 1},
                                      .edgecolor = canvas::Color::parse("red"),
                                      .linewidth = 2.5,
                                      .zorder = 5};
const canvas::MarkerStyle BEACON_MARKER{.color = canvas::Color::black(), .markersize = 3, .zorder = 6};
const canvas::TextStyle BEACON_NAME_STYLE{.fontweight = canvas::Weight::Bold,
                                          .ha = canvas::HAlign::Center,
                                          .va = canvas::VAlign::Center,
                                          .rotation_mode = canvas::RotationMode::Anchor,
                                          .zorder = 7};
const canvas::TextStyle LEG_STYLE{
    .ha = canvas::HAlign::Center, .rotation_mode = canvas::RotationMode::Anchor, .zorder = 7};
const canvas::TextStyle PARCEL_NAME_STYLE{
    .fontweight = canvas::Weight::Bold, .ha = canvas::HAlign::Center, .va = canvas::VAlign::Bottom, .zorder = 8};
const canvas::TextStyle PARCEL_AREA_STYLE{
    .fontweight = canvas::Weight::Normal, .ha = canvas::HAlign::Center, .va = canvas::VAlign::Top, .zorder = 8};

// The target: the first record whose id equals the one asked for.
const PlotRecord& find_target(const std::vector<PlotRecord>& parcel_data, const ParcelNumber& selected,
                              std::string_view columnname) {
  for (std::size_t i = 0; i < parcel_data.size(); ++i)
    if (id_equals(key_value(parcel_data[i], columnname, i), selected)) return parcel_data[i];
  throw ParcelNotFound(std::string(columnname), selected);
}

struct Neighbour {
  std::size_t index;
  geo::Geometry geom;
};

// Every other record is a neighbour; records that repeat the target's id are neither.
std::vector<Neighbour> neighbour_geometries(const std::vector<PlotRecord>& parcel_data, const ParcelNumber& selected,
                                            std::string_view columnname) {
  std::vector<Neighbour> out;
  for (std::size_t i = 0; i < parcel_data.size(); ++i) {
    if (id_equals(key_value(parcel_data[i], columnname, i), selected)) continue;
    out.push_back({i, record_geometry(parcel_data[i].geometry, fmt::format("plot record {}", i))});
  }
  return out;
}

std::vector<geo::Geometry> road_geometries(const std::optional<std::vector<RoadRecord>>& road_data) {
  std::vector<geo::Geometry> out;
  if (road_data) {
    for (std::size_t i = 0; i < road_data->size(); ++i)
      out.push_back(record_geometry((*road_data)[i].geometry, fmt::format("road record {}", i)));
  }
  return out;
}

// Roads (polygons by their outlines), cut to the road clip area.
void draw_roads(canvas::Axes& ax, const std::vector<geo::Geometry>& roads, const ClipAreas& clips) {
  for (const auto& r_geom : roads) {
    const auto t = r_geom.type();
    std::optional<geo::Geometry> boundary;
    geo::GeometryRef geom_to_clip = r_geom;
    if (t == geo::GeomType::Polygon || t == geo::GeomType::MultiPolygon) {
      boundary = r_geom.boundary();
      geom_to_clip = *boundary;
    }
    const geo::Geometry clipped = geom_to_clip.intersection(clips.road_clipping);
    if (clipped.is_empty()) continue;
    plot_road_element(ax, clipped);
  }
}

// The neighbours that reach into the clip area, then the target over them.
void draw_parcels(canvas::Axes& ax, const std::vector<Neighbour>& neighbours, geo::GeometryRef target,
                  const std::string& target_what, const ClipAreas& clips) {
  for (const auto& [i, n_geom] : neighbours) {
    if (!n_geom.intersects(clips.clipping)) continue;
    fill_parcel(ax, n_geom, NEIGHBOUR_STYLE, fmt::format("the geometry of plot record {}", i));
  }
  fill_parcel(ax, target, TARGET_STYLE, target_what);
}

// Each beacon's point, read once, when first needed (as itself or as a neighbour in the ring).
class BeaconPoints {
 public:
  BeaconPoints(const std::vector<BeaconRecord>& beacons, const std::string& id_text)
      : beacons_(beacons), id_text_(id_text), points_(beacons.size()) {}

  XY operator[](std::size_t i) {
    if (!points_[i]) {
      const std::string what = fmt::format("beacon record {} of parcel {}", i, id_text_);
      const geo::Geometry p = record_geometry(beacons_[i].geometry, what);
      if (p.type() != geo::GeomType::Point || p.is_empty())
        throw ShapeError(fmt::format("the geometry of {} is {}, not a point", what,
                                     p.is_empty() ? "empty" : "a " + p.type_name()));
      points_[i] = XY{p.x(), p.y()};
    }
    return *points_[i];
  }

 private:
  const std::vector<BeaconRecord>& beacons_;
  const std::string& id_text_;
  std::vector<std::optional<XY>> points_;
};

// The figure's texts, each placed by its measured box against the boxes already taken (one
// list: the scale bar and north arrow first, then the legs' labels, the beacon names and the
// parcel's name and area). Positions are tried as they have always been first; a text moves
// only when that place is taken or off the figure.
class Placer {
 public:
  Placer(const canvas::Figure& fig, std::int64_t scale)
      : fig_(fig), space_(fig.width_px(), fig.height_px()), mm_(fig.dpi() / 25.4), k_(static_cast<double>(scale) / 1000) {}

  Quad box(const canvas::TextItem& t) const { return canvas::text_box(fig_, t); }
  // The box of the text were it anchored at the pixel origin.
  Quad box_at_origin(const canvas::TextItem& t) const { return shifted(box(t), -px(t.at).x, -px(t.at).y); }
  static Quad shifted(Quad q, double dx, double dy) {
    for (XY& p : q) p = {p.x + dx, p.y + dy};
    return q;
  }
  XY px(XY data) const { return fig_.data_to_pixel(data); }
  XY data(XY pixel) const { return fig_.pixel_to_data(pixel); }
  double mm() const { return mm_; }  // pixels per millimetre of paper
  double k() const { return k_; }    // metres per millimetre of paper
  LabelSpace& space() { return space_; }
  const LabelSpace& space() const { return space_; }
  // The pixel point moved inside the figure, `margin_mm` clear of its sides.
  XY clamped(XY p, double margin_mm) const {
    const double m = margin_mm * mm_;
    return {std::clamp(p.x, m, space_.width() - m), std::clamp(p.y, m, space_.height() - m)};
  }

 private:
  const canvas::Figure& fig_;
  LabelSpace space_;
  double mm_;
  double k_;
};

// The point of the boxes' common bounds nearest to `p`: where a leader from p ends.
XY nearest_edge(std::span<const Quad> qs, XY p) {
  double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
  for (const Quad& q : qs)
    for (const XY& c : q) x0 = std::min(x0, c.x), y0 = std::min(y0, c.y), x1 = std::max(x1, c.x), y1 = std::max(y1, c.y);
  return {std::clamp(p.x, x0, x1), std::clamp(p.y, y0, y1)};
}

// Where boxes `rel` (relative to their anchor) are set away from their object, with a leader.
struct Spot {
  XY at;          // anchor, pixels
  XY leader_end;  // where the leader meets the boxes
};

// The first free place for the boxes `rel` around `base`: nearest first, and at each distance the
// direction closest to `dir` first; rings widen with the distance so that a far search stays
// short. The leader from `from` to the boxes must cross no text; `accept` may refuse a place.
template <class Accept>
std::optional<Spot> search_around(const LabelSpace& space, XY base, double dir, std::span<const Quad> rel, XY from,
                                  double start_px, double step_px, Accept&& accept) {
  const double reach = std::hypot(space.width(), space.height());
  std::vector<Quad> qs(rel.size());
  for (double d = start_px; d <= reach; d += std::max(step_px, 0.15 * d)) {
    const double arc = std::max(step_px, 0.15 * d);
    const int n = std::max(8, static_cast<int>(std::ceil(2 * std::numbers::pi * d / arc)));
    for (int j = 0; j <= n / 2; ++j) {
      for (int sign : {1, -1}) {
        if (sign < 0 && (j == 0 || 2 * j == n)) continue;
        const double a = dir + sign * j * 2 * std::numbers::pi / n;
        const XY at{base.x + d * std::cos(a), base.y + d * std::sin(a)};
        for (std::size_t i = 0; i < rel.size(); ++i) qs[i] = Placer::shifted(rel[i], at.x, at.y);
        if (!space.free(qs) || !accept(qs)) continue;
        const XY end = nearest_edge(qs, from);
        if (space.crosses(from, end)) continue;
        return Spot{at, end};
      }
    }
  }
  return std::nullopt;
}

// The scale bar and the north arrow take their room first: they stand where they always stand.
void occupy_furniture(Placer& P, const canvas::Figure& fig, std::int64_t scale, double width_mm, double height_mm) {
  canvas::Figure scratch(width_mm, height_mm, fig.dpi());
  const auto [x0, x1] = fig.axes().get_xlim();
  const auto [y0, y1] = fig.axes().get_ylim();
  scratch.axes().set_xlim(x0, x1);
  scratch.axes().set_ylim(y0, y1);
  add_north_arrow(scratch.axes());
  add_scale_bar(scratch.axes(), static_cast<double>(scale));
  auto bounds_box = [](std::span<const XY> pts) {
    double bx0 = 1e300, by0 = 1e300, bx1 = -1e300, by1 = -1e300;
    for (const XY& p : pts) bx0 = std::min(bx0, p.x), by0 = std::min(by0, p.y), bx1 = std::max(bx1, p.x), by1 = std::max(by1, p.y);
    return box_quad(bx0, by0, bx1, by1);
  };
  for (const auto& item : scratch.axes().items()) {
    if (const auto* t = std::get_if<canvas::TextItem>(&item)) {
      P.space().occupy(canvas::text_box(scratch, *t));
    } else if (const auto* r = std::get_if<canvas::RectItem>(&item)) {
      const XY c[] = {scratch.data_to_pixel(r->xy), scratch.data_to_pixel({r->xy.x + r->width, r->xy.y + r->height})};
      P.space().occupy(bounds_box(c));
    } else if (const auto* a = std::get_if<canvas::ArrowItem>(&item)) {
      const XY h = scratch.fraction_to_pixel(a->head), t = scratch.fraction_to_pixel(a->tail);
      const double half = a->props.headwidth / 2 / 72 * fig.dpi();
      const XY c[] = {{h.x - half, h.y}, {h.x + half, h.y}, {t.x - half, t.y}, {t.x + half, t.y}};
      P.space().occupy(bounds_box(c));
    }
  }
}

// The three texts of a leg as they stand along it.
std::array<canvas::TextItem, 3> leg_texts(const BeaconRecord& beacon, const LegLayout& leg, int fontsize) {
  canvas::TextStyle style = LEG_STYLE;
  style.fontsize = fontsize - 1;
  style.rotation = leg.line_angle;
  style.fontweight = canvas::Weight::Normal;
  style.va = leg.va_outside;
  canvas::TextStyle dist_style = style;
  dist_style.fontweight = canvas::Weight::Bold;
  dist_style.va = leg.va_inside;
  const Number dist_val = beacon.distance_to_next.value_or(Number{std::int64_t{0}});
  return {canvas::TextItem{leg.deg_at, beacon.bearing_deg_to_next.value_or(""), style},
          canvas::TextItem{leg.min_at, beacon.bearing_min_to_next.value_or(""), style},
          canvas::TextItem{leg.dist_at, fixed2(dist_val) + "m", dist_style}};
}

ScheduleItem schedule_row(const BeaconRecord& beacon, const BeaconRecord& next) {
  return {beacon.beacon_name.value_or("?"), next.beacon_name.value_or("?"),
          beacon.bearing_deg_to_next.value_or("") + " " + beacon.bearing_min_to_next.value_or(""),
          fixed2(beacon.distance_to_next.value_or(Number{std::int64_t{0}}))};
}

// A beacon name as drawn, and the leader that joins it to its beacon when it stands away.
struct NameLabel {
  canvas::TextItem text;
  std::optional<std::array<XY, 2>> leader;
};

// Close to the beacon where there is room (the places tried as ever, outwards); else further
// out, level, with a leader, whole inside the figure; where no place is free anywhere, the
// last place close to the beacon.
NameLabel place_name(Placer& P, const NamePlacer& names, XY b, const Outward& out, const std::string& name,
                     canvas::TextStyle style) {
  style.rotation = name_rotation(out.angle_deg);
  const std::vector<XY> centres = names.candidates(b, out, char_count(name));
  canvas::TextItem t{centres.front(), name, style};
  if (name.empty()) return {t, std::nullopt};
  for (const XY& c : centres) {
    t.at = c;
    const Quad q = P.box(t);
    if (P.space().free(q)) {
      P.space().occupy(q);
      return {t, std::nullopt};
    }
  }
  canvas::TextItem level = t;
  level.style.rotation = 0;
  const Quad rel[] = {P.box_at_origin(level)};
  const XY bp = P.px(b);
  const auto spot = search_around(P.space(), P.clamped(bp, 3), std::atan2(-out.bisector.y, out.bisector.x), rel, bp,
                                  6 * P.mm(), 1.5 * P.mm(), [](std::span<const Quad>) { return true; });
  if (!spot) return {t, std::nullopt};
  level.at = P.data(spot->at);
  P.space().occupy(Placer::shifted(rel[0], spot->at.x, spot->at.y));
  return {level, std::array<XY, 2>{b, P.data(spot->leader_end)}};
}

// A leader: a thin solid line from a text set away to what it names.
const canvas::LineStyle LEADER_STYLE{
    .color = canvas::Color::black(), .linewidth = 0.4, .dashes = {}, .cap = canvas::CapStyle::Butt, .join = {}, .zorder = 7};

// Beacons in ring order: marker, name, then the leg to the next beacon. The legs' labels take
// their room before the names (they stand where the leg is); a leg too short for them, or whose
// labels would lie over another text or off the figure, becomes a row of the schedule.
std::vector<ScheduleItem> draw_beacons(canvas::Axes& ax, Placer& P, const std::vector<BeaconRecord>& beacons,
                                       XY centroid, std::int64_t scale, const std::string& id_text) {
  std::vector<ScheduleItem> schedule;
  const int fontsize = label_fontsize(scale);
  BeaconPoints points(beacons, id_text);
  const std::size_t n = beacons.size();
  std::vector<std::optional<std::array<canvas::TextItem, 3>>> legs(n);
  for (std::size_t i = 0; i < n; ++i) {
    // The points are read in the order the ring has always been walked: the beacon, the one
    // before it, then the one after.
    (void)points[i];
    (void)points[(i + n - 1) % n];
    const auto leg = leg_layout(points[i], points[(i + 1) % n], centroid, scale);
    if (!leg) continue;
    std::array<canvas::TextItem, 3> texts = leg_texts(beacons[i], *leg, fontsize);
    std::vector<Quad> boxes;
    if (leg->labelled())
      for (const auto& t : texts)
        if (!t.text.empty()) boxes.push_back(P.box(t));
    if (leg->labelled() && P.space().free(boxes)) {
      for (const Quad& q : boxes) P.space().occupy(q);
      legs[i] = std::move(texts);
    } else {
      schedule.push_back(schedule_row(beacons[i], beacons[(i + 1) % n]));
    }
  }
  NamePlacer names(scale);
  canvas::TextStyle name_style = BEACON_NAME_STYLE;
  name_style.fontsize = fontsize;
  for (std::size_t i = 0; i < n; ++i) {
    const XY b = points[i];
    ax.marker(b, BEACON_MARKER);
    const Outward out_dir = outward_direction(points[(i + n - 1) % n], b, points[(i + 1) % n], centroid);
    const NameLabel name =
        place_name(P, names, b, out_dir, beacons[i].beacon_name ? *beacons[i].beacon_name : std::string(), name_style);
    if (name.leader) ax.plot(*name.leader, LEADER_STYLE);
    ax.text(name.text.at, name.text.text, name.text.style);
    if (legs[i])
      for (const auto& t : *legs[i]) ax.text(t.at, t.text, t.style);
  }
  return schedule;
}

// The lines of a parcel's label, each at most `max_px` wide: the label as it is while it fits,
// else wrapped at blanks (a word wider than a line, between any two characters).
std::vector<std::string> label_lines(const std::string& text, const canvas::TextStyle& style, double max_px) {
  const auto fits = [&](std::string_view s) {
    return canvas::measure_text(s, style.fontsize, style.fontweight).width <= max_px;
  };
  if (fits(text)) return {text};
  std::vector<std::string> lines;
  std::string line;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t end = std::min(text.find(' ', i), text.size());
    const std::string word = text.substr(i, end - i);
    i = end + 1;
    if (word.empty()) continue;
    if (fits(line.empty() ? word : line + " " + word)) {
      line = line.empty() ? word : line + " " + word;
      continue;
    }
    if (!line.empty()) lines.push_back(std::exchange(line, {}));
    for (std::size_t c = 0; c < word.size();) {
      std::size_t n = 1;  // one UTF-8 character
      while (c + n < word.size() && (static_cast<unsigned char>(word[c + n]) & 0xC0) == 0x80) ++n;
      if (!line.empty() && !fits(line + word.substr(c, n))) lines.push_back(std::exchange(line, {}));
      line += word.substr(c, n);
      c += n;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}


// The parcel's name (over lines where long) above the anchor and its area below, turned by
// `angle` degrees about the anchor.
std::vector<canvas::TextItem> label_block(XY anchor, const std::vector<std::string>& lines,
                                          canvas::TextStyle name_style, const std::optional<std::string>& area,
                                          canvas::TextStyle area_style, double angle, double k) {
  const double rad = angle * (std::numbers::pi / 180.0);
  const auto along = [&](double dy) { return XY{anchor.x - dy * std::sin(rad), anchor.y + dy * std::cos(rad)}; };
  if (angle != 0) {
    for (auto* st : {&name_style, &area_style}) {
      st->rotation = angle;
      st->rotation_mode = canvas::RotationMode::Anchor;
    }
  }
  std::vector<canvas::TextItem> out;
  const double line_step = name_style.fontsize * 1.2 / 72 * 25.4 * k;
  for (std::size_t i = 0; i < lines.size(); ++i)
    out.push_back({along(k * 1.0 + line_step * static_cast<double>(lines.size() - 1 - i)), lines[i], name_style});
  if (area) out.push_back({along(-k * 1.0), *area, area_style});
  return out;
}

// The direction of the parcel's long axis in degrees (-90 to 90): the principal axis of its
// outer ring's corners.
double long_axis_deg(geo::GeometryRef g) {
  const geo::GeometryRef part = g.type() == geo::GeomType::MultiPolygon ? g.geometry_n(0) : g;
  const auto pts = part.exterior_ring().coords();
  if (pts.size() < 2) return 0;
  double mx = 0, my = 0;
  for (const XY& p : pts) mx += p.x, my += p.y;
  mx /= static_cast<double>(pts.size()), my /= static_cast<double>(pts.size());
  double sxx = 0, syy = 0, sxy = 0;
  for (const XY& p : pts) sxx += (p.x - mx) * (p.x - mx), syy += (p.y - my) * (p.y - my), sxy += (p.x - mx) * (p.y - my);
  double a = 0.5 * std::atan2(2 * sxy, sxx - syy) * (180.0 / std::numbers::pi);
  if (a > 90) a -= 180;
  if (a <= -90) a += 180;
  return a;
}

// The parcel's rings in pixels, holes included.
Rings parcel_rings(const Placer& P, geo::GeometryRef g) {
  std::vector<std::vector<XY>> rings;
  auto add = [&](geo::GeometryRef ring) {
    std::vector<XY> r;
    for (const XY& p : ring.coords()) r.push_back(P.px(p));
    rings.push_back(std::move(r));
  };
  for (int i = 0, n = g.type() == geo::GeomType::MultiPolygon ? g.num_geometries() : 1; i < n; ++i) {
    const geo::GeometryRef poly = g.type() == geo::GeomType::MultiPolygon ? g.geometry_n(i) : g;
    if (poly.type() != geo::GeomType::Polygon || poly.is_empty()) continue;
    add(poly.exterior_ring());
    for (int h = 0, nh = poly.num_interior_rings(); h < nh; ++h) add(poly.interior_ring(h));
  }
  return Rings(std::move(rings));
}

struct ParcelLabelText {
  std::string name;
  std::optional<std::string> area;
  canvas::TextStyle name_style;
  canvas::TextStyle area_style;
};

// The label as one block of boxes relative to its anchor.
std::vector<Quad> block_boxes(const Placer& P, const std::vector<canvas::TextItem>& block, XY anchor) {
  std::vector<Quad> out;
  const XY a = P.px(anchor);
  for (const auto& t : block) out.push_back(Placer::shifted(P.box(t), -a.x, -a.y));
  return out;
}

// Inside the parcel: at the roomiest free places of its face, the size as set first, then
// smaller down to 5 points, level first, then along the parcel's long axis.
std::optional<std::vector<canvas::TextItem>> label_inside(const Placer& P, const Rings& rings,
                                                          const ParcelLabelText& L, XY centroid, double axis_deg) {
  const double W = P.space().width(), H = P.space().height();
  std::vector<XY> spots = rings.roomiest(1.5 * P.mm(), 0, 0, W, H);
  if (spots.size() > 600) spots.resize(600);
  if (rings.contains(P.px(centroid))) spots.insert(spots.begin(), P.px(centroid));
  std::vector<double> angles{0};
  if (std::fabs(axis_deg) > 1) angles.push_back(axis_deg);
  for (double size = L.name_style.fontsize; size >= 5; size -= 1) {
    canvas::TextStyle ns = L.name_style, as = L.area_style;
    ns.fontsize = size;
    as.fontsize = std::min(as.fontsize, size);
    const std::vector<std::string> lines = label_lines(L.name, ns, W - 2 * P.mm());
    for (double angle : angles) {
      const auto block = label_block(centroid, lines, ns, L.area, as, angle, P.k());
      const std::vector<Quad> rel = block_boxes(P, block, centroid);
      std::vector<Quad> qs(rel.size());
      for (const XY& s : spots) {
        for (std::size_t i = 0; i < rel.size(); ++i) qs[i] = Placer::shifted(rel[i], s.x, s.y);
        if (!P.space().free(qs)) continue;
        if (!std::all_of(qs.begin(), qs.end(), [&](const Quad& q) { return rings.contains(q); })) continue;
        return label_block(P.data(s), lines, ns, L.area, as, angle, P.k());
      }
    }
  }
  return std::nullopt;
}

// The parcel's name above its centroid and its area, when known, below, where that place is in
// the parcel and free; else inside it where there is room; else beside it, with a leader.
void draw_parcel_label(canvas::Axes& ax, Placer& P, const PlotRecord& target, geo::GeometryRef target_geom,
                       XY centroid, std::int64_t scale, const std::string& id_text) {
  const double k = static_cast<double>(scale) / 1000;  // 1 mm of paper in metres
  const int fontsize = label_fontsize(scale);
  if (!target.name) throw KeyError("name", fmt::format("the record of parcel {} has no key 'name'", id_text));
  ParcelLabelText L{*target.name, std::nullopt, PARCEL_NAME_STYLE, PARCEL_AREA_STYLE};
  L.name_style.fontsize = fontsize + 2;
  L.area_style.fontsize = fontsize - 2;
  // An area recorded as NULL is unknown: no label rather than an invented "0 m²".
  if (!target.area_is_null) L.area = number_text(target.area.value_or(Number{std::int64_t{0}})) + " m\u00b2";
  // Centred at the parcel and kept inside the figure's sides (1 mm clear): a long name goes on
  // over lines upwards.
  const auto [x0, x1] = ax.get_xlim();
  const double room_mm = std::max(2 * std::min(centroid.x - x0, x1 - centroid.x) / k - 2, 20.0);
  const std::vector<std::string> lines = label_lines(L.name, L.name_style, room_mm / 25.4 * 300);
  std::vector<canvas::TextItem> block = label_block(centroid, lines, L.name_style, L.area, L.area_style, 0, k);
  const Rings rings = parcel_rings(P, target_geom);
  std::vector<Quad> qs = block_boxes(P, block, centroid);
  const XY c = P.px(centroid);
  for (Quad& q : qs) q = Placer::shifted(q, c.x, c.y);
  std::optional<std::array<XY, 2>> leader;
  if (!(rings.contains(c) && P.space().free(qs))) {
    if (auto inside = label_inside(P, rings, L, centroid, long_axis_deg(target_geom))) {
      block = std::move(*inside);
    } else {
      // The fine search of the parcel's roomiest point is only wanted when the centroid lies outside it.
      const auto roomiest = [&] {
        const std::vector<XY> room = rings.roomiest(0.5 * P.mm(), 0, 0, P.space().width(), P.space().height());
        return room.empty() ? P.clamped(c, 3) : room.front();
      };
      const XY anchor = rings.contains(c) ? c : roomiest();
      const std::vector<Quad> rel = block_boxes(P, block, centroid);
      const auto beside = [&](std::span<const Quad> cand) {
        return std::none_of(cand.begin(), cand.end(), [&](const Quad& q) { return rings.meets(q); });
      };
      auto spot = search_around(P.space(), anchor, -std::numbers::pi / 2, rel, anchor, 2 * P.mm(), 1.5 * P.mm(), beside);
      if (!spot)
        spot = search_around(P.space(), anchor, -std::numbers::pi / 2, rel, anchor, 2 * P.mm(), 1.5 * P.mm(),
                             [](std::span<const Quad>) { return true; });
      if (spot) {
        block = label_block(P.data(spot->at), lines, L.name_style, L.area, L.area_style, 0, k);
        leader = std::array<XY, 2>{P.data(anchor), P.data(spot->leader_end)};
      }
    }
    qs = block_boxes(P, block, {0, 0});
    const XY o = P.px({0, 0});
    for (Quad& q : qs) q = Placer::shifted(q, o.x, o.y);
  }
  for (const Quad& q : qs) P.space().occupy(q);
  if (leader) ax.plot(*leader, LEADER_STYLE);
  for (const auto& t : block) ax.text(t.at, t.text, t.style);
}

}  // namespace

std::string to_text(const ParcelNumber& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v)) return fmt::format("{}", *i);
  if (const auto* d = std::get_if<double>(&v)) return base::py_float_str(*d);
  return std::get<std::string>(v);
}

ParcelNotFound::ParcelNotFound(std::string columnname, ParcelNumber selected)
    : base::ValueError(fmt::format("Parcel with {}={} not found.", columnname, to_text(selected))),
      columnname_(std::move(columnname)),
      selected_(std::move(selected)) {}

ComposedPlot compose_plot(const std::vector<PlotRecord>& parcel_data, const ParcelNumber& selected_parcel_number,
                          const std::optional<std::vector<RoadRecord>>& road_data, std::string_view columnname,
                          const std::optional<BoundingBox>& bounding_box, double max_width_mm,
                          double max_height_mm) {
  init();
  const std::string id_text = fmt::format("{}={}", columnname, to_text(selected_parcel_number));
  logger()->info("Generating plot for {}", id_text);

  const PlotRecord& target = find_target(parcel_data, selected_parcel_number, columnname);
  const std::string target_what = "the geometry of parcel " + id_text;
  geo::Geometry target_geom = record_geometry(target.geometry, target_what);
  if (target_geom.is_empty()) throw ShapeError(target_what + " is empty");
  const std::vector<Neighbour> neighbours = neighbour_geometries(parcel_data, selected_parcel_number, columnname);
  const std::vector<geo::Geometry> roads = road_geometries(road_data);

  // Survey extent, scale and frame: the axes fill the figure, so 1 mm of paper is scale/1000 m.
  const SurveyFrame frame = survey_frame(target_geom, bounding_box, max_width_mm, max_height_mm);
  ComposedPlot out{canvas::Figure(max_width_mm, max_height_mm, 300), frame.scale, {}};
  canvas::Axes& ax = out.figure.axes();
  ax.set_xlim(frame.xlim.first, frame.xlim.second);
  ax.set_ylim(frame.ylim.first, frame.ylim.second);
  const ClipAreas clips = clip_areas(frame, bounding_box.has_value(), target_geom);

  draw_roads(ax, roads, clips);
  draw_parcels(ax, neighbours, target_geom, target_what, clips);
  static const std::vector<BeaconRecord> kNoBeacons;
  const geo::Geometry centroid_pt = target_geom.centroid();
  const XY centroid{centroid_pt.x(), centroid_pt.y()};
  Placer placer(out.figure, frame.scale);
  occupy_furniture(placer, out.figure, frame.scale, max_width_mm, max_height_mm);
  out.schedule =
      draw_beacons(ax, placer, target.boundary ? *target.boundary : kNoBeacons, centroid, frame.scale, id_text);
  draw_parcel_label(ax, placer, target, target_geom, centroid, frame.scale, id_text);
  add_north_arrow(ax);
  add_scale_bar(ax, static_cast<double>(frame.scale));
  return out;
}

FigureResult generate_plot(const std::vector<PlotRecord>& parcel_data, const ParcelNumber& selected_parcel_number,
                           const std::optional<std::vector<RoadRecord>>& road_data, std::string_view columnname,
                           const std::optional<BoundingBox>& bounding_box, double max_width_mm,
                           double max_height_mm) {
  const ComposedPlot plot = compose_plot(parcel_data, selected_parcel_number, road_data, columnname, bounding_box,
                                         max_width_mm, max_height_mm);
  FigureResult r;
  r.image = base::base64_encode(plot.figure.to_png());
  r.size = {max_width_mm, max_height_mm};
  r.scale = plot.scale;
  r.schedule = plot.schedule;
  return r;
}

}  // namespace vekt::plots
