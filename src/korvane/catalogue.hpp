#pragma once
// The layer catalogue, the zoom bands and the SQL texts of the tile service. Pure functions of
// constants: nothing here waits on the network or the database.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"

namespace vekt::korvane {

inline constexpr int DEFAULT_CENTROID_ZOOM = 16;
inline constexpr double MAX_BBOX_AREA_WGS84 = 1.0;
inline constexpr int MAX_FEATURES_GLOBAL = 15000;
inline constexpr int CACHE_TTL_SHORT = 1800;
inline constexpr int CACHE_TTL_LONG = 7200;

// One map layer. Table and column names are SQL quoted identifiers, quotes included, so they go
// into statement text unchanged.
struct LayerEntry {
  std::string_view key;
  std::string_view table;
  std::string_view id_col;
  std::string_view geom_col;
  std::vector<std::string_view> properties;
  int min_zoom;
};

// The six layers, in catalogue order.
inline const std::vector<LayerEntry> LAYER_CONFIG{
    {"plots", R"("GIS"."PLOT")", R"("ID")", R"("GEOMETRY")",
     {R"("ID")", R"("PLOT_NO")", R"("STATUS")", R"("AREA_SYSTEM")", R"("GENERAL_LU")", R"("CADZONE")",
      R"("DETAIL_LU")", R"("file_no")"},
     8},
    {"beacons", R"("GIS"."BEACON")", R"("ID")", R"("GEOMETRY")",
     {R"("ID")", R"("BEACON_NO")", R"("STATUS")", R"("REMARK")"}, 12},
    {"cadzones", R"("GIS"."CadZones")", R"("id")", R"("geometry")",
     {R"("id")", R"("name")", R"("district_id")"}, 4},
    {"districts", R"("GIS"."Districts")", R"("id")", R"("geometry")",
     {R"("id")", R"("name")", R"("lga_id")"}, 3},
    {"lgas", R"("GIS"."LGAs")", R"("id")", R"("geometry")", {R"("id")", R"("name")"}, 2},
    {"roads", R"("GIS"."ROAD")", R"("ID")", R"("GEOMETRY")",
     {R"("ID")", R"("ROAD_NAME")", R"("ROAD_TYPE")"}, 4},
};

// The entry of `key` (exact, case-sensitive), or nullptr.
const LayerEntry* find_layer(std::string_view key);

// The layer keys in catalogue order.
std::vector<std::string> layer_keys();

// Python list repr of the given keys: ['a', 'b'].
std::string py_list_repr(const std::vector<std::string>& items);

struct ZoomConfig {
  int tolerance;
  int feature_limit;
  int buffer;
  int cache_ttl;
  friend bool operator==(const ZoomConfig&, const ZoomConfig&) = default;
};

// "Get optimized configuration - FIXED to show features when zoomed out."
// The band of `zoom` for `layer_name`, or nullopt below the layer's min_zoom. A key outside the
// catalogue acts as a layer with min_zoom 0.
std::optional<ZoomConfig> get_zoom_config(long long zoom, std::string_view layer_name);

// Index 0..7 of the band that serves `zoom` (no min_zoom test).
int zoom_band(long long zoom);

struct MvtSql {
  // Points into the statements built once at first use; valid for the life of the process.
  const std::string* sql;
  ZoomConfig zoom_config;
};

// "Generate MVT SQL with better low-zoom handling."
// Throws base::ValueError "Unknown layer: {layer_name}" or
// "Layer {layer_name} not available at zoom level {zoom}" (None when zoom is absent).
MvtSql generate_mvt_sql(std::string_view layer_name, std::optional<long long> zoom = std::nullopt);

// The statement text assembled from its pieces (what generate_mvt_sql keeps, one per layer, band and
// filter form).
std::string build_mvt_sql(const LayerEntry& layer, const ZoomConfig& zc, bool envelope_only);

// "Validate tile coordinates."
bool validate_tile_coords(long long z, long long x, long long y);

// "Calculate bounding box area in square degrees."
double calculate_bbox_area_degrees(double minx, double miny, double maxx, double maxy);

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
