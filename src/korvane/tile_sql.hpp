#pragma once
// The statements of the tile service: the z/x/y tile per layer, band and filter form, the
// bounding-box tile, the box transformation and the layer centroid. Every text is built once, at
// first use, and kept for the life of the process.
#include <optional>
#include <string>
#include <string_view>

#include "korvane/catalogue.hpp"

namespace vekt::korvane {

struct MvtSql {
  // Points into the statements built once at first use; valid for the life of the process.
  const std::string* sql;
  ZoomConfig zoom_config;
};

// The z/x/y statement of `layer_name` at `zoom` and the band that serves it. Throws
// base::ValueError "Unknown layer: {layer_name}" or "Layer {layer_name} not available at zoom
// level {zoom}" (None when zoom is absent).
MvtSql generate_mvt_sql(std::string_view layer_name, std::optional<long long> zoom = std::nullopt);

// The statement text assembled from its pieces (what generate_mvt_sql keeps, one per layer, band and
// filter form).
std::string build_mvt_sql(const LayerEntry& layer, const ZoomConfig& zc, bool envelope_only);

// The statement that turns an input box into its EPSG:3857 extent (binds x1 y1 x2 y2 input_srid).
extern const std::string TRANSFORM_SQL;

// The bounding-box tile statement for a layer and geometry expression (binds min_x min_y max_x max_y
// max_features).
std::string build_bbox_sql(const LayerEntry& layer, std::string_view geom_expr);

// The bounding-box statement of `layer`, simplified (tolerance 50) or not; built once and kept.
const std::string& bbox_sql(const LayerEntry& layer, bool simplified);

// The layer centroid statement (no binds); built once per layer and kept.
std::string build_centroid_sql(const LayerEntry& layer);
const std::string& centroid_sql(const LayerEntry& layer);

// `text` with every double quote removed from its beginning and its end.
std::string strip_outer_quotes(std::string_view text);

}  // namespace vekt::korvane
