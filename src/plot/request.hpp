#pragma once
// A plan figure request as JSON, the input of vekt-plot: the arguments of generate_plot, with the
// records written under their keys and geometries as GeoJSON objects (EPSG:3857). A key that is
// absent or null is absent from the record; JSON integers are integers, other numbers floating
// point; a number field may hold a decimal numeral as text ("1200.50"), kept exact.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "plots/records.hpp"

namespace vekt::plot {

// A request that cannot be read; the message says where and what.
struct BadRequest : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Request {
  std::vector<plots::PlotRecord> parcel_data;
  plots::ParcelNumber selected;
  std::optional<std::vector<plots::RoadRecord>> road_data;
  std::string columnname = "parcel_number";
  std::optional<plots::BoundingBox> bounding_box;
  double max_width_mm = 190;
  double max_height_mm = 160;
  nlohmann::ordered_json size_json = nlohmann::ordered_json::array({190, 160});  // the sizes as written
};

// BadRequest for text that is not such a request.
Request parse_request(std::string_view json_text);
// The file's request; BadRequest also when it cannot be read.
Request read_request(const std::string& path);

// {"scale": N, "size": [w, h], "schedule": [{"from", "to", "bearing", "distance"}...]}
nlohmann::ordered_json result_json(const Request& req, const plots::FigureResult& result);

}  // namespace vekt::plot
