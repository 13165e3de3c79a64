#pragma once
// The plan figure of one parcel: generate_plot draws the parcel with its neighbours, the nearby
// roads, its beacons with their names, the bearing and distance of every leg long enough to carry
// them, its name and area, a north arrow and a scale bar, at a standard plan scale, and hands back
// the PNG (300 dpi, base64), the printable size, the scale and the schedule of the short legs.
//
// Safe to call from several threads at once: every call owns its figure, geometries and
// coordinate objects; the only shared things are the logger and the font chosen at start-up.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "canvas/figure.hpp"
#include "plots/records.hpp"

namespace vekt::plots {

// No plot record carries the requested id: "Parcel with id=7 not found." The one failure of its
// own that the figure reports; it comes before any figure exists.
class ParcelNotFound : public base::ValueError {
 public:
  ParcelNotFound(std::string columnname, ParcelNumber selected);
  const std::string& columnname() const { return columnname_; }
  const ParcelNumber& selected() const { return selected_; }

 private:
  std::string columnname_;
  ParcelNumber selected_;
};

// A record lacks a key the figure must read (the id key, "geometry", the target's "name").
class KeyError : public base::Error {
 public:
  KeyError(std::string key, const std::string& what) : base::Error(what), key_(std::move(key)) {}
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

// A record's geometry cannot be drawn as what it stands for (a parcel that is not polygonal, a
// beacon that is not a point, an empty parcel).
class ShapeError : public base::ValueError {
 public:
  using base::ValueError::ValueError;
};

// The text form of an id, as the log line and the not-found message show it: a text unchanged,
// an integer as its digits, a floating-point value in its shortest round-trip form ("7.0").
std::string to_text(const ParcelNumber& v);

FigureResult generate_plot(const std::vector<PlotRecord>& parcel_data, const ParcelNumber& selected_parcel_number,
                           const std::optional<std::vector<RoadRecord>>& road_data,
                           std::string_view columnname = "parcel_number",
                           const std::optional<BoundingBox>& bounding_box = std::nullopt, double max_width_mm = 190,
                           double max_height_mm = 160);

// The figure as drawn, before it is written out: what generate_plot encodes, for checks by
// number on its recorded items.
struct ComposedPlot {
  canvas::Figure figure;
  std::int64_t scale = 0;
  std::vector<ScheduleItem> schedule;
};

ComposedPlot compose_plot(const std::vector<PlotRecord>& parcel_data, const ParcelNumber& selected_parcel_number,
                          const std::optional<std::vector<RoadRecord>>& road_data,
                          std::string_view columnname = "parcel_number",
                          const std::optional<BoundingBox>& bounding_box = std::nullopt, double max_width_mm = 190,
                          double max_height_mm = 160);

}  // namespace vekt::plots
