#pragma once
// The records the plan documents hand to the plan figure. Fields follow the records' key order;
// a field is std::optional where the record may lack the key.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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
  bool area_is_null = false;         // recorded, but with no value: the figure prints no area
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

// The id the figure looks its target up by: compared as numbers when both sides are numbers
// (7 equals 7.0), as text when both are text; a text never equals a number.
using ParcelNumber = std::variant<std::int64_t, double, std::string>;

// A map window: minx, miny, maxx, maxy, in degrees or in EPSG:3857 metres.
using BoundingBox = std::array<double, 4>;

// One row of the beacon schedule: a leg too short to carry its labels on the figure.
struct ScheduleItem {
  std::string from;
  std::string to;
  std::string bearing;   // "05° 07'"
  std::string distance;  // "4.24"
  friend bool operator==(const ScheduleItem&, const ScheduleItem&) = default;
};

// What the figure hands back: the PNG as base64, the printable size exactly as asked
// (millimetres), the plan scale denominator N of 1:N, and the schedule in ring order.
struct FigureResult {
  std::string image;
  std::pair<double, double> size;
  std::int64_t scale = 0;
  std::vector<ScheduleItem> schedule;
};

}  // namespace vekt::plots
