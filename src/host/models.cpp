#include "host/models.hpp"

#include <cmath>
#include <cstring>
#include <tuple>
#include <type_traits>

namespace vekt::host {

namespace {

std::uint32_t read_u32(std::string_view b, std::size_t at, bool little) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const auto byte = static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]));
    v |= little ? byte << (8 * i) : byte << (8 * (3 - i));
  }
  return v;
}

double read_f64(std::string_view b, std::size_t at, bool little) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) {
    const auto byte = static_cast<std::uint64_t>(static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]));
    v |= little ? byte << (8 * i) : byte << (8 * (7 - i));
  }
  double d;
  std::memcpy(&d, &v, sizeof d);
  return d;
}

}  // namespace

bool Geometry::empty() const {
  // Extended WKB: byte order, type (with the SRID flag), optional SRID, then the body. Every type
  // but Point starts its body with a count; an empty Point is written as NaN coordinates.
  const std::string_view b = ewkb;
  if (b.size() < 5) return true;
  const bool little = b[0] == 1;
  const std::uint32_t type = read_u32(b, 1, little);
  std::size_t at = 5 + ((type & 0x20000000u) ? 4 : 0);
  if ((type & 0xFFFFu) % 1000 == 1) return b.size() < at + 16 || std::isnan(read_f64(b, at, little));
  return b.size() < at + 4 || read_u32(b, at, little) == 0;
}

std::string geometry_columns(std::string_view column) {
  const std::string c(column);
  // 15 decimals is PostGIS's most: at EPSG:3857 magnitudes every stored double prints in full, as
  // its shortest text. Option 0: no "crs" member.
  return "ST_AsEWKB(" + c + "), ST_AsGeoJSON(" + c + ", 15, 0)";
}

std::optional<Geometry> read_geometry(const pg::Row& row, std::size_t col) {
  const pg::Field wkb = row[col];
  if (wkb.is_null()) return std::nullopt;
  return Geometry{wkb.bytes(), row[col + 1].text()};
}

namespace {

// A model's field table: each column's name (as the table spells it) and the member it is read
// into, in select-list order. The select list and the row decoding are both made from it, so a
// column is added in one place. A geometry takes two select-list items (geometry_columns).
template <class Model, class T>
struct Column {
  std::string_view name;
  T Model::*member;
};
template <class Model, class T>
constexpr Column<Model, T> column(std::string_view name, T Model::*member) {
  return {name, member};
}

std::string quoted(std::string_view name) { return '"' + std::string(name) + '"'; }

template <class Model, class T>
std::string select_item(const Column<Model, T>& c) {
  if constexpr (std::is_same_v<T, std::optional<Geometry>>) return geometry_columns(quoted(c.name));
  else return quoted(c.name);
}

// Decodes the value at `col` into `out` and moves `col` past the items it took.
void read_value(const pg::Row& row, std::size_t& col, std::int64_t& out) { out = row[col++].as_int(); }
void read_value(const pg::Row& row, std::size_t& col, double& out) { out = row[col++].as_double(); }
void read_value(const pg::Row& row, std::size_t& col, std::string& out) { out = row[col++].text(); }
void read_value(const pg::Row& row, std::size_t& col, std::optional<std::int64_t>& out) {
  const pg::Field f = row[col++];
  if (!f.is_null()) out = f.as_int();
}
void read_value(const pg::Row& row, std::size_t& col, std::optional<std::string>& out) {
  const pg::Field f = row[col++];
  if (!f.is_null()) out = f.text();
}
void read_value(const pg::Row& row, std::size_t& col, std::optional<Geometry>& out) {
  out = read_geometry(row, col);
  col += 2;
}

template <class Fields>
std::string select_list(const Fields& fields) {
  std::string out;
  std::apply([&](const auto&... c) { ((out += (out.empty() ? "" : ", ") + select_item(c)), ...); }, fields);
  return out;
}

template <class Model, class Fields>
Model decode(const pg::Row& row, const Fields& fields) {
  Model m;
  std::size_t col = 0;
  std::apply([&](const auto&... c) { (read_value(row, col, m.*(c.member)), ...); }, fields);
  return m;
}

constexpr auto PLOT_FIELDS = std::tuple{
    column("ID", &PLOT::id),
    column("PLOT_NO", &PLOT::plot_no),
    column("AREA_SYSTEM", &PLOT::area_system),
    column("file_no", &PLOT::file_no),
    column("SURVEYED_BY", &PLOT::surveyed_by),
    column("ADDRESS", &PLOT::address),
    column("PLAN_LAYOUT_NO", &PLOT::plan_layout_no),
    column("GEOMETRY", &PLOT::geometry),
};

constexpr auto BEACON_FIELDS = std::tuple{
    column("ID", &BEACON::id),
    column("BEACON_NO", &BEACON::beacon_no),
    column("NORTHING", &BEACON::northing),
    column("EASTING", &BEACON::easting),
    column("GEOMETRY", &BEACON::geometry),
};

constexpr auto BOUNDARY_FIELDS = std::tuple{
    column("ID", &BOUNDARY::id),
    column("PLOTID", &BOUNDARY::plotid),
    column("BEACON1ID", &BOUNDARY::beacon1id),
    column("BEACON2ID", &BOUNDARY::beacon2id),
    column("SEQ", &BOUNDARY::seq),
    column("LENGTH", &BOUNDARY::length),
    column("ANGLEDEG", &BOUNDARY::angledeg),
    column("ANGLEMIN", &BOUNDARY::anglemin),
};

constexpr auto ROAD_FIELDS = std::tuple{
    column("ID", &ROAD::id),
    column("ROAD_NAME", &ROAD::road_name),
    column("GEOMETRY", &ROAD::geometry),
};

constexpr auto LAND_PURPOSE_FIELDS = std::tuple{
    column("ID", &LandPurpose::id),
    column("GENERAL_LU", &LandPurpose::general_lu),
    column("DETAIL_LU", &LandPurpose::detail_lu),
    column("DESCRIPTION", &LandPurpose::description),
};

}  // namespace

const std::string& PLOT::columns() {
  static const std::string s = select_list(PLOT_FIELDS);
  return s;
}
PLOT PLOT::from_row(const pg::Row& row) { return decode<PLOT>(row, PLOT_FIELDS); }

const std::string& BEACON::columns() {
  static const std::string s = select_list(BEACON_FIELDS);
  return s;
}
BEACON BEACON::from_row(const pg::Row& row) { return decode<BEACON>(row, BEACON_FIELDS); }

const std::string& BOUNDARY::columns() {
  static const std::string s = select_list(BOUNDARY_FIELDS);
  return s;
}
BOUNDARY BOUNDARY::from_row(const pg::Row& row) { return decode<BOUNDARY>(row, BOUNDARY_FIELDS); }

const std::string& ROAD::columns() {
  static const std::string s = select_list(ROAD_FIELDS);
  return s;
}
ROAD ROAD::from_row(const pg::Row& row) { return decode<ROAD>(row, ROAD_FIELDS); }

const std::string& LandPurpose::columns() {
  static const std::string s = select_list(LAND_PURPOSE_FIELDS);
  return s;
}
LandPurpose LandPurpose::from_row(const pg::Row& row) { return decode<LandPurpose>(row, LAND_PURPOSE_FIELDS); }

}  // namespace vekt::host
