#include "plot/request.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <span>
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

std::optional<plots::GeoJson> geometry_field(const ordered_json& obj, const char* key, const std::string& where) {
  const ordered_json* v = field(obj, key);
  if (v == nullptr) return std::nullopt;
  if (!v->is_object()) throw BadRequest(fmt::format("{}: \"{}\" must be a GeoJSON object", where, key));
  return plots::GeoJson{v->dump()};
}

// A record's field table: each key as the request writes it and the member it is read into, in
// the order they are read (the first bad one is the one reported). The table is also the list of
// keys a record may have, so a field is added in one place.
template <class Record, class T>
struct Key {
  const char* name;
  T Record::*member;
};

void read_value(const ordered_json& j, const char* key, std::optional<std::int64_t>& out, const std::string& where) {
  out = int_field(j, key, where);
}
void read_value(const ordered_json& j, const char* key, std::optional<std::string>& out, const std::string& where) {
  out = text_field(j, key, where);
}
void read_value(const ordered_json& j, const char* key, std::optional<plots::Number>& out, const std::string& where) {
  out = number_field(j, key, where);
}
void read_value(const ordered_json& j, const char* key, std::optional<plots::GeoJson>& out, const std::string& where) {
  out = geometry_field(j, key, where);
}

// A plot's boundary (below: it reads records in turn).
void read_value(const ordered_json& j, const char* key, std::optional<std::vector<plots::BeaconRecord>>& out,
                const std::string& where);

void only_keys(const ordered_json& obj, std::span<const char* const> keys, const std::string& where) {
  if (!obj.is_object()) throw BadRequest(where + " must be a JSON object");
  for (const auto& [k, v] : obj.items()) {
    if (std::none_of(keys.begin(), keys.end(), [&k](const char* key) { return k == key; }))
      throw BadRequest(fmt::format("{}: unknown key \"{}\"", where, k));
  }
}

template <class Record, class Fields>
Record read_record(const ordered_json& j, const Fields& fields, const std::string& where) {
  const auto keys = std::apply([](const auto&... f) { return std::array<const char*, sizeof...(f)>{f.name...}; }, fields);
  only_keys(j, keys, where);
  Record r;
  std::apply([&](const auto&... f) { (read_value(j, f.name, r.*(f.member), where), ...); }, fields);
  return r;
}

using plots::BeaconRecord;
using plots::PlotRecord;
using plots::RoadRecord;

constexpr auto BEACON_FIELDS = std::tuple{
    Key{"beacon_id", &BeaconRecord::beacon_id},
    Key{"beacon_name", &BeaconRecord::beacon_name},
    Key{"beacon_northing", &BeaconRecord::beacon_northing},
    Key{"beacon_easting", &BeaconRecord::beacon_easting},
    Key{"geometry", &BeaconRecord::geometry},
    Key{"distance_to_next", &BeaconRecord::distance_to_next},
    Key{"bearing_to_next", &BeaconRecord::bearing_to_next},
    Key{"bearing_deg_to_next", &BeaconRecord::bearing_deg_to_next},
    Key{"bearing_min_to_next", &BeaconRecord::bearing_min_to_next},
};

// A plot's boundary: its beacon records, in order.
void read_value(const ordered_json& j, const char* key, std::optional<std::vector<BeaconRecord>>& out,
                const std::string& where) {
  const ordered_json* b = field(j, key);
  if (b == nullptr) return;
  if (!b->is_array()) throw BadRequest(fmt::format("{}: \"{}\" must be a list of beacon records", where, key));
  out.emplace();
  for (std::size_t i = 0; i < b->size(); ++i)
    out->push_back(read_record<BeaconRecord>((*b)[i], BEACON_FIELDS, fmt::format("{}, beacon record {}", where, i)));
}

constexpr auto PLOT_FIELDS = std::tuple{
    Key{"id", &PlotRecord::id},
    Key{"name", &PlotRecord::name},
    Key{"area", &PlotRecord::area},
    Key{"file_no", &PlotRecord::file_no},
    Key{"geometry", &PlotRecord::geometry},
    Key{"boundary", &PlotRecord::boundary},
    Key{"surveyed_by", &PlotRecord::surveyed_by},
    Key{"address", &PlotRecord::address},
    Key{"plan_layout_no", &PlotRecord::plan_layout_no},
};

constexpr auto ROAD_FIELDS = std::tuple{
    Key{"name", &RoadRecord::name},
    Key{"geometry", &RoadRecord::geometry},
};

PlotRecord plot_record(const ordered_json& j, const std::string& where) {
  PlotRecord p = read_record<PlotRecord>(j, PLOT_FIELDS, where);
  p.area_is_null = j.contains("area") && j["area"].is_null();
  return p;
}

}  // namespace

Request parse_request(std::string_view json_text) {
  ordered_json j = ordered_json::parse(json_text.begin(), json_text.end(), nullptr, false);
  if (j.is_discarded()) throw BadRequest("not valid JSON");
  static constexpr std::array<const char*, 7> REQUEST_KEYS{"parcel_data", "selected",     "road_data",    "columnname",
                                                          "bounding_box", "max_width_mm", "max_height_mm"};
  only_keys(j, REQUEST_KEYS, "the request");
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
    for (std::size_t i = 0; i < rd->size(); ++i)
      r.road_data->push_back(read_record<RoadRecord>((*rd)[i], ROAD_FIELDS, fmt::format("road record {}", i)));
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
