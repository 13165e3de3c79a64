#pragma once
// What a client sends for a plan document, read and checked before any work starts. A mistake
// is the client's: the readers throw web::ValidationError, answered 422 with the list of errors:
// {"detail": [{"loc": ["body", "district"], "msg": "field required", "type": "value_error.missing"}]}.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "plots/records.hpp"
#include "web/http.hpp"
#include "web/json.hpp"

namespace vekt::brellow {

// The particulars of a deed plan, from the JSON body
// {"district": text, "cadzone": text, "file_no": text, "person_name": text,
//  "bounding_box": null or [minx, miny, maxx, maxy]} ("bounding_box" may be left out).
struct DeedPlanParticulars {
  std::string district;
  std::string cadzone;
  std::string file_no;
  std::string person_name;
  std::optional<plots::BoundingBox> bounding_box;
};
DeedPlanParticulars parse_deed_plan_body(std::string_view body);

// The longest texts a deed plan takes, in characters (code points): all of them at these lengths
// at once, in the widest letters of any script the page's fonts set (Cyrillic capitals, or CJK),
// stay whole on the first sheet, each in its own box, at 6 pt or more. A longer one is refused,
// naming the field and its limit.
inline constexpr std::size_t MAX_PERSON_NAME_CHARS = 300;
inline constexpr std::size_t MAX_DISTRICT_CHARS = 100;
inline constexpr std::size_t MAX_CADZONE_CHARS = 100;
inline constexpr std::size_t MAX_FILE_NO_CHARS = 60;  // beside the title, in a box 40 mm wide

// The site plan's "bbox" query value "minx,miny,maxx,maxy" (absent: none).
std::optional<plots::BoundingBox> parse_bbox_query(const std::optional<std::string>& text);

// The largest map window a plan shows, per side: in degrees, and in EPSG:3857 metres.
inline constexpr double MAX_BOX_DEGREES = 0.1;
inline constexpr double MAX_BOX_METRES = 10000;

// Why a bounding box cannot frame a plan, or nullopt when it can: four finite numbers with
// minx < maxx and miny < maxy; degrees (the figure reads the box as degrees when |minx| <= 180
// and |miny| <= 90) must all be longitudes and latitudes the map can show and span at most
// MAX_BOX_DEGREES; metres must lie on the EPSG:3857 plane and span at most MAX_BOX_METRES.
std::optional<std::string> bounding_box_fault(const plots::BoundingBox& box);

// The parcel id of the path, which the router has read as an integer.
std::int64_t plot_id_of(const web::Request& request);

}  // namespace vekt::brellow
