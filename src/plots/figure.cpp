#include "plots/figure.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>
#include <variant>

#include <fmt/format.h>
#include <spdlog/logger.h>

#include "base/base64.hpp"
#include "base/numfmt.hpp"
#include "geo/geometry.hpp"
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

// Parcels are filled ring by ring: a polygon's exterior, or each part's of a multi-polygon.
void fill_parcel(canvas::Axes& ax, geo::GeometryRef g, const canvas::PatchStyle& style, const std::string& what) {
  if (g.type() == geo::GeomType::Polygon) {
    ax.fill(g.exterior_ring().coords(), style);
  } else if (g.type() == geo::GeomType::MultiPolygon) {
    for (int i = 0, n = g.num_geometries(); i < n; ++i) ax.fill(g.geometry_n(i).exterior_ring().coords(), style);
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

// The leg from `beacon` to `next`: its bearing and distance along it when it is long enough to
// carry them, else a row of the schedule.
void draw_leg(canvas::Axes& ax, const BeaconRecord& beacon, const BeaconRecord& next, const LegLayout& leg,
              int fontsize, std::vector<ScheduleItem>& schedule) {
  const std::string deg_text = beacon.bearing_deg_to_next.value_or("");
  const std::string min_text = beacon.bearing_min_to_next.value_or("");
  const Number dist_val = beacon.distance_to_next.value_or(Number{std::int64_t{0}});
  if (!leg.labelled()) {
    schedule.push_back({beacon.beacon_name.value_or("?"), next.beacon_name.value_or("?"), deg_text + " " + min_text,
                        fixed2(dist_val)});
    return;
  }
  canvas::TextStyle style = LEG_STYLE;
  style.fontsize = fontsize - 1;
  style.rotation = leg.line_angle;
  style.fontweight = canvas::Weight::Normal;
  style.va = leg.va_outside;
  ax.text(leg.deg_at, deg_text, style);
  ax.text(leg.min_at, min_text, style);
  style.fontweight = canvas::Weight::Bold;
  style.va = leg.va_inside;
  ax.text(leg.dist_at, fixed2(dist_val) + "m", style);
}

// Beacons in ring order: marker, name set outward, then the leg to the next beacon.
std::vector<ScheduleItem> draw_beacons(canvas::Axes& ax, const std::vector<BeaconRecord>& beacons, XY centroid,
                                       std::int64_t scale, const std::string& id_text) {
  std::vector<ScheduleItem> schedule;
  const int fontsize = label_fontsize(scale);
  NamePlacer names(scale);
  BeaconPoints points(beacons, id_text);
  canvas::TextStyle name_style = BEACON_NAME_STYLE;
  name_style.fontsize = fontsize;
  const std::size_t n = beacons.size();
  for (std::size_t i = 0; i < n; ++i) {
    const BeaconRecord& beacon = beacons[i];
    const XY b = points[i];
    ax.marker(b, BEACON_MARKER);
    const std::size_t next_idx = (i + 1) % n;
    const XY pb = points[(i + n - 1) % n];
    const XY nb = points[next_idx];
    const Outward out_dir = outward_direction(pb, b, nb, centroid);

    const std::string& beacon_name = beacon.beacon_name ? *beacon.beacon_name : std::string();
    const NamePlacer::Placement place = names.place(b, out_dir, char_count(beacon_name));
    name_style.rotation = place.rotation;
    ax.text(place.center, beacon_name, name_style);

    if (const auto leg = leg_layout(b, nb, centroid, scale))
      draw_leg(ax, beacon, beacons[next_idx], *leg, fontsize, schedule);
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

// The parcel's name above its centroid and its area, when known, below.
void draw_parcel_label(canvas::Axes& ax, const PlotRecord& target, XY centroid, std::int64_t scale,
                       const std::string& id_text) {
  const double k = static_cast<double>(scale) / 1000;  // 1 mm of paper in metres
  const int fontsize = label_fontsize(scale);
  if (!target.name) throw KeyError("name", fmt::format("the record of parcel {} has no key 'name'", id_text));
  canvas::TextStyle name_style = PARCEL_NAME_STYLE;
  name_style.fontsize = fontsize + 2;
  // Centred at the parcel and kept inside the figure's sides (1 mm clear): a long name goes on
  // over lines upwards.
  const auto [x0, x1] = ax.get_xlim();
  const double room_mm = std::max(2 * std::min(centroid.x - x0, x1 - centroid.x) / k - 2, 20.0);
  const std::vector<std::string> lines = label_lines(*target.name, name_style, room_mm / 25.4 * 300);
  const double line_step = name_style.fontsize * 1.2 / 72 * 25.4 * k;
  for (std::size_t i = 0; i < lines.size(); ++i)
    ax.text({centroid.x, centroid.y + k * 1.0 + line_step * static_cast<double>(lines.size() - 1 - i)}, lines[i],
            name_style);
  // An area recorded as NULL is unknown: no label rather than an invented "0 m²".
  if (target.area_is_null) return;
  const Number area_val = target.area.value_or(Number{std::int64_t{0}});
  canvas::TextStyle area_style = PARCEL_AREA_STYLE;
  area_style.fontsize = fontsize - 2;
  ax.text({centroid.x, centroid.y - k * 1.0}, number_text(area_val) + " m\u00b2", area_style);
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
  out.schedule = draw_beacons(ax, target.boundary ? *target.boundary : kNoBeacons, centroid, frame.scale, id_text);
  draw_parcel_label(ax, target, centroid, frame.scale, id_text);
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
