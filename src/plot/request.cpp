#include "plot/request.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <tuple>

#include <fmt/format.h>

namespace vekt::plot {
namespace {

using nlohmann::ordered_json;

const ordered_json* field(const ordered_json& obj, const char* key) {
  const auto it = obj.find(key);
  if (it == obj.end() || it->is_null()) return nullptr;
  return &*it;
}

std::optional<std::string> text_field(const ordered_json& obj, const char* key, const std::string& where) {
  const ordered_json* v = field(obj, key);
  if (v == nullptr) return std::nullopt;
  if (!v->is_string()) throw BadRequest(fmt::format("{}: \"{}\" must be text", where, key));
  return v->get<std::string>();
}

std::optional<std::int64_t> int_field(const ordered_json& obj, const char* key, const std::string& where) {
  const ordered_json* v = field(obj, key);
  if (v == nullptr) return std::nullopt;
  if (v->is_number_integer() && !(v->is_number_unsigned() && v->get<std::uint64_t>() > INT64_MAX))
    return v->get<std::int64_t>();
  throw BadRequest(fmt::format("{}: \"{}\" must be an integer", where, key));
}

bool is_decimal_numeral(const std::string& s) {
  std::size_t i = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
  bool digits = false, dot = false;
  for (; i < s.size(); ++i) {
    if (s[i] >= '0' && s[i] <= '9') digits = true;
    else if (s[i] == '.' && !dot) dot = true;
    else return false;
  }
  return digits;
}

std::optional<plots::Number> number_field(const ordered_json& obj, const char* key, const std::string& where) {
  const ordered_json* v = field(obj, key);
  if (v == nullptr) return std::nullopt;
  if (v->is_number_integer()) {
    if (v->is_number_unsigned() && v->get<std::uint64_t>() > INT64_MAX)
      throw BadRequest(fmt::format("{}: \"{}\" is too large", where, key));
    return plots::Number{v->get<std::int64_t>()};
  }
  if (v->is_number_float()) return plots::Number{v->get<double>()};
  if (v->is_string() && is_decimal_numeral(v->get<std::string>()))
    return plots::Number{plots::Decimal{v->get<std::string>()}};
  throw BadRequest(fmt::format("{}: \"{}\" must be a number or a decimal numeral", where, key));
}

std::optional<plots::GeoJson> geometry_field(const ordered_json& obj, const std::string& where) {
  const ordered_json* v = field(obj, "geometry");
  if (v == nullptr) return std::nullopt;
  if (!v->is_object()) throw BadRequest(where + ": \"geometry\" must be a GeoJSON object");
  return plots::GeoJson{v->dump()};
}

void only_keys(const ordered_json& obj, std::initializer_list<const char*> keys, const std::string& where) {
  if (!obj.is_object()) throw BadRequest(where + " must be a JSON object");
  for (const auto& [k, v] : obj.items()) {
    if (std::none_of(keys.begin(), keys.end(), [&k](const char* key) { return k == key; }))
      throw BadRequest(fmt::format("{}: unknown key \"{}\"", where, k));
  }
}

plots::BeaconRecord beacon_record(const ordered_json& j, const std::string& where) {
  only_keys(j,
            {"beacon_id", "beacon_name", "beacon_northing", "beacon_easting", "geometry", "distance_to_next",
             "bearing_to_next", "bearing_deg_to_next", "bearing_min_to_next"},
            where);
  plots::BeaconRecord b;
  b.beacon_id = int_field(j, "beacon_id", where);
  b.beacon_name = text_field(j, "beacon_name", where);
  b.beacon_northing = number_field(j, "beacon_northing", where);
  b.beacon_easting = number_field(j, "beacon_easting", where);
  b.geometry = geometry_field(j, where);
  b.distance_to_next = number_field(j, "distance_to_next", where);
  b.bearing_to_next = text_field(j, "bearing_to_next", where);
  b.bearing_deg_to_next = text_field(j, "bearing_deg_to_next", where);
  b.bearing_min_to_next = text_field(j, "bearing_min_to_next", where);
  return b;
}

plots::PlotRecord plot_record(const ordered_json& j, const std::string& where) {
  only_keys(j,
            {"id", "name", "area", "file_no", "geometry", "boundary", "surveyed_by", "address", "plan_layout_no"},
            where);
  plots::PlotRecord p;
  p.id = int_field(j, "id", where);
  p.name = text_field(j, "name", where);
  p.area = number_field(j, "area", where);
  p.area_is_null = j.contains("area") && j["area"].is_null();
  p.file_no = text_field(j, "file_no", where);
  p.geometry = geometry_field(j, where);
  if (const ordered_json* b = field(j, "boundary")) {
    if (!b->is_array()) throw BadRequest(where + ": \"boundary\" must be a list of beacon records");
    p.boundary.emplace();
    for (std::size_t i = 0; i < b->size(); ++i)
      p.boundary->push_back(beacon_record((*b)[i], fmt::format("{}, beacon record {}", where, i)));
  }
  p.surveyed_by = text_field(j, "surveyed_by", where);
  p.address = text_field(j, "address", where);
  p.plan_layout_no = text_field(j, "plan_layout_no", where);
  return p;
}

}  // namespace

Request parse_request(std::string_view json_text) {
  ordered_json j = ordered_json::parse(json_text.begin(), json_text.end(), nullptr, false);
  if (j.is_discarded()) throw BadRequest("not valid JSON");
  only_keys(j,
            {"parcel_data", "selected", "road_data", "columnname", "bounding_box", "max_width_mm", "max_height_mm"},
            "the request");
  Request r;
  const ordered_json* pd = field(j, "parcel_data");
  if (pd == nullptr || !pd->is_array()) throw BadRequest("\"parcel_data\" must be a list of plot records");
  for (std::size_t i = 0; i < pd->size(); ++i)
    r.parcel_data.push_back(plot_record((*pd)[i], fmt::format("plot record {}", i)));

  const auto sel = j.find("selected");
  if (sel == j.end()) throw BadRequest("\"selected\" is missing");
  if (sel->is_number_integer() && !(sel->is_number_unsigned() && sel->get<std::uint64_t>() > INT64_MAX))
    r.selected = sel->get<std::int64_t>();
  else if (sel->is_number_float()) r.selected = sel->get<double>();
  else if (sel->is_string()) r.selected = sel->get<std::string>();
  else throw BadRequest("\"selected\" must be an integer, a number or text");

  if (const ordered_json* rd = field(j, "road_data")) {
    if (!rd->is_array()) throw BadRequest("\"road_data\" must be a list of road records or null");
    r.road_data.emplace();
    for (std::size_t i = 0; i < rd->size(); ++i) {
      const std::string where = fmt::format("road record {}", i);
      only_keys((*rd)[i], {"name", "geometry"}, where);
      r.road_data->push_back({text_field((*rd)[i], "name", where), geometry_field((*rd)[i], where)});
    }
  }
  if (const auto c = text_field(j, "columnname", "the request")) r.columnname = *c;
  if (const ordered_json* bb = field(j, "bounding_box")) {
    if (!bb->is_array()) throw BadRequest("\"bounding_box\" must be null or [minx, miny, maxx, maxy]");
    // An empty list means no box, as null does.
    if (!bb->empty()) {
      if (bb->size() != 4) throw BadRequest("\"bounding_box\" must hold exactly four numbers");
      plots::BoundingBox box{};
      for (std::size_t i = 0; i < 4; ++i) {
        if (!(*bb)[i].is_number()) throw BadRequest("\"bounding_box\" must hold exactly four numbers");
        box[i] = (*bb)[i].get<double>();
      }
      r.bounding_box = box;
    }
  }
  for (const auto& [key, dst, pos] : {std::tuple{"max_width_mm", &r.max_width_mm, 0},
                                      std::tuple{"max_height_mm", &r.max_height_mm, 1}}) {
    if (const ordered_json* v = field(j, key)) {
      if (!v->is_number()) throw BadRequest(fmt::format("\"{}\" must be a number", key));
      *dst = v->get<double>();
      r.size_json[static_cast<std::size_t>(pos)] = *v;
    }
  }
  return r;
}

Request read_request(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw BadRequest("cannot read the file");
  std::stringstream ss;
  ss << in.rdbuf();
  return parse_request(ss.str());
}

ordered_json result_json(const Request& req, const plots::FigureResult& result) {
  ordered_json out;
  out["scale"] = result.scale;
  out["size"] = req.size_json;
  out["schedule"] = ordered_json::array();
  for (const auto& s : result.schedule)
    out["schedule"].push_back({{"from", s.from}, {"to", s.to}, {"bearing", s.bearing}, {"distance", s.distance}});
  return out;
}

}  // namespace vekt::plot
