#include "host/models.hpp"

#include <cmath>
#include <cstring>

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

std::optional<std::string> opt_text(const pg::Row& row, std::size_t col) {
  const pg::Field f = row[col];
  if (f.is_null()) return std::nullopt;
  return f.text();
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

const std::string& PLOT::columns() {
  static const std::string s = R"("ID", "PLOT_NO", "AREA_SYSTEM", "file_no", "SURVEYED_BY", "ADDRESS", )"
                               R"("PLAN_LAYOUT_NO", )" + geometry_columns(R"("GEOMETRY")");
  return s;
}

PLOT PLOT::from_row(const pg::Row& row) {
  PLOT p;
  p.id = row[0].as_int();
  p.plot_no = row[1].text();
  p.area_system = opt_text(row, 2);
  p.file_no = opt_text(row, 3);
  p.surveyed_by = opt_text(row, 4);
  p.address = opt_text(row, 5);
  p.plan_layout_no = opt_text(row, 6);
  p.geometry = read_geometry(row, 7);
  return p;
}

const std::string& BEACON::columns() {
  static const std::string s = R"("ID", "BEACON_NO", "NORTHING", "EASTING", )" + geometry_columns(R"("GEOMETRY")");
  return s;
}

BEACON BEACON::from_row(const pg::Row& row) {
  BEACON b;
  b.id = row[0].as_int();
  b.beacon_no = row[1].text();
  b.northing = row[2].as_double();
  b.easting = row[3].as_double();
  b.geometry = read_geometry(row, 4);
  return b;
}

const std::string& BOUNDARY::columns() {
  static const std::string s =
      R"("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN")";
  return s;
}

BOUNDARY BOUNDARY::from_row(const pg::Row& row) {
  BOUNDARY l;
  l.id = row[0].as_int();
  l.plotid = row[1].as_int();
  l.beacon1id = row[2].as_int();
  l.beacon2id = row[3].as_int();
  if (!row[4].is_null()) l.seq = row[4].as_int();
  l.length = row[5].as_double();
  l.angledeg = row[6].as_int();
  l.anglemin = row[7].as_int();
  return l;
}

const std::string& ROAD::columns() {
  static const std::string s = R"("ID", "ROAD_NAME", )" + geometry_columns(R"("GEOMETRY")");
  return s;
}

ROAD ROAD::from_row(const pg::Row& row) {
  ROAD r;
  r.id = row[0].as_int();
  r.road_name = opt_text(row, 1);
  r.geometry = read_geometry(row, 2);
  return r;
}

const std::string& LandPurpose::columns() {
  static const std::string s = R"("ID", "GENERAL_LU", "DETAIL_LU", "DESCRIPTION")";
  return s;
}

LandPurpose LandPurpose::from_row(const pg::Row& row) {
  LandPurpose l;
  l.id = row[0].as_int();
  l.general_lu = row[1].text();
  l.detail_lu = row[2].text();
  l.description = opt_text(row, 3);
  return l;
}

}  // namespace vekt::host
