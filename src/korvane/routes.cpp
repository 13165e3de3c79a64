// The seven routes of the tile service and their registration on the router "/gis".
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <string_view>
#include <type_traits>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "base/error.hpp"
#include "base/numfmt.hpp"
#include "base/strings.hpp"
#include "base/with_timeout.hpp"
#include "host/access.hpp"
#include "host/database.hpp"
#include "host/responses.hpp"
#include "host/utils.hpp"
#include "korvane/cache.hpp"
#include "korvane/catalogue.hpp"
#include "korvane/tile_sql.hpp"
#include "korvane/failure_answers.hpp"
#include "korvane/layer_share.hpp"
#include "korvane/rate_limit.hpp"
#include "korvane/service.hpp"
#include "korvane/transaction.hpp"
#include "pg/session.hpp"
#include "web/router.hpp"

namespace vekt::korvane {

namespace asio = boost::asio;
using web::HttpError;
using web::Json;
using web::ParamType;
using web::Request;
using web::Response;

namespace {

constexpr const char* MVT_MEDIA_TYPE = "application/vnd.mapbox-vector-tile";

std::string int_text(const web::IntValue& v) { return v.text; }

// The statement's time limit per zoom band: part of the service's contract with its clients (a
// slower tile answers 408), so they change only with it.
double tile_timeout(long long z) {
  if (z <= 6) return 10.0;
  if (z <= 10) return 12.0;
  if (z <= 14) return 15.0;
  if (z <= 16) return 20.0;
  return 30.0;
}

HttpError layer_not_found(const std::string& layer_name) {
  return HttpError(404, fmt::format("Layer '{}' not found", layer_name));
}

// Envelope answers built field by field (the envelope's other fields keep their defaults).
Response envelope_answer(std::optional<Json> data, std::optional<std::string> message = std::nullopt,
                         int status_code = 200) {
  host::ApiResponse args;
  args.data = std::move(data);
  args.message = std::move(message);
  args.status_code = status_code;
  return host::api_router_response(host::api_response(std::move(args)));
}

Response tile_response(std::string bytes, std::vector<std::pair<std::string, std::string>> headers) {
  return web::bytes_response(200, std::move(bytes), MVT_MEDIA_TYPE, std::move(headers));
}

// ---------------------------------------------------------------- the routes' database steps

using Clock = std::chrono::steady_clock;

// What is left of `limit` seconds that began at `start` (never below zero).
double seconds_left(Clock::time_point start, double limit) {
  return std::max(0.0, limit - std::chrono::duration<double>(Clock::now() - start).count());
}

// A place in `layer`'s share of the loop's connections, waited for at most `limit` seconds.
asio::awaitable<LayerShare::Hold> enter_share(LayerShare& share, std::string layer, double limit) {
  co_return co_await base::with_timeout(share.enter(layer), limit);
}

// One read statement in a transaction of its own (committed, or rolled back, and closed), under
// `limit` seconds; `extract` takes what the route needs from the result.
template <class Extract>
auto read_in_transaction(pg::Session& db, const std::string& sql, const pg::Params& params, pg::Prepare prepare,
                         double limit, Extract extract)
    -> asio::awaitable<std::invoke_result_t<Extract&, const pg::Result&>> {
  using T = std::invoke_result_t<Extract&, const pg::Result&>;
  co_return co_await db_transaction(db, [&](pg::Session& s) -> asio::awaitable<T> {
    pg::Result result =
        co_await base::with_timeout(s.execute(sql, params, prepare, pg::Retry::if_connection_lost), limit);
    co_return extract(result);
  });
}

// The bytes of the only row's first column (an MVT), or nullopt.
std::optional<std::string> only_bytes(const pg::Result& result) {
  auto value = result.scalar_one_or_none();
  if (!value) return std::nullopt;
  return value->bytes();
}

// ---------------------------------------------------------------- GET /{layer_name}/{z}/{x}/{y}.pbf

// Why the layer has no tile at zoom `z`, and at the lowest zooms which layers do.
void log_not_served(const std::string& layer_name, long long z, const std::string& why) {
  auto& log = logger();
  log->info("Layer {} not available at zoom {}: {}", layer_name, z, why);
  if (z <= 6) {
    std::vector<std::string> available;
    for (const auto& entry : LAYER_CONFIG)
      if (entry.min_zoom <= z) available.emplace_back(entry.key);
    if (!available.empty()) log->info("Try these layers at zoom {}: {}", z, py_list_repr(available));
  }
}

asio::awaitable<Response> get_tile_xyz(Service& service, Request& request, pg::Session& db) {
  const std::string layer_name = request.str("layer_name");
  const web::IntValue zv = request.integer("z");
  const web::IntValue xv = request.integer("x");
  const web::IntValue yv = request.integer("y");
  auto& log = logger();

  // The checks that need no I/O come first, so that a request that passes them is counted and its
  // tile read in one round trip; the answers keep their order (429, 404, 400, 204, then the cache).
  const bool layer_known = find_layer(layer_name) != nullptr;
  const bool coords_valid =
      layer_known && !zv.huge() && !xv.huge() && !yv.huge() && validate_tile_coords(*zv.value, *xv.value, *yv.value);
  std::optional<MvtSql> built;
  std::optional<std::string> not_served;
  if (coords_valid) {
    try {
      built = generate_mvt_sql(layer_name, *zv.value);
    } catch (const base::ValueError& e) {
      not_served = e.what();
    }
  }
  std::optional<std::string> cached_tile;
  const std::string cache_key =
      built ? fmt::format("{}:{}:{}:{}", layer_name, *zv.value, *xv.value, *yv.value) : std::string();
  if (built)
    cached_tile = co_await service.tile_limit.admit_and_read(request.client_host(), service.cache, cache_key, 1.0);
  else
    co_await service.tile_limit.admit(request.client_host());

  if (!layer_known) throw layer_not_found(layer_name);

  if (!coords_valid)
    throw HttpError(400, fmt::format("Invalid tile coordinates: z={}, x={}, y={}", int_text(zv), int_text(xv),
                                     int_text(yv)));
  const long long z = *zv.value, x = *xv.value, y = *yv.value;

  if (!built) {
    log_not_served(layer_name, z, *not_served);
    co_return web::empty_response(204);
  }
  const ZoomConfig zoom_config = built->zoom_config;

  if (cached_tile && !cached_tile->empty())
    co_return tile_response(std::move(*cached_tile),
                            {{"Cache-Control", fmt::format("public, max-age={}", zoom_config.cache_ttl)},
                             {"X-Cache", "HIT"}});

  const host::TileBounds bbox = host::xyz_to_bbox_web_mercator(z, x, y);
  pg::Params params{{"min_x", bbox.minx}, {"min_y", bbox.miny}, {"max_x", bbox.maxx}, {"max_y", bbox.maxy}};
  const double timeout = tile_timeout(z);
  const std::string& sql = *built->sql;

  const std::string tile = fmt::format("{}/{}/{}/{}", layer_name, z, x, y);
  const StepFailures failures{{408, fmt::format("Tile generation timeout at zoom {}", z), "Timeout generating tile " + tile},
                              {500, "Database error", "Database error for tile " + tile},
                              {500, "Database error", "Database error for tile " + tile},
                              {500, "Internal server error", "Unexpected error for tile " + tile}};
  auto read_tile = [&]() -> asio::awaitable<std::optional<std::string>> {
    const auto start = Clock::now();
    LayerShare::Hold hold = co_await enter_share(service.layer_share, layer_name, timeout);
    co_return co_await read_in_transaction(db, sql, params, pg::Prepare::yes, seconds_left(start, timeout), only_bytes);
  };
  std::optional<std::string> mvt_content = co_await answer_failures(read_tile(), failures);

  if (mvt_content && !mvt_content->empty()) {
    co_await safe_cache_set(service.cache, cache_key, *mvt_content, zoom_config.cache_ttl);
    co_return tile_response(std::move(*mvt_content), {});
  }
  log->info("Empty tile generated for {}/{}/{}/{} - bbox: {}", layer_name, z, x, y, bbox.py_repr());
  co_return web::empty_response(204);
}

// ---------------------------------------------------------------- GET /{layer_name}/zoom-info/

const char* simplification_word(int tolerance) {
  if (tolerance > 500) return "heavy";
  if (tolerance > 100) return "moderate";
  if (tolerance > 0) return "light";
  return "none";
}

asio::awaitable<Response> get_layer_zoom_info(Request& request) {
  const std::string layer_name = request.str("layer_name");
  const LayerEntry* layer = find_layer(layer_name);
  if (!layer) throw layer_not_found(layer_name);
  Json levels = Json::object();
  for (int zoom = 1; zoom <= 20; ++zoom) {
    Json entry = Json::object();
    if (auto zc = get_zoom_config(zoom, layer_name)) {
      entry["available"] = true;
      entry["tolerance"] = zc->tolerance;
      entry["feature_limit"] = zc->feature_limit;
      entry["simplification"] = simplification_word(zc->tolerance);
    } else {
      entry["available"] = false;
    }
    levels[std::to_string(zoom)] = std::move(entry);
  }
  Json recommendations = Json::object();
  recommendations["world_view"] = "Use 'lgas' or 'districts' for zoom 1-6";
  recommendations["regional_view"] = "Use 'cadzones' for zoom 4-10";
  recommendations["detailed_view"] = "Use 'plots' for zoom 8+";
  recommendations["precise_view"] = "Use 'beacons' for zoom 12+";
  Json data = Json::object();
  data["layer"] = layer_name;
  data["min_zoom"] = layer->min_zoom;
  data["zoom_levels"] = std::move(levels);
  data["recommendations"] = std::move(recommendations);
  co_return envelope_answer(std::move(data));
}

// ---------------------------------------------------------------- GET /{layer_name}/bbox/

// Web Mercator metres to degrees (spherical inverse projection).
constexpr double EARTH_RADIUS = 6378137.0;
constexpr double PI = 3.14159265358979323846;
double mercator_x_to_lon(double x) { return x / EARTH_RADIUS * 180.0 / PI; }
double mercator_y_to_lat(double y) { return std::atan(std::sinh(y / EARTH_RADIUS)) * 180.0 / PI; }

// A bounding box as its four coordinates: min x, min y, max x, max y.
using Box = std::array<double, 4>;

// The first of the bounding-box route's refusals that need no I/O, in the order it answers them.
std::optional<HttpError> bbox_refusal(const LayerEntry* layer, const std::string& layer_name, long long srid,
                                      const Box& box, const web::IntValue& max_features_v) {
  const auto [minx, miny, maxx, maxy] = box;
  if (!layer) return layer_not_found(layer_name);
  if (srid != 4326 && srid != 3857)
    return HttpError(400, "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported");

  const std::string too_large = "Bounding box too large. Maximum area: 1.0 square degrees";
  if (srid == 4326) {
    if (!(-180 <= minx && minx <= 180 && -180 <= maxx && maxx <= 180))
      return HttpError(400, "Invalid longitude values");
    if (!(-90 <= miny && miny <= 90 && -90 <= maxy && maxy <= 90)) return HttpError(400, "Invalid latitude values");
    if (calculate_bbox_area_degrees(minx, miny, maxx, maxy) > MAX_BBOX_AREA_WGS84) return HttpError(400, too_large);
  } else {
    // A Web Mercator box gets the same size limit as a degree box: its corners in degrees.
    const double lim = host::WEB_MERCATOR_HALF_EXTENT;
    for (double v : box)
      if (!std::isfinite(v) || std::fabs(v) > lim) return HttpError(400, "Invalid coordinate values");
    double area = calculate_bbox_area_degrees(mercator_x_to_lon(minx), mercator_y_to_lat(miny),
                                              mercator_x_to_lon(maxx), mercator_y_to_lat(maxy));
    if (area > MAX_BBOX_AREA_WGS84) return HttpError(400, too_large);
  }

  // A negative limit or a box without width or height is the client's mistake, not ours.
  if (max_features_v.huge() ? max_features_v.text.starts_with("-") : *max_features_v.value < 0)
    return HttpError(400, "max_features must be non-negative");
  if (minx == maxx || miny == maxy) return HttpError(400, "Bounding box has zero width or height");
  return std::nullopt;
}

// The cache key of a bounding-box tile: its Web Mercator box to the metre, and what shapes it.
std::string bbox_cache_key(const std::string& layer_name, const Box& mercator, long long max_features,
                           bool simplify) {
  return fmt::format("bbox:{}:{}:{}:{}:{}:{}:{}", layer_name, base::fixed(mercator[0], 0),
                     base::fixed(mercator[1], 0), base::fixed(mercator[2], 0), base::fixed(mercator[3], 0),
                     max_features, simplify ? "True" : "False");
}

// The box in Web Mercator metres, transformed by the database from `srid`, within what is left of
// the route's 20 seconds since `start`.
asio::awaitable<Box> to_web_mercator(pg::Session& db, const Box& box, long long srid, Clock::time_point start,
                                     const FailureAnswer& timed_out) {
  pg::Params binds{{"x1", box[0]}, {"y1", box[1]}, {"x2", box[2]}, {"y2", box[3]}, {"input_srid", std::int32_t(srid)}};
  // Coordinates the server cannot transform are the client's mistake; a database that cannot run
  // the statement is not.
  const FailureAnswer bad_box{400, "Invalid coordinate transformation", "Coordinate transformation error"};
  const StepFailures failures{timed_out, {500, "Database error", "Coordinate transformation error"}, bad_box, bad_box};
  auto transform = [&]() -> asio::awaitable<Box> {
    pg::Result result = co_await base::with_timeout(
        db.execute(TRANSFORM_SQL, binds, pg::Prepare::yes, pg::Retry::if_connection_lost), seconds_left(start, 20.0));
    auto coords = result.first();
    if (!coords) throw base::Error("no row returned by the transformation");
    co_return Box{(*coords)["min_x"].as_double(), (*coords)["min_y"].as_double(), (*coords)["max_x"].as_double(),
                  (*coords)["max_y"].as_double()};
  };
  co_return co_await answer_failures(transform(), failures);
}

asio::awaitable<Response> get_tile_bbox(Service& service, Request& request, pg::Session& db) {
  const std::string layer_name = request.str("layer_name");
  const Box box{request.number("minx"), request.number("miny"), request.number("maxx"), request.number("maxy")};
  const web::IntValue srid_v = request.integer("srid");
  const web::IntValue max_features_v = request.integer("max_features");
  const bool simplify = request.boolean("simplify");

  // The checks that need no I/O come first: a Web Mercator box that passes them is counted and its
  // tile read in one round trip. A degree box needs the database for its cache key, so it is counted
  // alone first. The answers keep their order (429, 404, then 400).
  const LayerEntry* layer = find_layer(layer_name);
  const long long srid = srid_v.huge() ? 0 : *srid_v.value;
  const std::optional<HttpError> refusal = bbox_refusal(layer, layer_name, srid, box, max_features_v);
  const long long max_features =
      max_features_v.huge() ? MAX_FEATURES_GLOBAL : std::min<long long>(*max_features_v.value, MAX_FEATURES_GLOBAL);
  const std::string cache_control = fmt::format("public, max-age={}", CACHE_TTL_SHORT);
  auto hit = [&](std::string tile) {
    return tile_response(std::move(tile), {{"Cache-Control", cache_control}, {"X-Cache", "HIT"}});
  };
  if (!refusal && srid == 3857) {
    std::optional<std::string> cached_tile = co_await service.bbox_limit.admit_and_read(
        request.client_host(), service.cache, bbox_cache_key(layer_name, box, max_features, simplify), 2.0);
    if (cached_tile && !cached_tile->empty()) co_return hit(std::move(*cached_tile));
  } else {
    co_await service.bbox_limit.admit(request.client_host());
    if (refusal) throw *refusal;
  }

  const FailureAnswer bbox_timeout{408, "Query timeout", "Timeout generating bbox tile for " + layer_name};
  const FailureAnswer bbox_failed{500, "Internal server error", "Error generating bbox tile for " + layer_name};
  const StepFailures bbox_failures{bbox_timeout, bbox_failed, bbox_failed, bbox_failed};
  // The request keeps its place in the layer's share from the transformation on: that statement
  // already takes the connection the bounding-box statement runs on.
  const auto start = Clock::now();
  const LayerShare::Hold hold =
      co_await answer_failures(enter_share(service.layer_share, layer_name, 20.0), bbox_failures);

  Box mercator = box;
  if (srid != 3857) mercator = co_await to_web_mercator(db, box, srid, start, bbox_timeout);
  const std::string cache_key = bbox_cache_key(layer_name, mercator, max_features, simplify);
  if (srid != 3857) {
    std::optional<std::string> cached_tile = co_await safe_cache_get(service.cache, cache_key, 2.0);
    if (cached_tile && !cached_tile->empty()) co_return hit(std::move(*cached_tile));
  }

  // Simplification is asked for, but only a degree box of more than 0.01 square degrees gets it: a
  // Web Mercator box is always drawn in full.
  const bool simplified =
      simplify && srid == 4326 && calculate_bbox_area_degrees(box[0], box[1], box[2], box[3]) > 0.01;
  const std::string& sql = bbox_sql(*layer, simplified);
  pg::Params params{{"min_x", mercator[0]},
                    {"min_y", mercator[1]},
                    {"max_x", mercator[2]},
                    {"max_y", mercator[3]},
                    {"max_features", std::int64_t(max_features)}};

  std::optional<std::string> mvt_content =
      co_await answer_failures(read_in_transaction(db, sql, params, pg::Prepare::yes, 20.0, only_bytes), bbox_failures);

  if (mvt_content && !mvt_content->empty()) {
    co_await safe_cache_set(service.cache, cache_key, *mvt_content, CACHE_TTL_SHORT);
    co_return tile_response(std::move(*mvt_content), {{"Cache-Control", cache_control}, {"X-Cache", "MISS"}});
  }
  co_return web::empty_response(204);
}

// ---------------------------------------------------------------- GET /layers/

asio::awaitable<Response> get_available_layers(Request&) {
  Json layers = Json::object();
  for (const auto& entry : LAYER_CONFIG) {
    const std::string key(entry.key);
    Json props = Json::array();
    for (auto p : entry.properties) props.push_back(std::string(p));
    Json endpoints = Json::object();
    endpoints["xyz"] = "/gis/" + key + "/{z}/{x}/{y}.pbf";
    endpoints["bbox"] = "/gis/" + key + "/bbox/";
    endpoints["info"] = "/gis/" + key + "/";
    endpoints["zoom_info"] = "/gis/" + key + "/zoom-info/";
    Json d = Json::object();
    d["name"] = key;
    d["min_zoom"] = entry.min_zoom;
    d["properties"] = std::move(props);
    d["table"] = std::string(entry.table);
    d["endpoints"] = std::move(endpoints);
    layers[key] = std::move(d);
  }
  Json guide = Json::object();
  guide["world_zoom_1_4"] = "Use 'lgas' layer";
  guide["country_zoom_5_7"] = "Use 'districts' or 'lgas' layer";
  guide["regional_zoom_6_10"] = "Use 'cadzones' layer";
  guide["local_zoom_8_14"] = "Use 'plots' layer";
  guide["detail_zoom_12_20"] = "Use 'beacons' layer";
  Json data = Json::object();
  const auto total = layers.size();
  data["layers"] = std::move(layers);
  data["total_layers"] = total;
  data["usage_guide"] = std::move(guide);
  co_return envelope_answer(std::move(data));
}

// ---------------------------------------------------------------- POST /cache/invalidate/{layer_name}

// Who may empty the cache is the host's decision: with an admin token set, the bearer of that
// token; without it, clients on this machine only. The route's guard asks it before the request
// is read. One invalidation runs at a time.

void check_invalidation_allowed(const Request& request, const std::optional<std::string>& token) {
  host::check_caller(request, token, "Cache invalidation is allowed from this machine only");
}

// Holds the service's one invalidation place until the request ends, on every path.
struct RunningFlag {
  std::atomic<bool>& running;
  ~RunningFlag() { running.store(false); }
};

asio::awaitable<Response> invalidate_cache_endpoint(Service& service, Request& request) {
  const std::string layer_name = request.str("layer_name");
  if (layer_name != "all" && !find_layer(layer_name))
    throw HttpError(404, fmt::format("Layer '{}' not found. Valid layers: {}", layer_name, py_list_repr(layer_keys())));
  bool expected = false;
  if (!service.invalidating.compare_exchange_strong(expected, true))
    throw HttpError(409, "Cache invalidation already running");
  RunningFlag flag{service.invalidating};
  Json data = Json::object();
  std::string message;
  InvalidationResult r;
  if (layer_name == "all") {
    r = co_await invalidate_all_task(service);
    data["deleted_count"] = r.deleted_count;
    message = fmt::format("All cache invalidated successfully. {} keys deleted.", r.deleted_count);
  } else {
    r = co_await invalidate_layer_task(service, layer_name);
    data["layer"] = layer_name;
    data["deleted_count"] = r.deleted_count;
    message = fmt::format("Cache for layer '{}' invalidated successfully. {} keys deleted.", layer_name,
                          r.deleted_count);
  }
  if (!r.ok) throw HttpError(503, "Cache invalidation failed");
  co_return envelope_answer(std::move(data), std::move(message));
}

// ---------------------------------------------------------------- GET /health/

asio::awaitable<Response> health_check(Service& service, Request&) {
  std::string cache_status = "healthy";
  try {
    (void)co_await base::with_timeout(service.cache.get("health_check"), 2.0);
  } catch (...) {
    cache_status = "unhealthy";
  }
  Json body = Json::object();
  body["status"] = "healthy";
  body["cache_status"] = cache_status;
  Json layers = Json::array();
  for (const auto& k : layer_keys()) layers.push_back(k);
  body["available_layers"] = std::move(layers);
  body["zoom_support"] = "1-20 with layer-specific minimums";
  co_return web::json_response(200, body);
}

// ---------------------------------------------------------------- GET /{layer_name}/

std::optional<Response> centroid_from_cache(const std::optional<std::string>& cached) {
  if (!cached || cached->empty()) return std::nullopt;
  // A byte-order mark is not JSON text; the parser would skip it silently.
  if (cached->starts_with("\xEF\xBB\xBF")) return std::nullopt;
  try {
    Json data = Json::parse(*cached);
    return envelope_answer(std::move(data));
  } catch (...) {
    return std::nullopt;
  }
}

asio::awaitable<Response> get_central_tile_info(Service& service, Request& request, pg::Session& db) {
  const std::string layer_name = request.str("layer_name");
  const LayerEntry* layer = find_layer(layer_name);
  if (!layer) throw layer_not_found(layer_name);

  const std::string cache_key = "centroid:" + layer_name;
  std::optional<std::string> cached_centroid = co_await safe_cache_get(service.cache, cache_key, 2.0);
  if (auto hit = centroid_from_cache(cached_centroid)) co_return std::move(*hit);

  const std::string& sql = centroid_sql(*layer);
  const FailureAnswer failed{500, "Database error", "Error calculating centroid for " + layer_name};
  const StepFailures failures{{408, "Centroid calculation timeout", "Timeout calculating centroid for " + layer_name},
                              failed, failed, failed};
  auto read_centroid = [&]() -> asio::awaitable<std::optional<pg::Row>> {
    const auto start = Clock::now();
    LayerShare::Hold hold = co_await enter_share(service.layer_share, layer_name, 15.0);
    co_return co_await read_in_transaction(db, sql, {}, pg::Prepare::no, seconds_left(start, 15.0),
                                           [](const pg::Result& r) { return r.first(); });
  };
  const std::optional<pg::Row> centroid = co_await answer_failures(read_centroid(), failures);
  if (!centroid || (*centroid)["lat"].is_null() || (*centroid)["lon"].is_null())
    co_return envelope_answer(std::nullopt, fmt::format("No valid geometry found for layer '{}'", layer_name), 404);

  const pg::Row& row = *centroid;
  const double lat = row["lat"].as_double();
  const double lon = row["lon"].as_double();
  const host::TileXyz tile = host::latlon_to_xyz(lat, lon, DEFAULT_CENTROID_ZOOM);
  const host::TileBounds bbox = host::xyz_to_bbox_web_mercator(tile.z, tile.x, tile.y);

  Json centroid_wgs84 = Json::object();
  centroid_wgs84["latitude"] = lat;
  centroid_wgs84["longitude"] = lon;
  Json extent = Json::object();
  extent["minx"] = row["extent_minx"].as_double();
  extent["miny"] = row["extent_miny"].as_double();
  extent["maxx"] = row["extent_maxx"].as_double();
  extent["maxy"] = row["extent_maxy"].as_double();
  Json props = Json::array();
  for (auto p : layer->properties) props.push_back(std::string(p));
  Json layer_cfg = Json::object();
  layer_cfg["min_zoom"] = layer->min_zoom;
  layer_cfg["properties"] = std::move(props);
  Json data = Json::object();
  data["layer"] = layer_name;
  data["centroid_wgs84"] = std::move(centroid_wgs84);
  data["extent_web_mercator"] = std::move(extent);
  data["suggested_tile"] = tile.to_json();
  data["suggested_tile_bbox"] = bbox.to_json();
  data["tile_url"] = fmt::format("/gis/{}/{}/{}/{}.pbf", layer_name, tile.z, tile.x, tile.y);
  data["layer_config"] = std::move(layer_cfg);

  std::optional<std::string> cache_data;
  try {
    cache_data = web::dump_json_python(data);
  } catch (...) {
  }
  if (cache_data) co_await safe_cache_set(service.cache, cache_key, std::move(*cache_data), CACHE_TTL_LONG * 2);
  co_return envelope_answer(std::move(data));
}

// `handler` with the service it works with bound as its first argument.
template <class Handler>
auto on(Service& service, Handler handler) {
  return [&service, handler](Request& request, auto&... rest) { return handler(service, request, rest...); };
}

// ---------------------------------------------------------------- what each route answers

// Every status a route gives besides 200 (and the 422 of its parameters), as /openapi.json
// publishes it; the API page's tables are checked against these.
using Answers = std::vector<web::RouteAnswer>;

const web::RouteAnswer UNKNOWN_LAYER{404, "No layer of that name"};
const web::RouteAnswer DATABASE_FAILED{500, "The database failed or could not be reached"};

Answers tile_answers() {
  return {{204, "Nothing to draw: the layer is not served at this zoom, or no feature lies in the tile"},
          {400, "Tile coordinates outside the zoom's grid (z from 1 to 20, x and y from 0 to 2^z - 1)"},
          UNKNOWN_LAYER,
          {408, "The tile's statement passed its time limit for the zoom"},
          {429, fmt::format("More than {} tile requests in one second from the client's address", TILE_RATE_LIMIT.limit)},
          DATABASE_FAILED};
}

Answers bbox_answers() {
  return {{204, "No feature lies in the box"},
          {400, "A box the route cannot serve: SRID other than 4326 or 3857, coordinates out of range or not "
                "transformable, larger than 1 square degree, zero width or height, negative max_features"},
          UNKNOWN_LAYER,
          {408, "The box's statements passed their time limit of 20 s"},
          {429, fmt::format("More than {} bounding-box requests in one second from the client's address",
                            BBOX_RATE_LIMIT.limit)},
          DATABASE_FAILED};
}

Answers invalidation_answers() {
  return {{400, "More than one Authorization header"},
          {401, "An admin token is set and the request does not carry it"},
          {403, "No admin token is set and the request does not come from this machine"},
          {404, "No layer of that name, and not \"all\""},
          {409, "An invalidation is already running"},
          {503, "The cache could not be emptied (Redis failed or cannot be reached)"}};
}

Answers centroid_answers() {
  return {{404, "No layer of that name, or no valid geometry in the layer"},
          {408, "The centroid's statement passed its time limit of 15 s"},
          DATABASE_FAILED};
}

}  // namespace

web::Router make_router(Service& service) {
  using web::path_param;
  using web::query_param;
  web::Router r("/gis", {"GIS Tiles"});
  r.add({.method = "GET",
         .path = "/{layer_name}/{z}/{x}/{y}.pbf",
         .name = "get_tile_xyz",
         .doc = "Serve vector tiles with proper zoom-out support.",
         .params = {path_param("layer_name", ParamType::string), path_param("z", ParamType::integer),
                    path_param("x", ParamType::integer), path_param("y", ParamType::integer)},
         .handler = host::with_db(on(service, get_tile_xyz)),
         .json_response = false,
         .answers = tile_answers()});
  r.add({.method = "GET",
         .path = "/{layer_name}/zoom-info/",
         .name = "get_layer_zoom_info",
         .doc = "Get zoom level information for a layer.",
         .params = {path_param("layer_name", ParamType::string)},
         .handler = get_layer_zoom_info,
         .answers = {UNKNOWN_LAYER}});
  r.add({.method = "GET",
         .path = "/{layer_name}/bbox/",
         .name = "get_tile_bbox",
         .doc = "Serve vector tiles for custom bounding box.",
         .params = {path_param("layer_name", ParamType::string),
                    query_param("minx", ParamType::number, "Bounding box minimum X"),
                    query_param("miny", ParamType::number, "Bounding box minimum Y"),
                    query_param("maxx", ParamType::number, "Bounding box maximum X"),
                    query_param("maxy", ParamType::number, "Bounding box maximum Y"),
                    query_param("srid", ParamType::integer, Json(4326), "SRID of input bbox"),
                    query_param("max_features", ParamType::integer, Json(5000), "Maximum features to return"),
                    query_param("simplify", ParamType::boolean, Json(true), "Apply geometry simplification")},
         .handler = host::with_db(on(service, get_tile_bbox)),
         .json_response = false,
         .answers = bbox_answers()});
  r.add({.method = "GET",
         .path = "/layers/",
         .name = "get_available_layers",
         .doc = "Get list of available layers and their configurations.",
         .handler = get_available_layers});
  r.add({.method = "POST",
         .path = "/cache/invalidate/{layer_name}",
         .name = "invalidate_cache_endpoint",
         .doc = "\n    Manually invalidate cache for a specific layer.\n"
                "    Useful after bulk data updates or for testing.\n    ",
         .params = {path_param("layer_name", ParamType::string)},
         .handler = on(service, invalidate_cache_endpoint),
         .guard = [&service](const Request& request) { check_invalidation_allowed(request, service.admin_token); },
         .answers = invalidation_answers()});
  r.add({.method = "GET",
         .path = "/health/",
         .name = "health_check",
         .doc = "Health check endpoint for monitoring.",
         .handler = on(service, health_check)});
  r.add({.method = "GET",
         .path = "/{layer_name}/",
         .name = "get_central_tile_info",
         .doc = "Get layer centroid and suggested tile coordinates.",
         .params = {path_param("layer_name", ParamType::string)},
         .handler = host::with_db(on(service, get_central_tile_info)),
         .answers = centroid_answers()});
  return r;
}

}  // namespace vekt::korvane
