#include "korvane/catalogue.hpp"
#include "korvane/tile_sql.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace vekt::korvane;

namespace {

std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t nl = s.find('\n', start);
    out.push_back(s.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return out;
}

// Removes each placeholder value once per listed occurrence, so what is left is the constant text.
size_t constant_chars(std::string text, const std::vector<std::string>& inserted) {
  for (const auto& piece : inserted) {
    auto pos = text.find(piece);
    if (pos == std::string::npos) return 0;
    text.erase(pos, piece.size());
  }
  return text.size();
}

}  // namespace

TEST(LayerCatalogue, KeysTablesAndMinZoomsInOrder) {
  std::vector<std::string> keys = layer_keys();
  EXPECT_EQ(keys, (std::vector<std::string>{"plots", "beacons", "cadzones", "districts", "lgas", "roads"}));
  std::vector<int> mins;
  for (const auto& e : LAYER_CONFIG) mins.push_back(e.min_zoom);
  EXPECT_EQ(mins, (std::vector<int>{8, 12, 4, 3, 2, 4}));
  EXPECT_EQ(LAYER_CONFIG[0].table, "\"GIS\".\"PLOT\"");
  EXPECT_EQ(LAYER_CONFIG[0].table.size(), 12u);
  EXPECT_EQ(LAYER_CONFIG[2].table, "\"GIS\".\"CadZones\"");
  EXPECT_EQ(LAYER_CONFIG[0].properties.back(), "\"file_no\"");
  for (const auto& e : LAYER_CONFIG) EXPECT_EQ(e.properties.front(), e.id_col) << e.key;
  EXPECT_EQ(find_layer("Plots"), nullptr);
  EXPECT_EQ(py_list_repr({"cadzones", "districts"}), "['cadzones', 'districts']");
}

struct BandCase {
  long long zoom;
  const char* layer;
  std::optional<ZoomConfig> expected;
};

TEST(ZoomBands, ByZoomAndLayer) {
  const std::vector<BandCase> cases = {
      {1, "plots", std::nullopt},        {1, "lgas", std::nullopt},
      {1, "districts", std::nullopt},    {1, "cadzones", std::nullopt},
      {1, "roads", std::nullopt},        {1, "beacons", std::nullopt},
      {3, "cadzones", std::nullopt},     {4, "cadzones", ZoomConfig{1000, 2000, 512, 7200}},
      {11, "beacons", std::nullopt},     {12, "beacons", ZoomConfig{50, 10000, 256, 1800}},
      {2, "lgas", ZoomConfig{1000, 2000, 512, 7200}},
      {5, "lgas", ZoomConfig{500, 3000, 256, 7200}},
      {6, "lgas", ZoomConfig{500, 3000, 256, 7200}},
      {7, "lgas", ZoomConfig{250, 5000, 256, 7200}},
      {7, "plots", std::nullopt},        {8, "plots", ZoomConfig{250, 5000, 256, 7200}},
      {9, "plots", ZoomConfig{100, 8000, 256, 7200}},
      {10, "plots", ZoomConfig{100, 8000, 256, 7200}},
      {11, "plots", ZoomConfig{50, 10000, 256, 1800}},
      {13, "plots", ZoomConfig{10, 15000, 64, 1800}},
      {14, "plots", ZoomConfig{10, 15000, 64, 1800}},
      {15, "plots", ZoomConfig{0, 20000, 16, 1800}},
      {16, "plots", ZoomConfig{0, 20000, 16, 1800}},
      {17, "plots", ZoomConfig{0, 30000, 8, 1800}},
      {25, "plots", ZoomConfig{0, 30000, 8, 1800}},
      {5, "not-a-layer", ZoomConfig{500, 3000, 256, 7200}},
      {0, "not-a-layer", ZoomConfig{1000, 2000, 512, 7200}},
      {-1, "not-a-layer", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(get_zoom_config(c.zoom, c.layer), c.expected) << c.layer << " z" << c.zoom;
}

TEST(ZoomBands, EachCallIsItsOwnValue) {
  auto a = get_zoom_config(10, "plots");
  auto b = get_zoom_config(10, "plots");
  a->tolerance = 1;
  EXPECT_EQ(b->tolerance, 100);
}

TEST(MvtStatement, ValueErrors) {
  struct Case {
    const char* layer;
    std::optional<long long> zoom;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"nope", 10, "Unknown layer: nope"},
      {"Plots", std::nullopt, "Unknown layer: Plots"},
      {"plots", 7, "Layer plots not available at zoom level 7"},
      {"beacons", std::nullopt, "Layer beacons not available at zoom level None"},
      {"lgas", 1, "Layer lgas not available at zoom level 1"},
  };
  for (const auto& c : cases) {
    try {
      generate_mvt_sql(c.layer, c.zoom);
      ADD_FAILURE() << "no error for " << c.layer;
    } catch (const vekt::base::ValueError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(MvtStatement, TemplateLinesForPlotsAtDefaultZoom) {
  auto r = generate_mvt_sql("plots");
  EXPECT_EQ(r.zoom_config, (ZoomConfig{100, 8000, 256, 7200}));
  const std::vector<std::string> expected = {
      "",
      "    SELECT ST_AsMVT(mvt_data, 'plots', 4096, 'mvt_geom') AS mvt",
      "    FROM (",
      "        SELECT \"ID\", \"PLOT_NO\", \"STATUS\", \"AREA_SYSTEM\", \"GENERAL_LU\", \"CADZONE\", \"DETAIL_LU\", \"file_no\",",
      "            \"ID\" AS feature_id,",
      "            ST_AsMVTGeom(",
      "                ST_SimplifyPreserveTopology(\"GEOMETRY\", 100),",
      "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),",
      "                4096,",
      "                256,",
      "                true",
      "            ) AS mvt_geom",
      "        FROM \"GIS\".\"PLOT\"",
      "        WHERE ",
      "        \"GEOMETRY\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)",
      "        AND ST_Intersects(\"GEOMETRY\", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))",
      "        ",
      "        ORDER BY ST_Area(\"GEOMETRY\") DESC",
      "        LIMIT 8000",
      "    ) AS mvt_data",
      "    WHERE mvt_data.mvt_geom IS NOT NULL;",
      "    ",
  };
  EXPECT_EQ(lines_of(*r.sql), expected);
}

TEST(MvtStatement, ConstantCharacterCounts) {
  const auto& lgas = LAYER_CONFIG[4];
  // Envelope-only form at zoom 2: with every inserted value taken out (the envelope filter and the
  // simplification among them), what is left is the template's 457 constant characters.
  auto r = generate_mvt_sql("lgas", 2);
  std::string props = "\"id\", \"name\"";
  std::string sql = *r.sql;
  size_t template_only = constant_chars(
      sql, {"lgas", props, "\"id\"", "ST_SimplifyPreserveTopology(\"geometry\", 1000)", "512", "\"GIS\".\"LGAs\"",
            "\"geometry\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)", "\"geometry\"", "2000"});
  EXPECT_EQ(template_only, 457u);

  // The intersection form, alone, minus its two geometry columns.
  std::string at7 = *generate_mvt_sql("lgas", 7).sql;
  auto where = at7.find("WHERE ");
  auto order = at7.find("\n        ORDER BY");
  std::string filter = at7.substr(where + 6, order - where - 6);
  EXPECT_EQ(constant_chars(filter, {"\"geometry\"", "\"geometry\""}), 158u);

  std::string expr = "ST_SimplifyPreserveTopology(\"geometry\", 1000)";
  EXPECT_NE(sql.find(expr), std::string::npos);
  EXPECT_EQ(constant_chars(expr, {"\"geometry\"", "1000"}), 31u);
  EXPECT_EQ(build_mvt_sql(lgas, *get_zoom_config(2, "lgas"), true), sql);
}

TEST(MvtStatement, LimitFilterAndExpressionByZoom) {
  struct Case {
    const char* layer;
    std::optional<long long> zoom;
    const char* limit_line;
    int config_limit;
    bool intersects;
    const char* geom_line;
  };
  const std::vector<Case> cases = {
      {"plots", 14, "        LIMIT 15000", 15000, true, "                ST_SimplifyPreserveTopology(\"GEOMETRY\", 10),"},
      {"plots", 15, "        LIMIT 15000", 20000, true, "                \"GEOMETRY\","},
      {"plots", 17, "        LIMIT 15000", 30000, true, "                \"GEOMETRY\","},
      {"plots", 0, "        LIMIT 8000", 8000, false, "                ST_SimplifyPreserveTopology(\"GEOMETRY\", 100),"},
      {"lgas", 2, "        LIMIT 2000", 2000, false, "                ST_SimplifyPreserveTopology(\"geometry\", 1000),"},
      {"lgas", 6, "        LIMIT 3000", 3000, false, "                ST_SimplifyPreserveTopology(\"geometry\", 500),"},
      {"lgas", 7, "        LIMIT 5000", 5000, true, "                ST_SimplifyPreserveTopology(\"geometry\", 250),"},
      {"roads", 12, "        LIMIT 10000", 10000, true, "                ST_SimplifyPreserveTopology(\"GEOMETRY\", 50),"},
  };
  for (const auto& c : cases) {
    auto r = generate_mvt_sql(c.layer, c.zoom);
    auto lines = lines_of(*r.sql);
    EXPECT_EQ(r.zoom_config.feature_limit, c.config_limit) << c.layer;
    EXPECT_EQ(lines.size(), c.intersects ? 22u : 19u) << c.layer;
    EXPECT_EQ(lines[6], c.geom_line) << c.layer;
    EXPECT_EQ(lines[lines.size() - 4], c.limit_line) << c.layer;
    EXPECT_EQ(r.sql->find("ST_Intersects") != std::string::npos, c.intersects) << c.layer << " " << *c.zoom;
  }
  auto roads = lines_of(*generate_mvt_sql("roads", 12).sql);
  EXPECT_EQ(roads[3], "        SELECT \"ID\", \"ROAD_NAME\", \"ROAD_TYPE\",");
  auto env = lines_of(*generate_mvt_sql("lgas", 5).sql);
  EXPECT_EQ(env[13], "        WHERE \"geometry\" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)");
}

TEST(MvtStatement, BuiltOnceAndKept) {
  EXPECT_EQ(generate_mvt_sql("plots", 15).sql, generate_mvt_sql("plots", 16).sql);
  EXPECT_NE(generate_mvt_sql("plots", 14).sql, generate_mvt_sql("plots", 15).sql);
}

TEST(TileCoords, Table) {
  struct Case {
    long long z, x, y;
    bool ok;
  };
  const long long m = (1LL << 20) - 1;
  const std::vector<Case> cases = {
      {0, 0, 0, false}, {1, 0, 0, true},  {1, 1, 1, true},      {1, 2, 0, false},        {1, 0, 2, false},
      {20, m, m, true}, {20, m + 1, 0, false}, {20, 0, m + 1, false}, {21, 0, 0, false}, {8, -1, 0, false},
      {8, 0, -1, false}, {8, 255, 255, true}, {8, 256, 0, false}, {-3, 0, 0, false},
      {9223372036854775807LL, 0, 0, false},
  };
  for (const auto& c : cases) EXPECT_EQ(validate_tile_coords(c.z, c.x, c.y), c.ok) << c.z << "/" << c.x << "/" << c.y;
}

TEST(BboxArea, Table) {
  EXPECT_EQ(calculate_bbox_area_degrees(3, 6, 4, 7), 1.0);
  EXPECT_EQ(calculate_bbox_area_degrees(4, 7, 3, 6), 1.0);
  EXPECT_EQ(calculate_bbox_area_degrees(4, 6, 3, 7), 1.0);
  EXPECT_EQ(calculate_bbox_area_degrees(3, 6, 3, 7), 0.0);
}

TEST(OtherStatements, CharacterCounts) {
  EXPECT_EQ(TRANSFORM_SQL.size(), 359u);
  EXPECT_EQ(lines_of(TRANSFORM_SQL).size(), 10u);
  EXPECT_EQ(lines_of(TRANSFORM_SQL)[1], "            SELECT ");

  const auto& plots = LAYER_CONFIG[0];
  std::string props = "\"ID\", \"PLOT_NO\", \"STATUS\", \"AREA_SYSTEM\", \"GENERAL_LU\", \"CADZONE\", \"DETAIL_LU\", \"file_no\"";
  std::string plain = bbox_sql(plots, false);
  EXPECT_EQ(lines_of(plain).size(), 20u);
  EXPECT_EQ(constant_chars(plain, {"plots", props, "\"ID\"", "\"GEOMETRY\"", "\"GIS\".\"PLOT\"", "\"GEOMETRY\"",
                                   "\"GEOMETRY\"", "\"GEOMETRY\""}),
            615u);
  EXPECT_EQ(lines_of(plain)[16], "        LIMIT :max_features");
  EXPECT_EQ(lines_of(bbox_sql(plots, true))[6], "                ST_SimplifyPreserveTopology(\"GEOMETRY\", 50),");
  EXPECT_EQ(plain.find(';'), std::string::npos);

  std::string c = centroid_sql(plots);
  EXPECT_EQ(lines_of(c).size(), 20u);
  EXPECT_EQ(lines_of(c)[4], "            SELECT ST_EstimatedExtent('GIS\".\"PLOT', 'GEOMETRY') as bbox");
  EXPECT_EQ(constant_chars(c, {"GIS\".\"PLOT", "GEOMETRY"}), 929u);
  EXPECT_EQ(strip_outer_quotes("\"GIS\".\"CadZones\""), "GIS\".\"CadZones");
}
