#include "korvane/tile_sql.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include <fmt/format.h>

#include "base/error.hpp"

namespace vekt::korvane {

namespace {

std::string join_properties(const LayerEntry& layer) {
  std::string out;
  for (size_t i = 0; i < layer.properties.size(); ++i) {
    if (i) out += ", ";
    out += layer.properties[i];
  }
  return out;
}

std::string simplify_expr(std::string_view geom_col, int tolerance) {
  return fmt::format("ST_SimplifyPreserveTopology({}, {})", geom_col, tolerance);
}

// Position of the entry in the catalogue, found by key (callers may hold a copy of an entry).
size_t layer_index(const LayerEntry& layer) {
  for (size_t i = 0; i < LAYER_CONFIG.size(); ++i)
    if (LAYER_CONFIG[i].key == layer.key) return i;
  throw base::ValueError(fmt::format("Unknown layer: {}", layer.key));
}

// Every tile statement the service can run: per layer, band and filter form, built once.
struct Prebuilt {
  std::vector<std::array<std::array<std::string, 2>, 8>> mvt;
  std::vector<std::array<std::string, 2>> bbox;
  std::vector<std::string> centroid;
  Prebuilt() {
    for (const auto& layer : LAYER_CONFIG) {
      auto& per_band = mvt.emplace_back();
      for (size_t b = 0; b < ZOOM_BANDS.size(); ++b)
        for (int env = 0; env < 2; ++env) per_band[b][env] = build_mvt_sql(layer, ZOOM_BANDS[b].config, env == 1);
      bbox.push_back({build_bbox_sql(layer, layer.geom_col), build_bbox_sql(layer, simplify_expr(layer.geom_col, 50))});
      centroid.push_back(build_centroid_sql(layer));
    }
  }
};

const Prebuilt& prebuilt() {
  static const Prebuilt p;
  return p;
}

// The tile query both statements share: the layer's features in the tile envelope, largest first,
// encoded as one MVT layer. `filter` goes after WHERE, `limit` after LIMIT, `end` after the last
// condition.
std::string mvt_query_sql(const LayerEntry& layer, std::string_view geom_expr, std::string_view buffer,
                          std::string_view filter, std::string_view limit, std::string_view end) {
  return fmt::format(
      "\n"
      "    SELECT ST_AsMVT(mvt_data, '{layer}', 4096, 'mvt_geom') AS mvt\n"
      "    FROM (\n"
      "        SELECT {props},\n"
      "            {id} AS feature_id,\n"
      "            ST_AsMVTGeom(\n"
      "                {expr},\n"
      "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n"
      "                4096,\n"
      "                {buffer},\n"
      "                true\n"
      "            ) AS mvt_geom\n"
      "        FROM {table}\n"
      "        WHERE {filter}\n"
      "        ORDER BY ST_Area({geom}) DESC\n"
      "        LIMIT {limit}\n"
      "    ) AS mvt_data\n"
      "    WHERE mvt_data.mvt_geom IS NOT NULL{end}\n"
      "    ",
      fmt::arg("layer", layer.key), fmt::arg("props", join_properties(layer)), fmt::arg("id", layer.id_col),
      fmt::arg("expr", geom_expr), fmt::arg("buffer", buffer), fmt::arg("table", layer.table),
      fmt::arg("filter", filter), fmt::arg("geom", layer.geom_col), fmt::arg("limit", limit), fmt::arg("end", end));
}

}  // namespace

std::string build_mvt_sql(const LayerEntry& layer, const ZoomConfig& zc, bool envelope_only) {
  const std::string_view g = layer.geom_col;
  std::string geom_expr = zc.tolerance > 0 ? simplify_expr(g, zc.tolerance) : std::string(g);
  std::string filter;
  if (envelope_only) {
    filter = fmt::format("{} && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)", g);
  } else {
    filter = fmt::format(
        "\n        {0} && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)"
        "\n        AND ST_Intersects({0}, ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))"
        "\n        ",
        g);
  }
  int limit = std::min(zc.feature_limit, MAX_FEATURES_GLOBAL);
  return mvt_query_sql(layer, geom_expr, fmt::to_string(zc.buffer), filter, fmt::to_string(limit), ";");
}

MvtSql generate_mvt_sql(std::string_view layer_name, std::optional<long long> zoom) {
  const LayerEntry* layer = find_layer(layer_name);
  if (!layer) throw base::ValueError(fmt::format("Unknown layer: {}", layer_name));
  long long lookup = (!zoom || *zoom == 0) ? 10 : *zoom;
  auto zc = get_zoom_config(lookup, layer_name);
  if (!zc)
    throw base::ValueError(fmt::format("Layer {} not available at zoom level {}", layer_name,
                                       zoom ? fmt::to_string(*zoom) : std::string("None")));
  bool envelope_only = zoom.value_or(10) <= 6;
  const auto& text = prebuilt().mvt[layer_index(*layer)][static_cast<size_t>(zoom_band(lookup))][envelope_only ? 1 : 0];
  return {&text, *zc};
}

const std::string TRANSFORM_SQL =
    "\n"
    "            SELECT \n"
    "                ST_XMin(bbox_3857) as min_x, ST_YMin(bbox_3857) as min_y,\n"
    "                ST_XMax(bbox_3857) as max_x, ST_YMax(bbox_3857) as max_y\n"
    "            FROM (\n"
    "                SELECT ST_Transform(\n"
    "                    ST_MakeEnvelope(:x1, :y1, :x2, :y2, :input_srid), 3857\n"
    "                ) as bbox_3857\n"
    "            ) as sub\n"
    "        ";

std::string build_bbox_sql(const LayerEntry& layer, std::string_view geom_expr) {
  const std::string filter = fmt::format(
      "{0} && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n"
      "            AND ST_Intersects({0}, ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))",
      layer.geom_col);
  return mvt_query_sql(layer, geom_expr, "32", filter, ":max_features", "");
}

const std::string& bbox_sql(const LayerEntry& layer, bool simplified) {
  return prebuilt().bbox[layer_index(layer)][simplified ? 1 : 0];
}

std::string strip_outer_quotes(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == '"') ++b;
  while (e > b && text[e - 1] == '"') --e;
  return std::string(text.substr(b, e - b));
}

std::string build_centroid_sql(const LayerEntry& layer) {
  return fmt::format(
      "\n"
      "        WITH layer_stats AS (\n"
      "            -- Use ST_EstimatedExtent for a fast approximation of the layer's bounding box.\n"
      "            -- This is significantly more performant than ST_Extent on large tables.\n"
      "            SELECT ST_EstimatedExtent('{table}', '{geom}') as bbox\n"
      "        )\n"
      "        SELECT\n"
      "            -- Calculate the centroid of the estimated bbox and transform it to WGS84 (lat/lon)\n"
      "            ST_Y(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lat,\n"
      "            ST_X(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lon,\n"
      "            \n"
      "            -- Extract the coordinates of the estimated bounding box\n"
      "            ST_XMin(bbox) as extent_minx,\n"
      "            ST_YMin(bbox) as extent_miny,\n"
      "            ST_XMax(bbox) as extent_maxx,\n"
      "            ST_YMax(bbox) as extent_maxy\n"
      "        FROM layer_stats\n"
      "        -- Ensure we don't proceed if the extent could not be calculated\n"
      "        WHERE bbox IS NOT NULL\n"
      "    ",
      fmt::arg("table", strip_outer_quotes(layer.table)), fmt::arg("geom", strip_outer_quotes(layer.geom_col)));
}

const std::string& centroid_sql(const LayerEntry& layer) { return prebuilt().centroid[layer_index(layer)]; }

}  // namespace vekt::korvane
