#pragma once
// What a plan makes of a stored geometry. The parcel a plan is drawn of needs one outline the plan
// can print: a valid polygon (a MultiPolygon of one part is that polygon). The parcels and roads
// around it are only its surroundings: one whose geometry is not valid is drawn as repaired, or
// left out, and never costs the plan.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/models.hpp"

namespace vekt::brellow {

// The outline of the parcel a plan is drawn of, as GeoJSON text for the figure, or why the plan
// cannot print it (`fault`, "" when it can): "is a LineString, not a polygon", "is a MultiPolygon
// of 2 parts; a plan draws one outline", "is not a valid outline (Self-intersection at or near
// point 844020 1002020)".
struct PlanOutline {
  std::string geojson;
  std::string fault;
};
PlanOutline plan_outline(const host::Geometry& stored);

// The geometry of a neighbour (`parcel`) or of a road as the figure can draw it: as stored when it
// is valid (and, for a parcel, polygonal), repaired when it is not, and nullopt (left out) when
// nothing drawable remains. `fault` says what was wrong with it as stored ("" when nothing).
struct Surroundings {
  std::optional<std::string> geojson;
  std::string fault;
};
Surroundings drawable_surroundings(const host::Geometry& stored, bool parcel);
// The one log line of a neighbour or road (`what` "Plot" or "Road") whose geometry was not drawn as
// stored: "Road 900: road 900 GEOMETRY: is not valid (...); drawn as repaired". Nothing otherwise.
void log_surroundings(std::string_view what, std::int64_t id, const Surroundings& s);

}  // namespace vekt::brellow
