#pragma once
// The layer catalogue and the zoom bands of the tile service (the statements built from them are
// in korvane/tile_sql.hpp). Pure functions of constants: nothing here waits on the network or the
// database.
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

// The band of `zoom` for `layer_name`, or nullopt below the layer's min_zoom. A key outside the
// catalogue acts as a layer with min_zoom 0.
std::optional<ZoomConfig> get_zoom_config(long long zoom, std::string_view layer_name);

// One zoom band: the zooms up to `upper` (the last band: every zoom above) and how they are served.
struct ZoomBand {
  long long upper;
  ZoomConfig config;
};

// Tolerance and feature limit fall/rise with the zoom; tiles up to zoom 10 live four times longer.
inline constexpr std::array<ZoomBand, 8> ZOOM_BANDS{{
    {4, {1000, 2000, 512, CACHE_TTL_LONG}},
    {6, {500, 3000, 256, CACHE_TTL_LONG}},
    {8, {250, 5000, 256, CACHE_TTL_LONG}},
    {10, {100, 8000, 256, CACHE_TTL_LONG}},
    {12, {50, 10000, 256, CACHE_TTL_SHORT}},
    {14, {10, 15000, 64, CACHE_TTL_SHORT}},
    {16, {0, 20000, 16, CACHE_TTL_SHORT}},
    {0, {0, 30000, 8, CACHE_TTL_SHORT}},
}};

// Index 0..7 of the band that serves `zoom` (no min_zoom test).
int zoom_band(long long zoom);

// Whether z is 1..20 and x, y lie within the 2^z grid.
bool validate_tile_coords(long long z, long long x, long long y);

// |width × height|, in the box's own units (square degrees for a degree box).
double calculate_bbox_area_degrees(double minx, double miny, double maxx, double maxy);

}  // namespace vekt::korvane
