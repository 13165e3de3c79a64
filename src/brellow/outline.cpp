#include "brellow/outline.hpp"

#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "geo/geometry.hpp"
#include "host/logger.hpp"

namespace vekt::brellow {

namespace {

bool polygonal(geo::GeomType t) { return t == geo::GeomType::Polygon || t == geo::GeomType::MultiPolygon; }

// The polygons of a repaired geometry (a collection may also hold the lines and points a
// degenerate ring leaves), or nullopt when it has none.
std::optional<std::string> polygonal_part(const geo::Geometry& g) {
  if (g.is_empty()) return std::nullopt;
  if (polygonal(g.type())) return g.geojson();
  if (g.type() != geo::GeomType::GeometryCollection) return std::nullopt;
  nlohmann::json polygons = nlohmann::json::array();
  for (int i = 0, n = g.num_geometries(); i < n; ++i) {
    const geo::GeometryRef part = g.geometry_n(i);
    if (!polygonal(part.type()) || part.is_empty()) continue;
    const nlohmann::json j = nlohmann::json::parse(part.geojson());
    if (part.type() == geo::GeomType::Polygon) polygons.push_back(j["coordinates"]);
    else for (const auto& p : j["coordinates"]) polygons.push_back(p);
  }
  if (polygons.empty()) return std::nullopt;
  return nlohmann::json{{"type", "MultiPolygon"}, {"coordinates", std::move(polygons)}}.dump();
}

// The one polygon of a MultiPolygon of one part, with the coordinates exactly as stored.
std::string first_part(const std::string& multipolygon) {
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(multipolygon);
  nlohmann::ordered_json out;
  out["type"] = "Polygon";
  out["coordinates"] = j["coordinates"][0];
  return out.dump();
}

}  // namespace

PlanOutline plan_outline(const host::Geometry& stored) {
  const geo::Geometry g = geo::Geometry::from_wkb(stored.ewkb);
  PlanOutline out{stored.geojson, ""};
  geo::GeometryRef polygon = g;
  if (g.type() == geo::GeomType::MultiPolygon) {
    if (g.num_geometries() != 1) {
      out.fault = fmt::format("is a MultiPolygon of {} parts; a plan draws one outline", g.num_geometries());
      return out;
    }
    polygon = g.geometry_n(0);
    out.geojson = first_part(stored.geojson);
  } else if (g.type() != geo::GeomType::Polygon) {
    out.fault = fmt::format("is a {}; a parcel's outline is a polygon", g.type_name());
    return out;
  }
  if (const std::string why = polygon.invalid_reason(); !why.empty())
    out.fault = fmt::format("is not a valid outline ({})", why);
  return out;
}

Surroundings drawable_surroundings(const host::Geometry& stored, bool parcel) {
  const geo::Geometry g = geo::Geometry::from_wkb(stored.ewkb);
  Surroundings out;
  if (parcel && !polygonal(g.type())) {
    out.fault = fmt::format("is a {}, not a polygon", g.type_name());
    return out;
  }
  const std::string why = g.invalid_reason();
  if (why.empty()) {
    out.geojson = stored.geojson;
    return out;
  }
  out.fault = fmt::format("is not valid ({})", why);
  try {
    const geo::Geometry repaired = g.make_valid();
    if (parcel) out.geojson = polygonal_part(repaired);
    else if (!repaired.is_empty()) out.geojson = repaired.geojson();
  } catch (const geo::GeometryError&) {
    // Nothing GEOS can make of it: left out.
  }
  return out;
}

void log_surroundings(std::string_view what, std::int64_t id, const Surroundings& s) {
  if (s.fault.empty()) return;
  std::string record(what);
  for (char& c : record) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  host::get_logger("vekt.brellow")
      ->warn("{} {}: {} {} GEOMETRY: {}; {}", what, id, record, id, s.fault,
             s.geojson ? "drawn as repaired" : "left out of the plan");
}

}  // namespace vekt::brellow
