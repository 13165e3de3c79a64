#pragma once
// The host's models of the cadastre tables: one typed row struct per table of sql/schema.sql, with
// the table's name, the select list that reads a whole row, and the row's decoding. Attribute names
// are the lower-case column names ("PLOT_NO" is plot_no; "file_no" stays file_no). Only what the
// plan documents read is modelled.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pg/result.hpp"

namespace vekt::host {

// A stored geometry, read in two forms: extended WKB (SRID included) to hand it back to the
// database unchanged as a bound value, and GeoJSON with the stored coordinates (every double
// printed so that it reads back the same).
struct Geometry {
  std::string ewkb;
  std::string geojson;
  // No coordinates at all (an EMPTY geometry).
  bool empty() const;
};

// The two select-list items that read a geometry column (`column`, quoted) into a Geometry, and
// their decoding from result columns `col` and `col` + 1 (nullopt for NULL).
std::string geometry_columns(std::string_view column);
std::optional<Geometry> read_geometry(const pg::Row& row, std::size_t col);

// A land parcel ("GIS"."PLOT").
struct PLOT {
  static constexpr std::string_view TABLE = R"("GIS"."PLOT")";
  static const std::string& columns();  // select list of a whole row
  static PLOT from_row(const pg::Row& row);

  std::int64_t id = 0;
  std::string plot_no;
  std::optional<std::string> area_system;  // numeric, as the database writes it ("1158.50")
  std::optional<std::string> file_no;
  std::optional<std::string> surveyed_by;
  std::optional<std::string> address;
  std::optional<std::string> plan_layout_no;
  std::optional<Geometry> geometry;  // a Polygon
};

// A survey beacon ("GIS"."BEACON").
struct BEACON {
  static constexpr std::string_view TABLE = R"("GIS"."BEACON")";
  static const std::string& columns();
  static BEACON from_row(const pg::Row& row);

  std::int64_t id = 0;
  std::string beacon_no;
  double northing = 0;
  double easting = 0;
  std::optional<Geometry> geometry;  // a Point
};

// A boundary leg of a parcel ("GIS"."BOUNDARY"), from beacon beacon1id to beacon beacon2id.
struct BOUNDARY {
  static constexpr std::string_view TABLE = R"("GIS"."BOUNDARY")";
  static const std::string& columns();
  static BOUNDARY from_row(const pg::Row& row);

  std::int64_t id = 0;
  std::int64_t plotid = 0;
  std::int64_t beacon1id = 0;
  std::int64_t beacon2id = 0;
  std::optional<std::int64_t> seq;
  double length = 0;
  std::int64_t angledeg = 0;
  std::int64_t anglemin = 0;
};

// A road centre line ("GIS"."ROAD").
struct ROAD {
  static constexpr std::string_view TABLE = R"("GIS"."ROAD")";
  static const std::string& columns();
  static ROAD from_row(const pg::Row& row);

  std::int64_t id = 0;
  std::optional<std::string> road_name;
  std::optional<Geometry> geometry;  // any geometry type
};

// A land purpose of the lookup list ("GIS"."LAND_PURPOSE").
struct LandPurpose {
  static constexpr std::string_view TABLE = R"("GIS"."LAND_PURPOSE")";
  static const std::string& columns();
  static LandPurpose from_row(const pg::Row& row);

  std::int64_t id = 0;
  std::string general_lu;
  std::string detail_lu;
  std::optional<std::string> description;
};

}  // namespace vekt::host
