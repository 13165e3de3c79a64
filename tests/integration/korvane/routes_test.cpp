// The tile service end to end: HTTP against vekt-server with real PostGIS and Redis. Hand-made
// fixture rows (ids below 1000) sit in one zoom-14 tile far from the generated data, so their tiles
// are exact; the generated `small` data serves the rest.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/command.hpp"
#include "support/env.hpp"
#include "support/free_port.hpp"
#include "support/http.hpp"
#include "support/process.hpp"
#include "support/sync_pg.hpp"
#include "support/sync_redis.hpp"

using vekt::testing::HttpResponse;
using vekt::testing::ServerProcess;
using vekt::testing::SyncPg;
using vekt::testing::SyncRedis;
using nlohmann::json;
using ojson = nlohmann::ordered_json;

namespace {

constexpr double HALF = 20037508.342789244;

struct Tile {
  int z;
  long long x, y;
  std::string path(const std::string& layer) const {
    return "/gis/" + layer + "/" + std::to_string(z) + "/" + std::to_string(x) + "/" + std::to_string(y) + ".pbf";
  }
};

Tile tile_of(double mx, double my, int z) {
  double s = 2 * HALF / std::pow(2.0, z);
  return {z, static_cast<long long>(std::floor((mx + HALF) / s)), static_cast<long long>(std::floor((HALF - my) / s))};
}

// The middle of the fixture tile at zoom 14 (south of the equator, far from the generated cadastre).
struct Fixture {
  double cx, cy;
  Tile z14, z10, z11;
};

Fixture fixture_place() {
  Tile t = tile_of(3339584.7, -2273030.9, 14);
  double s = 2 * HALF / std::pow(2.0, 14);
  double cx = -HALF + (static_cast<double>(t.x) + 0.5) * s;
  double cy = HALF - (static_cast<double>(t.y) + 0.5) * s;
  return {cx, cy, t, tile_of(cx, cy, 10), tile_of(cx, cy, 11)};
}

std::string env_or_skip(const char* name) {
  auto v = vekt::testing::env(name);
  return v ? *v : std::string();
}

std::string decode_tile(const std::string& bytes) {
  const vekt::testing::ScratchDir dir("korvane-tile");
  dir.write("tile.pbf", bytes);
  const std::string script = std::string(VEKT_SOURCE_DIR) + "/tests/js/decode.mjs";
  return vekt::testing::run_command("node " + script + " " + dir.path() + "/tile.pbf", vekt::testing::Capture::OutOnly)
      .output;
}

int count_lines(const std::string& text, const std::string& needle) {
  int n = 0;
  std::istringstream s(text);
  std::string line;
  while (std::getline(s, line))
    if (line.find(needle) != std::string::npos) ++n;
  return n;
}

// The server's log once `needle` appears on `count` lines (or after 5 s): lines written after the
// answer (background steps) may land a little later than the answer itself.
std::string log_once(const ServerProcess& server, const std::string& needle, int count = 1) {
  std::string log = server.stderr_text();
  for (int i = 0; i < 100 && count_lines(log, needle) < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log = server.stderr_text();
  }
  return log;
}

std::string detail(const HttpResponse& r) {
  try {
    return json::parse(r.body).at("detail").get<std::string>();
  } catch (...) {
    return "<no detail: " + r.body + ">";
  }
}

// The table and catalogue columns of the layers whose tiles the tests decode. Each tile feature
// carries these columns (a NULL one is left out) and the id once more as feature_id.
struct LayerColumns {
  std::string table;
  std::vector<std::string> columns;
};
const std::map<std::string, LayerColumns> TILE_COLUMNS = {
    {"plots",
     {R"("GIS"."PLOT")", {"ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no"}}},
    {"beacons", {R"("GIS"."BEACON")", {"ID", "BEACON_NO", "STATUS", "REMARK"}}},
    {"roads", {R"("GIS"."ROAD")", {"ID", "ROAD_NAME", "ROAD_TYPE"}}},
};

class Routes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto url = vekt::testing::shared_database_url();
    auto redis = vekt::testing::shared_redis();
    if (!url || !redis) return;
    place_ = fixture_place();
    pg_ = std::make_unique<SyncPg>(*url);
    const double x = place_.cx, y = place_.cy;
    auto box = [](double x0, double y0, double x1, double y1) {
      char b[256];
      std::snprintf(b, sizeof b, "ST_MakeEnvelope(%.3f, %.3f, %.3f, %.3f, 3857)", x0, y0, x1, y1);
      return std::string(b);
    };
    auto pt = [](double px, double py) {
      char b[128];
      std::snprintf(b, sizeof b, "ST_SetSRID(ST_MakePoint(%.3f, %.3f), 3857)", px, py);
      return std::string(b);
    };
    pg_->exec(R"(DELETE FROM "GIS"."PLOT" WHERE "ID" BETWEEN 1 AND 9)");
    pg_->exec(R"(DELETE FROM "GIS"."BEACON" WHERE "ID" BETWEEN 1 AND 9)");
    pg_->exec(R"(DELETE FROM "GIS"."ROAD" WHERE "ID" BETWEEN 1 AND 9)");
    // Three parcels of different sizes; the largest comes first in the tile.
    pg_->exec(R"(INSERT INTO "GIS"."PLOT" ("ID","PLOT_NO","STATUS","AREA_SYSTEM","GENERAL_LU","CADZONE","DETAIL_LU","file_no","GEOMETRY") VALUES )"
              "(1,'FX/001','Allocated',1600.00,'Residential','FX01','Low Density Residential','FIX/0001'," +
              box(x - 100, y - 100, x - 60, y - 60) + "),"
              "(2,'FX/002','Vacant',3600.00,'Commercial','FX01','Retail','FIX/0002'," + box(x, y, x + 60, y + 60) + "),"
              "(3,'FX/003','Developed',400.00,'Residential','FX01','Medium Density Residential','FIX/0003'," +
              box(x + 100, y - 100, x + 120, y - 80) + ")");
    pg_->exec(R"(INSERT INTO "GIS"."BEACON" ("ID","BEACON_NO","STATUS","REMARK","NORTHING","EASTING","GEOMETRY") VALUES )"
              "(1,'FXB1','Found','fixture'," + std::to_string(y) + "," + std::to_string(x) + "," + pt(x, y) + "),"
              "(2,'FXB2','Found','fixture'," + std::to_string(y + 60) + "," + std::to_string(x + 60) + "," +
              pt(x + 60, y + 60) + ")");
    pg_->exec(R"(INSERT INTO "GIS"."ROAD" ("ID","ROAD_NAME","ROAD_TYPE","GEOMETRY") VALUES (1,'Fixture Road','Local',)"
              "ST_SetSRID(ST_MakeLine(" + pt(x - 200, y - 150) + "," + pt(x + 200, y - 150) + "), 3857))");
    pg_->exec(R"(ANALYZE "GIS"."PLOT")");
    pg_->exec(R"(ANALYZE "GIS"."BEACON")");
    pg_->exec(R"(ANALYZE "GIS"."ROAD")");
    redis_ = std::make_unique<SyncRedis>(*redis);
    clear_redis();
    server_ = std::make_unique<ServerProcess>();
  }
  static void TearDownTestSuite() {
    server_.reset();
    if (pg_) {
      pg_->exec(R"(DELETE FROM "GIS"."PLOT" WHERE "ID" BETWEEN 1 AND 9)");
      pg_->exec(R"(DELETE FROM "GIS"."BEACON" WHERE "ID" BETWEEN 1 AND 9)");
      pg_->exec(R"(DELETE FROM "GIS"."ROAD" WHERE "ID" BETWEEN 1 AND 9)");
    }
    pg_.reset();
    redis_.reset();
  }
  void SetUp() override {
    if (!server_) GTEST_SKIP() << "DATABASE_URL, REDIS_HOST or REDIS_PORT is not set";
  }
  // Every feature of the decoded layer holds its row's catalogue columns, as the database has them.
  static void expect_rows(const json& decoded, const std::string& layer) {
    const LayerColumns& entry = TILE_COLUMNS.at(layer);
    const json& features = decoded.at(layer).at("features");
    ASSERT_FALSE(features.empty()) << layer;
    std::string ids, columns;
    for (const auto& f : features) {
      if (!ids.empty()) ids += ",";
      ids += f["properties"]["ID"].dump();
    }
    for (const auto& c : entry.columns) columns += (columns.empty() ? "\"" : ", \"") + c + "\"";
    // Each row as {column: its text or null}, keyed by id.
    json rows = json::parse(pg_->exec("SELECT json_object_agg(t.\"ID\", (SELECT json_object_agg(key, value) FROM "
                                      "json_each_text(row_to_json(t)))) FROM (SELECT " + columns + " FROM " +
                                      entry.table + " WHERE \"ID\" IN (" + ids + ")) t")
                                .at(0)
                                .value_or("{}"));
    for (const auto& f : features) {
      const json& p = f["properties"];
      SCOPED_TRACE(layer + " feature " + p.dump());
      ASSERT_TRUE(rows.contains(p["ID"].dump()));
      const json& row = rows[p["ID"].dump()];
      EXPECT_EQ(p["feature_id"], p["ID"]);
      size_t present = 1;  // feature_id
      for (const auto& c : entry.columns) {
        if (row[c].is_null()) {
          EXPECT_FALSE(p.contains(c)) << c;
          continue;
        }
        ++present;
        ASSERT_TRUE(p.contains(c)) << c;
        const std::string want = row[c].get<std::string>();
        if (p[c].is_string()) {
          EXPECT_EQ(p[c].get<std::string>(), want) << c;
        } else {
          EXPECT_EQ(p[c].dump(), json::parse(want).dump()) << c;  // a number, as the database writes it
        }
      }
      EXPECT_EQ(p.size(), present) << "only the catalogue columns and feature_id";
    }
  }
  static void clear_redis() {
    redis_->del_matching("mvt_v8:*");
    redis_->del_matching("rate_limit:*");
  }
  // Each test speaks from its own client address (the server trusts X-Forwarded-For from loopback),
  // so the rate limits of one test never touch another.
  HttpResponse get(const std::string& target, std::vector<std::pair<std::string, std::string>> headers = {}) {
    headers.emplace_back("X-Forwarded-For", client_);
    return vekt::testing::http(server_->port(), "GET", target, headers);
  }
  HttpResponse post(const std::string& target, std::vector<std::pair<std::string, std::string>> headers = {}) {
    return vekt::testing::http(server_->port(), "POST", target, headers);
  }
  static std::string next_client() {
    int n = next_client_++;
    return "10.1." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1);
  }
  std::string client_ = next_client();

  static inline Fixture place_;
  static inline std::unique_ptr<SyncPg> pg_;
  static inline std::unique_ptr<SyncRedis> redis_;
  static inline std::unique_ptr<ServerProcess> server_;
  static inline int next_client_ = 0;
};

}  // namespace

TEST_F(Routes, StartUpLinesAndLayerList) {
  EXPECT_EQ(server_->stdout_text().rfind("\xE2\x9C\x93 Binary Redis cache initialized (no UTF-8 decoding)\n"
                                         "  - Namespace: mvt_v8\n"
                                         "  - Redis: " + env_or_skip("REDIS_HOST") + ":" + env_or_skip("REDIS_PORT") +
                                             "/0\n"
                                             "  - decode_responses: False (handles binary data)\n",
                                         0),
            0u)
      << server_->stdout_text();
  auto r = get("/gis/layers/");
  ASSERT_EQ(r.status, 200);
  ojson body = ojson::parse(r.body);
  EXPECT_EQ(body["status_code"], 200);
  const ojson& data = body["data"];
  std::vector<std::string> keys;
  for (auto& [k, v] : data["layers"].items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"plots", "beacons", "cadzones", "districts", "lgas", "roads"}));
  EXPECT_EQ(data["total_layers"], 6);
  EXPECT_EQ(data["layers"]["plots"]["table"], "\"GIS\".\"PLOT\"");
  EXPECT_EQ(data["layers"]["plots"]["endpoints"].dump(),
            R"({"xyz":"/gis/plots/{z}/{x}/{y}.pbf","bbox":"/gis/plots/bbox/","info":"/gis/plots/","zoom_info":"/gis/plots/zoom-info/"})");
  EXPECT_EQ(data["usage_guide"].dump(),
            R"({"world_zoom_1_4":"Use 'lgas' layer","country_zoom_5_7":"Use 'districts' or 'lgas' layer","regional_zoom_6_10":"Use 'cadzones' layer","local_zoom_8_14":"Use 'plots' layer","detail_zoom_12_20":"Use 'beacons' layer"})");
}

TEST_F(Routes, BadRedisSettingStopsTheServerBeforeAnyLine) {
  for (const char* bad : {"abc", ""}) {
    auto o = vekt::testing::run_server_to_exit({{"REDIS_PORT", bad}});
    EXPECT_NE(o.exit_code, 0) << bad;
    EXPECT_NE(o.exit_code, -1) << bad;
    EXPECT_EQ(o.out, "") << bad;
    EXPECT_NE(o.err.find("REDIS_PORT"), std::string::npos) << o.err;
  }
}

TEST_F(Routes, PublishedDescriptions) {
  auto r = get("/openapi.json");
  ASSERT_EQ(r.status, 200);
  ojson api = ojson::parse(r.body);
  struct Op {
    std::string path, method, description;
  };
  const std::vector<Op> ops = {
      {"/gis/{layer_name}/{z}/{x}/{y}.pbf", "get", "Serve vector tiles with proper zoom-out support."},
      {"/gis/{layer_name}/zoom-info/", "get", "Get zoom level information for a layer."},
      {"/gis/{layer_name}/bbox/", "get", "Serve vector tiles for custom bounding box."},
      {"/gis/layers/", "get", "Get list of available layers and their configurations."},
      {"/gis/cache/invalidate/{layer_name}", "post",
       "Manually invalidate cache for a specific layer.\nUseful after bulk data updates or for testing."},
      {"/gis/health/", "get", "Health check endpoint for monitoring."},
      {"/gis/{layer_name}/", "get", "Get layer centroid and suggested tile coordinates."},
  };
  std::vector<std::string> paths;
  for (auto& [p, v] : api["paths"].items())
    if (p.rfind("/gis/", 0) == 0) paths.push_back(p);
  ASSERT_EQ(paths.size(), ops.size());
  for (size_t i = 0; i < ops.size(); ++i) {
    EXPECT_EQ(paths[i], ops[i].path);
    const ojson& op = api["paths"][ops[i].path][ops[i].method];
    EXPECT_EQ(op["description"], ops[i].description) << ops[i].path;
    EXPECT_EQ(op["tags"].dump(), R"(["GIS Tiles"])") << ops[i].path;
  }
  std::vector<std::string> bbox_params;
  for (const auto& p : api["paths"]["/gis/{layer_name}/bbox/"]["get"]["parameters"]) bbox_params.push_back(p["name"]);
  EXPECT_EQ(bbox_params, (std::vector<std::string>{"layer_name", "minx", "miny", "maxx", "maxy", "srid", "max_features",
                                                   "simplify"}));
}

TEST_F(Routes, ZoomInfo) {
  auto r = get("/gis/plots/zoom-info/");
  ASSERT_EQ(r.status, 200);
  ojson data = ojson::parse(r.body)["data"];
  EXPECT_EQ(data["layer"], "plots");
  EXPECT_EQ(data["min_zoom"], 8);
  const ojson& z = data["zoom_levels"];
  EXPECT_EQ(z.size(), 20u);
  EXPECT_EQ(z["1"].dump(), R"({"available":false})");
  EXPECT_EQ(z["7"].dump(), R"({"available":false})");
  EXPECT_EQ(z["8"].dump(), R"({"available":true,"tolerance":250,"feature_limit":5000,"simplification":"moderate"})");
  EXPECT_EQ(z["10"].dump(), R"({"available":true,"tolerance":100,"feature_limit":8000,"simplification":"light"})");
  EXPECT_EQ(z["16"].dump(), R"({"available":true,"tolerance":0,"feature_limit":20000,"simplification":"none"})");
  EXPECT_EQ(z["20"].dump(), R"({"available":true,"tolerance":0,"feature_limit":30000,"simplification":"none"})");
  EXPECT_EQ(data["recommendations"].dump(),
            R"({"world_view":"Use 'lgas' or 'districts' for zoom 1-6","regional_view":"Use 'cadzones' for zoom 4-10","detailed_view":"Use 'plots' for zoom 8+","precise_view":"Use 'beacons' for zoom 12+"})");
  ojson lgas = ojson::parse(get("/gis/lgas/zoom-info/").body)["data"]["zoom_levels"];
  EXPECT_EQ(lgas["4"]["simplification"], "heavy");
  EXPECT_EQ(lgas["5"]["simplification"], "moderate");
  EXPECT_EQ(lgas["9"]["simplification"], "light");
}

TEST_F(Routes, HealthWithRedisUp) {
  auto r = get("/gis/health/");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body,
            R"({"status":"healthy","cache_status":"healthy","available_layers":["plots","beacons","cadzones","districts","lgas","roads"],"zoom_support":"1-20 with layer-specific minimums"})");
}

TEST_F(Routes, MatchingAndRefusals) {
  struct Case {
    const char* method;
    std::string target;
    int status;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {"GET", "/gis/zoom-info/", 404, "Layer 'zoom-info' not found"},
      {"GET", "/gis/cache/", 404, "Layer 'cache' not found"},
      {"GET", "/gis/PLOTS/", 404, "Layer 'PLOTS' not found"},
      {"GET", "/gis/Plots/zoom-info/", 404, "Layer 'Plots' not found"},
      {"GET", "/gis/nope/bbox/?minx=0&miny=0&maxx=0.1&maxy=0.1", 404, "Layer 'nope' not found"},
      {"GET", "/gis/plots/8/1/2", 404, "Not Found"},
      {"GET", "/gis/plots/0/0/0.pbf", 400, "Invalid tile coordinates: z=0, x=0, y=0"},
      {"GET", "/gis/plots/21/0/0.pbf", 400, "Invalid tile coordinates: z=21, x=0, y=0"},
      {"GET", "/gis/plots/8/256/0.pbf", 400, "Invalid tile coordinates: z=8, x=256, y=0"},
      {"GET", "/gis/plots/8/0/256.pbf", 400, "Invalid tile coordinates: z=8, x=0, y=256"},
      {"GET", "/gis/plots/8/-1/0.pbf", 400, "Invalid tile coordinates: z=8, x=-1, y=0"},
      {"GET", "/gis/beacons/25/0/0.pbf", 400, "Invalid tile coordinates: z=25, x=0, y=0"},
      {"GET", "/gis/plots/99999999999999999999/0/0.pbf", 400,
       "Invalid tile coordinates: z=99999999999999999999, x=0, y=0"},
      {"GET", "/gis/nope/0/0/0.pbf", 404, "Layer 'nope' not found"},
  };
  auto send = [&](const char* method, const std::string& target) {
    return std::string(method) == "GET" ? get(target) : post(target);
  };
  for (const auto& c : cases) {
    HttpResponse r = send(c.method, c.target);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.target << " " << r.body;
    EXPECT_EQ(detail(r), c.detail) << c.target;
  }

  // The framework's own answers, whole: a 405 names the route's method, a 307 keeps the query, a
  // 422 lists every parameter that failed (path before query, each in its declared order).
  const std::string origin = "http://127.0.0.1:" + std::to_string(server_->port());
  auto error = [](const std::string& in, const std::string& name, const std::string& msg, const std::string& type) {
    return R"({"loc":[")" + in + R"(",")" + name + R"("],"msg":")" + msg + R"(","type":")" + type + R"("})";
  };
  const std::string integer = "value is not a valid integer";
  struct Answer {
    const char* method;
    std::string target;
    int status;
    std::string header, value;  // "" = no header checked
    std::string body;
  };
  const std::vector<Answer> answers = {
      {"GET", "/gis/cache/invalidate/all", 405, "Allow", "POST", R"({"detail":"Method Not Allowed"})"},
      {"POST", "/gis/plots/1/0/0.pbf", 405, "Allow", "GET", R"({"detail":"Method Not Allowed"})"},
      {"GET", "/gis/layers", 307, "Location", origin + "/gis/layers/", ""},
      {"GET", "/gis/plots/bbox?minx=0&miny=0&maxx=.1&maxy=.1", 307, "Location",
       origin + "/gis/plots/bbox/?minx=0&miny=0&maxx=.1&maxy=.1", ""},
      {"GET", "/gis/plots/a/1/2.5.pbf", 422, "", "",
       R"({"detail":[)" + error("path", "z", integer, "type_error.integer") + "," +
           error("path", "y", integer, "type_error.integer") + "]}"},
      {"GET", "/gis/plots/bbox/?minx=west&miny=0&maxx=0.1&srid=4326.5&max_features=9&simplify=maybe", 422, "", "",
       R"({"detail":[)" + error("query", "minx", "value is not a valid float", "type_error.float") + "," +
           error("query", "maxy", "field required", "value_error.missing") + "," +
           error("query", "srid", integer, "type_error.integer") + "," +
           error("query", "simplify", "value could not be parsed to a boolean", "type_error.bool") + "]}"},
  };
  for (const auto& a : answers) {
    HttpResponse r = send(a.method, a.target);
    EXPECT_EQ(r.status, a.status) << a.method << " " << a.target;
    EXPECT_EQ(r.body, a.body) << a.target;
    if (!a.header.empty()) {
      EXPECT_EQ(r.header(a.header).value_or("<none>"), a.value) << a.target;
    }
  }
  auto leading_zero = get(Tile{8, 1, 2}.path("plots").replace(11, 1, "08"));
  EXPECT_TRUE(leading_zero.status == 200 || leading_zero.status == 204) << leading_zero.status;
}

TEST_F(Routes, ZoomedOutLayersAnswerEmpty) {
  struct Case {
    std::string target;
    int info_lines;
    std::string second;
  };
  const std::vector<Case> cases = {
      {"/gis/beacons/5/3/3.pbf", 2, "Try these layers at zoom 5: ['cadzones', 'districts', 'lgas', 'roads']"},
      {"/gis/lgas/1/0/0.pbf", 1, ""},
      {"/gis/plots/7/0/0.pbf", 1, ""},
  };
  for (const auto& c : cases) {
    std::string before = server_->stderr_text();
    auto r = get(c.target);
    EXPECT_EQ(r.status, 204) << c.target;
    EXPECT_TRUE(r.body.empty());
    EXPECT_FALSE(r.header("Content-Type")) << c.target;
    EXPECT_FALSE(r.header("Content-Length")) << c.target;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string log = server_->stderr_text().substr(before.size());
    EXPECT_EQ(count_lines(log, "INFO:vekt.korvane:"), c.info_lines) << log;
    if (!c.second.empty()) {
      EXPECT_EQ(count_lines(log, "INFO:vekt.korvane:" + c.second), 1) << log;
    }
  }
  std::string log = server_->stderr_text();
  EXPECT_EQ(count_lines(log, "INFO:vekt.korvane:Layer plots not available at zoom 7: Layer plots not available at zoom level 7"), 1);
}

TEST_F(Routes, FreshTileThenCacheHit) {
  const Tile t = place_.z14;
  const std::string key = "mvt_v8:plots:14:" + std::to_string(t.x) + ":" + std::to_string(t.y);
  redis_->cmd({"DEL", key});
  auto fresh = get(t.path("plots"));
  ASSERT_EQ(fresh.status, 200) << fresh.body;
  EXPECT_EQ(fresh.header("Content-Type"), "application/vnd.mapbox-vector-tile");
  EXPECT_FALSE(fresh.header("Cache-Control"));
  EXPECT_FALSE(fresh.header("X-Cache"));
  EXPECT_EQ(redis_->cmd({"GET", key}), fresh.body);
  long long ttl = redis_->integer({"TTL", key});
  EXPECT_GT(ttl, 0);
  EXPECT_LE(ttl, 1800);

  json decoded = json::parse(decode_tile(fresh.body));
  ASSERT_TRUE(decoded.contains("plots")) << decoded.dump();
  EXPECT_EQ(decoded.size(), 1u);
  const json& layer = decoded["plots"];
  EXPECT_EQ(layer["extent"], 4096);
  ASSERT_EQ(layer["length"], 3);
  std::vector<long long> ids;
  for (const auto& f : layer["features"]) {
    EXPECT_EQ(f["type"], 3);
    ids.push_back(f["properties"]["ID"].get<long long>());
  }
  EXPECT_EQ(ids, (std::vector<long long>{2, 1, 3}));  // largest area first
  EXPECT_EQ(layer["features"][0]["properties"]["PLOT_NO"], "FX/002");
  expect_rows(decoded, "plots");

  auto hit = get(t.path("plots"));
  ASSERT_EQ(hit.status, 200);
  EXPECT_EQ(hit.body, fresh.body);
  EXPECT_EQ(hit.header("Cache-Control"), "public, max-age=1800");
  EXPECT_EQ(hit.header("X-Cache"), "HIT");
  std::vector<std::string> names;
  for (const auto& [k, v] : hit.headers) names.push_back(k);
  auto cc = std::find(names.begin(), names.end(), "Cache-Control");
  auto xc = std::find(names.begin(), names.end(), "X-Cache");
  EXPECT_LT(cc - names.begin(), xc - names.begin());

  // The band's lifetime, not the key's remaining life: 7200 up to zoom 10, 1800 above.
  for (const auto& [tile, age] : std::vector<std::pair<Tile, std::string>>{{place_.z10, "7200"}, {place_.z11, "1800"}}) {
    auto first = get(tile.path("plots"));
    ASSERT_EQ(first.status, 200);
    auto second = get(tile.path("plots"));
    EXPECT_EQ(second.header("Cache-Control"), "public, max-age=" + age);
    long long tl = redis_->integer({"TTL", "mvt_v8:plots:" + std::to_string(tile.z) + ":" + std::to_string(tile.x) +
                                              ":" + std::to_string(tile.y)});
    EXPECT_GT(tl, std::stoll(age) - 100);
    EXPECT_LE(tl, std::stoll(age));
  }

  // The other layers of the fixture tile, decoded the same way.
  for (const auto& [layer_name, expected] : std::vector<std::pair<std::string, int>>{{"beacons", 2}, {"roads", 1}}) {
    auto r = get(t.path(layer_name));
    ASSERT_EQ(r.status, 200) << layer_name;
    json d = json::parse(decode_tile(r.body));
    EXPECT_EQ(d[layer_name]["length"], expected) << d.dump();
    expect_rows(d, layer_name);
  }
}

TEST_F(Routes, EmptyTilesAreNeverCached) {
  const Tile t = tile_of(-11131949.0, 4865942.0, 14);  // open country, no rows
  const std::string key = "mvt_v8:plots:14:" + std::to_string(t.x) + ":" + std::to_string(t.y);
  std::string before = server_->stderr_text();
  for (int i = 0; i < 2; ++i) {
    auto r = get(t.path("plots"));
    EXPECT_EQ(r.status, 204);
    EXPECT_TRUE(r.body.empty());
    EXPECT_FALSE(r.header("Content-Type"));
    EXPECT_FALSE(r.header("Content-Length"));
    EXPECT_FALSE(redis_->cmd({"GET", key}));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string log = server_->stderr_text().substr(before.size());
  EXPECT_EQ(count_lines(log, "INFO:vekt.korvane:Empty tile generated for plots/14/" + std::to_string(t.x) + "/" +
                                 std::to_string(t.y) + " - bbox: {'minx': "),
            2)
      << log;
}

TEST_F(Routes, TileRateLimit) {
  const std::string rate_key = "rate_limit:gis:" + client_;
  // The first request opens the address's window. -1 is a counter without expiry; -2 only means
  // its window ended since the request.
  EXPECT_EQ(get("/gis/plots/7/0/0.pbf").status, 204);  // cheap: a zoomed-out 204
  long long window = redis_->integer({"PTTL", rate_key});
  EXPECT_NE(window, -1) << "the counter must always have its expiry";
  EXPECT_LE(window, 1000);
  // 39 requests already counted in a window that outlasts the test's own speed: the 40th is still
  // admitted, the 41st refused, and the count never renews the window.
  redis_->cmd({"SET", rate_key, "39", "PX", "60000"});
  EXPECT_EQ(get("/gis/plots/7/0/0.pbf").status, 204);
  EXPECT_GT(redis_->integer({"PTTL", rate_key}), 1000);
  auto refused = get("/gis/plots/7/0/0.pbf");
  EXPECT_EQ(refused.status, 429);
  EXPECT_EQ(refused.body, R"({"detail":"Too many map requests. Please slow down panning."})");
  // Once the window ends the address is admitted again.
  redis_->cmd({"PEXPIRE", rate_key, "1000"});
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(get("/gis/plots/7/0/0.pbf").status, 204);

  // A counter left without an expiry (by an older writer, a lost command) heals at the next request.
  const std::string stale = "rate_limit:gis:10.250.0.1";
  redis_->cmd({"SET", stale, "500"});
  client_ = "10.250.0.1";
  EXPECT_EQ(get("/gis/plots/7/0/0.pbf").status, 429);
  long long pttl = redis_->integer({"PTTL", stale});
  EXPECT_GT(pttl, 0);
  EXPECT_LE(pttl, 1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(get("/gis/plots/7/0/0.pbf").status, 204);
}

TEST_F(Routes, BboxRateLimitIsSeparate) {
  const std::string bbox = "/gis/nope/bbox/?minx=0&miny=0&maxx=0.1&maxy=0.1";  // counted, then 404
  const std::string rate_key = "rate_limit:gis:bbox:" + client_;
  EXPECT_EQ(get(bbox).status, 404);
  EXPECT_NE(redis_->integer({"PTTL", rate_key}), -1);
  // 19 counted in a window that outlasts the test: the 20th is admitted, the 21st refused.
  redis_->cmd({"SET", rate_key, "19", "PX", "60000"});
  EXPECT_EQ(get(bbox).status, 404);
  auto refused = get(bbox);
  EXPECT_EQ(refused.status, 429);
  EXPECT_EQ(refused.body, R"({"detail":"Too many bbox requests."})");
  EXPECT_NE(get("/gis/plots/7/0/0.pbf").status, 429);  // the tile counter is its own
  EXPECT_NE(redis_->integer({"PTTL", rate_key}), -1);
}

TEST_F(Routes, BboxChecks) {
  struct Case {
    std::string query;
    int status;
    std::string detail;
  };
  const std::string too_large = "Bounding box too large. Maximum area: 1.0 square degrees";
  const std::vector<Case> cases = {
      {"minx=0&miny=0&maxx=1&maxy=1&srid=4269", 400, "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported"},
      {"minx=0&miny=0&maxx=1&maxy=1&srid=99999999999999999999", 400,
       "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported"},
      {"minx=-181&miny=-91&maxx=0&maxy=0", 400, "Invalid longitude values"},
      {"minx=0&miny=-91&maxx=1&maxy=0", 400, "Invalid latitude values"},
      {"minx=nan&miny=0&maxx=1&maxy=1", 400, "Invalid longitude values"},
      {"minx=0&miny=0&maxx=1&maxy=1.0001", 400, too_large},
      {"minx=-180&miny=0&maxx=180&maxy=1", 400, too_large},
      // Web Mercator boxes: same size limit, finite coordinates on the map only.
      {"minx=-20037508&miny=-20037508&maxx=20037508&maxy=20037508&srid=3857", 400, too_large},
      {"minx=nan&miny=0&maxx=1000&maxy=1000&srid=3857", 400, "Invalid coordinate values"},
      {"minx=0&miny=0&maxx=inf&maxy=1000&srid=3857", 400, "Invalid coordinate values"},
      {"minx=0&miny=0&maxx=30000000&maxy=1000&srid=3857", 400, "Invalid coordinate values"},
      // Client mistakes that used to reach the database.
      {"minx=7.39&miny=8.99&maxx=7.41&maxy=9.01&max_features=-1", 400, "max_features must be non-negative"},
      {"minx=7.4&miny=8.99&maxx=7.4&maxy=9.01", 400, "Bounding box has zero width or height"},
      {"minx=823000&miny=1006000&maxx=825000&maxy=1006000&srid=3857", 400, "Bounding box has zero width or height"},
  };
  for (const auto& c : cases) {
    client_ = "10.2.0." + std::to_string(&c - cases.data() + 1);
    auto r = get("/gis/plots/bbox/?" + c.query);
    EXPECT_EQ(r.status, c.status) << c.query << " " << r.body;
    EXPECT_EQ(detail(r), c.detail) << c.query;
  }
  client_ = "10.2.1.1";
  EXPECT_EQ(get("/gis/plots/bbox/?minx=0&miny=0&maxx=1&maxy=1").status, 204);  // exactly 1.0 passes; open sea
  EXPECT_EQ(get("/gis/plots/bbox/?minx=7.39&miny=8.99&maxx=7.41&maxy=9.01&max_features=0").status, 204);
}

TEST_F(Routes, BboxTilesAndTheirCacheKeys) {
  for (const auto& k : redis_->keys("mvt_v8:bbox:*")) redis_->cmd({"DEL", k});
  const std::string q = "/gis/plots/bbox/?minx=7.39&miny=8.99&maxx=7.41&maxy=9.01";
  auto miss = get(q);
  ASSERT_EQ(miss.status, 200) << miss.body;
  EXPECT_EQ(miss.header("Cache-Control"), "public, max-age=1800");
  EXPECT_EQ(miss.header("X-Cache"), "MISS");
  auto keys = redis_->keys("mvt_v8:bbox:plots:*");
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0], "mvt_v8:bbox:plots:822651:1004894:824877:1007148:5000:True");
  EXPECT_EQ(redis_->cmd({"GET", keys[0]}), miss.body);
  long long ttl = redis_->integer({"TTL", keys[0]});
  EXPECT_GT(ttl, 0);
  EXPECT_LE(ttl, 1800);
  json d = json::parse(decode_tile(miss.body));
  ASSERT_TRUE(d.contains("plots"));
  EXPECT_GT(d["plots"]["length"].get<int>(), 0);
  expect_rows(d, "plots");

  auto hit = get(q);
  EXPECT_EQ(hit.status, 200);
  EXPECT_EQ(hit.body, miss.body);
  EXPECT_EQ(hit.header("Cache-Control"), "public, max-age=1800");
  EXPECT_EQ(hit.header("X-Cache"), "HIT");

  // The same bounds in metres share the entry.
  auto metres = get("/gis/plots/bbox/?minx=822651.1&miny=1004894.1&maxx=824877.1&maxy=1007148.1&srid=3857");
  EXPECT_EQ(metres.header("X-Cache"), "HIT");
  EXPECT_EQ(metres.body, miss.body);

  get(q + "&max_features=20000&simplify=no");
  EXPECT_EQ(redis_->keys("mvt_v8:bbox:plots:*:15000:False").size(), 1u);
}

TEST_F(Routes, Centroid) {
  redis_->cmd({"DEL", "mvt_v8:centroid:plots"});
  auto fresh = get("/gis/plots/");
  ASSERT_EQ(fresh.status, 200) << fresh.body;
  ojson body = ojson::parse(fresh.body);
  const ojson& data = body["data"];
  std::vector<std::string> keys;
  for (auto& [k, v] : data.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"layer", "centroid_wgs84", "extent_web_mercator", "suggested_tile",
                                            "suggested_tile_bbox", "tile_url", "layer_config"}));
  const ojson& t = data["suggested_tile"];
  EXPECT_EQ(t["z"], 16);
  EXPECT_EQ(data["tile_url"], "/gis/plots/16/" + t["x"].dump() + "/" + t["y"].dump() + ".pbf");
  EXPECT_EQ(data["layer_config"].dump(),
            R"({"min_zoom":8,"properties":["\"ID\"","\"PLOT_NO\"","\"STATUS\"","\"AREA_SYSTEM\"","\"GENERAL_LU\"","\"CADZONE\"","\"DETAIL_LU\"","\"file_no\""]})");
  auto cached = redis_->cmd({"GET", "mvt_v8:centroid:plots"});
  ASSERT_TRUE(cached);
  EXPECT_NE(cached->find("{\"layer\": \"plots\", \"centroid_wgs84\": {\"latitude\": "), std::string::npos) << *cached;
  long long ttl = redis_->integer({"TTL", "mvt_v8:centroid:plots"});
  EXPECT_GT(ttl, 14000);
  EXPECT_LE(ttl, 14400);

  auto again = get("/gis/plots/");
  EXPECT_EQ(again.body, fresh.body);
  // A value that is not UTF-8 JSON text is answered afresh and replaced.
  const std::vector<std::string> unusable = {
      "\xff",
      "{\"layer\": \"\xff\"}",          // JSON syntax, but not UTF-8
      "\xEF\xBB\xBF" + *cached,         // a byte-order mark in front of the stored answer
      "{\"layer\": \"plots\"",           // cut short
  };
  for (const auto& bad : unusable) {
    redis_->cmd({"SET", "mvt_v8:centroid:plots", bad, "EX", "100"});
    auto healed = get("/gis/plots/");
    EXPECT_EQ(healed.status, 200);
    EXPECT_EQ(healed.body, fresh.body);
    EXPECT_EQ(redis_->cmd({"GET", "mvt_v8:centroid:plots"}), cached) << bad;
  }
}

TEST_F(Routes, InvalidationDeletesExactlyItsFamily) {
  clear_redis();
  const std::vector<std::string> seeded = {
      "mvt_v8:plots:14:1:1",      "mvt_v8:plots:8:2:3",         "mvt_v8:plots:20:5:5",
      "mvt_v8:roads:4:1:1",       "mvt_v8:bbox:plots:1:2:3:4:5000:True", "mvt_v8:centroid:plots",
      "mvt_v8:health_check",      "rate_limit:gis:10.9.9.9",    "rate_limit:gis:bbox:10.9.9.9",
      "other:plots:1:1:1"};
  for (const auto& k : seeded) redis_->cmd({"SET", k, "v", "EX", "600"});

  auto r = post("/gis/cache/invalidate/plots");
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body,
            R"({"status_code":200,"message":"Cache for layer 'plots' invalidated successfully. 3 keys deleted.","data":{"layer":"plots","deleted_count":3}})");
  EXPECT_EQ(redis_->keys("mvt_v8:plots:*").size(), 0u);
  EXPECT_TRUE(redis_->cmd({"GET", "mvt_v8:bbox:plots:1:2:3:4:5000:True"}));
  EXPECT_TRUE(redis_->cmd({"GET", "mvt_v8:centroid:plots"}));

  auto bad = post("/gis/cache/invalidate/ALL");
  EXPECT_EQ(bad.status, 404);
  EXPECT_EQ(detail(bad),
            "Layer 'ALL' not found. Valid layers: ['plots', 'beacons', 'cadzones', 'districts', 'lgas', 'roads']");

  auto all = post("/gis/cache/invalidate/all");
  ASSERT_EQ(all.status, 200);
  EXPECT_EQ(all.body,
            R"({"status_code":200,"message":"All cache invalidated successfully. 4 keys deleted.","data":{"deleted_count":4}})");
  EXPECT_EQ(redis_->keys("mvt_v8:*").size(), 0u);
  EXPECT_EQ(redis_->keys("rate_limit:*").size(), 2u);
  EXPECT_TRUE(redis_->cmd({"GET", "other:plots:1:1:1"}));

  auto empty = post("/gis/cache/invalidate/all");
  EXPECT_EQ(empty.body,
            R"({"status_code":200,"message":"All cache invalidated successfully. 0 keys deleted.","data":{"deleted_count":0}})");
  std::string log = log_once(*server_, "INFO:vekt.korvane:Background task: Invalidated ALL cache entries: 0 keys");
  EXPECT_EQ(count_lines(log, "INFO:vekt.korvane:Background task: Invalidated 3 cache entries for layer 'plots'"), 1);
  EXPECT_EQ(count_lines(log, "INFO:vekt.korvane:Background task: Invalidated ALL cache entries: 4 keys deleted"), 1);
  redis_->cmd({"DEL", "other:plots:1:1:1"});
}

TEST_F(Routes, InvalidationGuardAndOneAtATime) {
  // Without an admin token, only this machine may call it; a forwarded remote client may not.
  auto remote = post("/gis/cache/invalidate/all", {{"X-Forwarded-For", "203.0.113.7"}});
  EXPECT_EQ(remote.status, 403);

  // A second invalidation while one is running is refused.
  redis_->cmd({"CLIENT", "PAUSE", "1500"});
  auto first = std::async(std::launch::async, [&] { return post("/gis/cache/invalidate/all"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto second = post("/gis/cache/invalidate/plots");
  EXPECT_EQ(second.status, 409);
  EXPECT_EQ(second.body, R"({"detail":"Cache invalidation already running"})");
  EXPECT_EQ(first.get().status, 200);

  ServerProcess guarded(std::map<std::string, std::string>{{"VEKT_ADMIN_TOKEN", "s3cret-token"}});
  struct Case {
    std::vector<std::pair<std::string, std::string>> headers;
    int status;
  };
  const std::vector<Case> cases = {
      {{}, 401},
      {{{"Authorization", "Bearer wrong"}}, 401},
      {{{"Authorization", "Basic s3cret-token"}}, 401},
      {{{"Authorization", "Bearer s3cret-token"}}, 200},
      {{{"Authorization", "bearer s3cret-token"}}, 200},  // the scheme's name is case-insensitive
      {{{"Authorization", "BEARER s3cret-token"}}, 200},
      {{{"Authorization", "Bearer"}}, 401},
      {{{"Authorization", "Bearers3cret-token"}}, 401},
      {{{"Authorization", "Bearer s3cret-token"}, {"X-Forwarded-For", "203.0.113.7"}}, 200},
  };
  for (const auto& c : cases)
    EXPECT_EQ(vekt::testing::http(guarded.port(), "POST", "/gis/cache/invalidate/roads", c.headers).status, c.status);
}

TEST_F(Routes, StatementHeldUpPastItsLimit) {
  SyncPg locker(*vekt::testing::env("DATABASE_URL"));
  locker.exec("BEGIN");
  locker.exec(R"(LOCK TABLE "GIS"."LGAs" IN ACCESS EXCLUSIVE MODE)");
  const Tile t = tile_of(823770.0, 1006016.0, 5);
  auto r = get(t.path("lgas"));
  EXPECT_EQ(r.status, 408);
  EXPECT_EQ(detail(r), "Tile generation timeout at zoom 5");
  // No backend is still running the abandoned statement.
  // (The cancel request travels on its own connection: give it a bounded moment to land.)
  std::optional<std::string> running;
  for (int i = 0; i < 50; ++i) {
    running = pg_->exec(
                     "SELECT count(*) FROM pg_stat_activity WHERE state = 'active' AND query LIKE '%ST_AsMVT%' "
                     "AND pid <> pg_backend_pid()")
                  .at(0);
    if (running == "0") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(running, "0");
  locker.exec("ROLLBACK");
  auto after = get(t.path("lgas"));
  EXPECT_EQ(after.status, 200);
  std::string log = server_->stderr_text();
  EXPECT_EQ(count_lines(log, "ERROR:vekt.korvane:Timeout generating tile lgas/5/" + std::to_string(t.x) + "/" +
                                 std::to_string(t.y)),
            1);
}

TEST_F(Routes, TransformationHeldUpPastItsLimit) {
  // The coordinate transformation reads spatial_ref_sys on a backend's first use of the system:
  // holding that table up on a fresh server shows the transformation's time limit.
  SyncPg locker(*vekt::testing::env("DATABASE_URL"));
  locker.exec("BEGIN");
  locker.exec("LOCK TABLE spatial_ref_sys IN ACCESS EXCLUSIVE MODE");
  ServerProcess fresh;
  const std::string q = "/gis/roads/bbox/?minx=7.30&miny=8.90&maxx=7.31&maxy=8.91";
  auto r = vekt::testing::http(fresh.port(), "GET", q);
  locker.exec("ROLLBACK");
  EXPECT_EQ(r.status, 408);
  EXPECT_EQ(detail(r), "Query timeout");
  EXPECT_EQ(count_lines(fresh.stderr_text(), "ERROR:vekt.korvane:Timeout generating bbox tile for roads"), 1);
  EXPECT_NE(vekt::testing::http(fresh.port(), "GET", q).status, 408);
}

TEST_F(Routes, RedisPausedTilesStillServed) {
  const Tile t = place_.z14;
  redis_->cmd({"DEL", "mvt_v8:roads:14:" + std::to_string(t.x) + ":" + std::to_string(t.y)});
  std::string before = server_->stderr_text();
  redis_->cmd({"CLIENT", "PAUSE", "6500"});
  auto r = get(t.path("roads"));
  EXPECT_EQ(r.status, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string log = server_->stderr_text().substr(before.size());
  EXPECT_EQ(count_lines(log, "WARNING:vekt.korvane:Rate limit check failed: "), 1) << log;
  EXPECT_EQ(count_lines(log, "WARNING:vekt.korvane:Cache get failed for roads:14:" + std::to_string(t.x) + ":" +
                                 std::to_string(t.y) + ": "),
            1)
      << log;
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  // Afterwards every cached tile answers with its own bytes.
  auto a = get(place_.z14.path("plots"));
  auto b = get(place_.z10.path("plots"));
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(b.status, 200);
  EXPECT_NE(a.body, b.body);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(get(place_.z14.path("plots")).body, a.body);
    EXPECT_EQ(get(place_.z10.path("plots")).body, b.body);
  }
}

TEST_F(Routes, RedisDownTilesStillServed) {
  ServerProcess dead(std::map<std::string, std::string>{{"REDIS_PORT", std::to_string(vekt::testing::free_port())}});
  const Tile t = place_.z14;
  auto r = vekt::testing::http(dead.port(), "GET", t.path("plots"));
  EXPECT_EQ(r.status, 200);
  auto health = vekt::testing::http(dead.port(), "GET", "/gis/health/");
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(json::parse(health.body)["status"], "healthy");
  EXPECT_EQ(json::parse(health.body)["cache_status"], "unhealthy");
  auto inv = vekt::testing::http(dead.port(), "POST", "/gis/cache/invalidate/plots");
  EXPECT_EQ(inv.status, 503);
  EXPECT_EQ(inv.body, R"({"detail":"Cache invalidation failed"})");
  auto centroid = vekt::testing::http(dead.port(), "GET", "/gis/plots/");
  EXPECT_EQ(centroid.status, 200);
  std::string log = log_once(dead, "ERROR:vekt.korvane:Background task failed to invalidate cache for layer 'plots': ");
  EXPECT_GE(count_lines(log, "WARNING:vekt.korvane:Rate limit check failed: "), 1) << log;
  EXPECT_GE(count_lines(log, "WARNING:vekt.korvane:Cache get failed for plots:14:"), 1) << log;
  EXPECT_GE(count_lines(log, "WARNING:vekt.korvane:Cache set failed for plots:14:"), 1) << log;
  EXPECT_EQ(count_lines(log, "ERROR:vekt.korvane:Background task failed to invalidate cache for layer 'plots': "), 1);
}

TEST_F(Routes, DatabaseDown) {
  std::string url = *vekt::testing::env("DATABASE_URL");
  url = url.substr(0, url.rfind('/')) + "/korvane_no_such_database";
  ServerProcess server(std::map<std::string, std::string>{{"DATABASE_URL", url}});
  auto health = vekt::testing::http(server.port(), "GET", "/gis/health/");
  EXPECT_EQ(json::parse(health.body)["status"], "healthy");
  auto tile = vekt::testing::http(server.port(), "GET", place_.z14.path("beacons"));
  EXPECT_EQ(tile.status, 500);
  EXPECT_EQ(detail(tile), "Database error");
  auto bbox = vekt::testing::http(server.port(), "GET", "/gis/plots/bbox/?minx=7.39&miny=8.99&maxx=7.395&maxy=8.995");
  // The database failed, not the client: never a 400.
  EXPECT_EQ(bbox.status, 500);
  EXPECT_EQ(detail(bbox), "Database error");
  for (const auto& k : redis_->keys("mvt_v8:centroid:*")) redis_->cmd({"DEL", k});
  auto centroid = vekt::testing::http(server.port(), "GET", "/gis/roads/");
  EXPECT_EQ(centroid.status, 500);
  EXPECT_EQ(detail(centroid), "Database error");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string log = server.stderr_text();
  EXPECT_EQ(count_lines(log, "ERROR:vekt.korvane:Database error for tile beacons/14/"), 1) << log;
  EXPECT_EQ(count_lines(log, "ERROR:vekt.korvane:Coordinate transformation error: "), 1) << log;
  EXPECT_EQ(count_lines(log, "ERROR:vekt.korvane:Error calculating centroid for roads: "), 1) << log;
}

TEST_F(Routes, CentroidWithoutAnEstimateIsNotFound) {
  // A database with the schema but no statistics: the table has no extent estimate.
  const std::string db = "korvane_unanalysed";
  pg_->exec("DROP DATABASE IF EXISTS " + db);
  pg_->exec("CREATE DATABASE " + db);
  std::string url = *vekt::testing::env("DATABASE_URL");
  url = url.substr(0, url.rfind('/')) + "/" + db;
  {
    SyncPg fresh(url);
    std::ifstream f(std::string(VEKT_SOURCE_DIR) + "/sql/schema.sql");
    std::stringstream s;
    s << f.rdbuf();
    fresh.exec(s.str());
  }
  for (const auto& k : redis_->keys("mvt_v8:centroid:*")) redis_->cmd({"DEL", k});
  {
    ServerProcess server(std::map<std::string, std::string>{{"DATABASE_URL", url}});
    auto r = vekt::testing::http(server.port(), "GET", "/gis/lgas/");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, R"({"status_code":404,"message":"No valid geometry found for layer 'lgas'","data":null})");
    EXPECT_FALSE(redis_->cmd({"GET", "mvt_v8:centroid:lgas"}));
  }
  pg_->exec("DROP DATABASE IF EXISTS " + db);
}

TEST_F(Routes, CentroidHeldUpPastItsLimit) {
  // The extent estimate is read from the statistics catalogue; holding it up on a fresh server
  // (whose backends have not cached it) shows the centroid statement's time limit.
  for (const auto& k : redis_->keys("mvt_v8:centroid:*")) redis_->cmd({"DEL", k});
  SyncPg locker(*vekt::testing::env("DATABASE_URL"));
  ServerProcess fresh;
  locker.exec("BEGIN");
  locker.exec("LOCK TABLE pg_catalog.pg_statistic IN ACCESS EXCLUSIVE MODE");
  auto r = vekt::testing::http(fresh.port(), "GET", "/gis/districts/");
  locker.exec("ROLLBACK");
  EXPECT_EQ(r.status, 408) << r.body;
  EXPECT_EQ(detail(r), "Centroid calculation timeout");
  EXPECT_EQ(count_lines(fresh.stderr_text(), "ERROR:vekt.korvane:Timeout calculating centroid for districts"), 1);
  EXPECT_FALSE(redis_->cmd({"GET", "mvt_v8:centroid:districts"}));
  EXPECT_EQ(vekt::testing::http(fresh.port(), "GET", "/gis/districts/").status, 200);
}
