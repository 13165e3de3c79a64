#pragma once
// The records the plan documents hand to the plan figure. Fields follow the records' key order;
// a field is std::optional where the record may lack the key.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vekt::plots {

// An exact decimal as the database holds it (numeric), kept as its digit text ("1200.50").
struct Decimal {
  std::string digits;
  friend bool operator==(const Decimal&, const Decimal&) = default;
};

// A stored number: an integer, a floating-point value or an exact decimal.
using Number = std::variant<std::int64_t, double, Decimal>;

// A geometry as GeoJSON text ({"type": "Polygon", "coordinates": ...}), EPSG:3857 metres.
struct GeoJson {
  std::string text;
  friend bool operator==(const GeoJson&, const GeoJson&) = default;
};

// One boundary leg of a parcel: the beacon it starts at and the leg to the next beacon of the ring.
struct BeaconRecord {
  std::optional<std::int64_t> beacon_id;
  std::optional<std::string> beacon_name;
  std::optional<Number> beacon_northing;
  std::optional<Number> beacon_easting;
  std::optional<GeoJson> geometry;              // a point
  std::optional<Number> distance_to_next;       // leg length as stored
  std::optional<std::string> bearing_to_next;      // "05°07'"
  std::optional<std::string> bearing_deg_to_next;  // "05°"
  std::optional<std::string> bearing_min_to_next;  // "07'"
};

struct PlotRecord {
  std::optional<std::int64_t> id;
  std::optional<std::string> name;   // parcel number
  std::optional<Number> area;        // as stored
  std::optional<std::string> file_no;
  std::optional<GeoJson> geometry;
  std::optional<std::vector<BeaconRecord>> boundary;
  std::optional<std::string> surveyed_by;
  std::optional<std::string> address;  // upper case, "" when empty
  std::optional<std::string> plan_layout_no;
};

struct RoadRecord {
  std::optional<std::string> name;
  std::optional<GeoJson> geometry;
};

}  // namespace vekt::plots
