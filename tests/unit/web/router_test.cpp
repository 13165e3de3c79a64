#include "web/router.hpp"
#include "web/validation.hpp"

#include <optional>
#include <stdexcept>

#include <sstream>
#include <utility>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

namespace {

using namespace vekt::web;
namespace asio = boost::asio;

// Echoes the handler name and the converted parameters, so a case can check both.
Handler echo(std::string name) {
  return [name](Request& r) -> asio::awaitable<Response> {
    Json params = Json::object();
    for (const auto& [k, v] : r.params) {
      if (auto* s = std::get_if<std::string>(&v)) params[k] = *s;
      else if (auto* i = std::get_if<IntValue>(&v)) params[k] = i->text;
      else if (auto* d = std::get_if<double>(&v)) params[k] = *d;
      else if (auto* b = std::get_if<bool>(&v)) params[k] = *b;
      else params[k] = nullptr;
    }
    Json body = Json::object();
    body["handler"] = name;
    body["params"] = params;
    co_return json_response(200, body);
  };
}

const char* INVALIDATE_DOC = "\n    Manually invalidate cache for a specific layer.\n    Useful after bulk data updates or for testing.\n    ";

Router tile_router() {
  Router r("/gis", {"GIS Tiles"});
  r.add({.method = "GET", .path = "/{layer_name}/{z}/{x}/{y}.pbf", .name = "get_tile_xyz",
         .doc = "Serve vector tiles with proper zoom-out support.",
         .params = {path_param("layer_name", ParamType::string), path_param("z", ParamType::integer),
                    path_param("x", ParamType::integer), path_param("y", ParamType::integer)},
         .handler = echo("get_tile_xyz"), .json_response = false});
  r.add({.method = "GET", .path = "/{layer_name}/zoom-info/", .name = "get_layer_zoom_info",
         .doc = "Get zoom level information for a layer.", .params = {path_param("layer_name", ParamType::string)},
         .handler = echo("get_layer_zoom_info")});
  r.add({.method = "GET", .path = "/{layer_name}/bbox/", .name = "get_tile_bbox",
         .doc = "Serve vector tiles for custom bounding box.",
         .params = {path_param("layer_name", ParamType::string),
                    query_param("minx", ParamType::number, "Bounding box minimum X"),
                    query_param("miny", ParamType::number, "Bounding box minimum Y"),
                    query_param("maxx", ParamType::number, "Bounding box maximum X"),
                    query_param("maxy", ParamType::number, "Bounding box maximum Y"),
                    query_param("srid", ParamType::integer, Json(4326), "SRID of input bbox"),
                    query_param("max_features", ParamType::integer, Json(5000), "Maximum features to return"),
                    query_param("simplify", ParamType::boolean, Json(true), "Apply geometry simplification")},
         .handler = echo("get_tile_bbox"), .json_response = false});
  r.add({.method = "GET", .path = "/layers/", .name = "get_available_layers",
         .doc = "Get list of available layers and their configurations.", .handler = echo("get_available_layers")});
  r.add({.method = "POST", .path = "/cache/invalidate/{layer_name}", .name = "invalidate_cache_endpoint",
         .doc = INVALIDATE_DOC, .params = {path_param("layer_name", ParamType::string)},
         .handler = echo("invalidate_cache_endpoint")});
  r.add({.method = "GET", .path = "/health/", .name = "health_check", .doc = "Health check endpoint for monitoring.",
         .handler = echo("health_check")});
  r.add({.method = "GET", .path = "/{layer_name}/", .name = "get_central_tile_info",
         .doc = "Get layer centroid and suggested tile coordinates.",
         .params = {path_param("layer_name", ParamType::string)}, .handler = echo("get_central_tile_info")});
  return r;
}

Router failing_router() {
  Router r("/t");
  r.add({.method = "GET", .path = "/http-error", .name = "http_error",
         .handler = [](Request&) -> asio::awaitable<Response> {
           throw HttpError(400, "Invalid tile coordinates for zoom level 3");
           co_return empty_response();
         }});
  r.add({.method = "GET", .path = "/boom", .name = "boom",
         .handler = [](Request&) -> asio::awaitable<Response> {
           throw std::runtime_error("handler bug");
           co_return empty_response();
         }});
  r.add({.method = "GET", .path = "/wrong-type", .name = "wrong_type",
         .params = {query_param("q", ParamType::string, Json("d"), "")},
         .handler = [](Request& r) -> asio::awaitable<Response> {
           (void)r.integer("q");  // declared as text: a programming error
           co_return empty_response();
         }});
  return r;
}

class RouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app_.include_router(tile_router());
    app_.include_router(failing_router());
  }

  Response call(const std::string& method, const std::string& target, const std::string& host = "") {
    Request req;
    req.method = method;
    req.target = target;
    ParsedTarget t = parse_target(target);
    req.path = t.path;
    req.query_string = t.query_string;
    req.query = t.query;
    if (!host.empty()) req.headers.add("Host", host);
    asio::io_context ioc;
    std::optional<Response> out;
    asio::co_spawn(ioc, [&]() -> asio::awaitable<void> { out = co_await app_.dispatch(req); }, asio::detached);
    ioc.run();
    if (!out) throw std::runtime_error("dispatch did not finish");
    return std::move(*out);
  }

  App app_;
};

struct RouteCase {
  const char* method;
  const char* target;
  unsigned status;
  const char* body;  // exact body; nullptr: not checked
};

TEST_F(RouterTest, MatchingTable) {
  const RouteCase cases[] = {
      // Fixed paths come before the layer path.
      {"GET", "/gis/layers/", 200, R"({"handler":"get_available_layers","params":{}})"},
      {"GET", "/gis/health/", 200, R"({"handler":"health_check","params":{}})"},
      {"GET", "/gis/plots/", 200, R"({"handler":"get_central_tile_info","params":{"layer_name":"plots"}})"},
      {"GET", "/gis/cache/", 200, R"({"handler":"get_central_tile_info","params":{"layer_name":"cache"}})"},
      {"GET", "/gis/zoom-info/", 200, R"({"handler":"get_central_tile_info","params":{"layer_name":"zoom-info"}})"},
      {"GET", "/gis/plots/zoom-info/", 200, R"({"handler":"get_layer_zoom_info","params":{"layer_name":"plots"}})"},
      {"GET", "/gis/pl%20ots/", 200, R"({"handler":"get_central_tile_info","params":{"layer_name":"pl ots"}})"},
      // The tile path and its ".pbf" ending.
      {"GET", "/gis/plots/8/1/2.pbf", 200,
       R"({"handler":"get_tile_xyz","params":{"layer_name":"plots","x":"1","y":"2","z":"8"}})"},
      {"GET", "/gis/plots/08/+1/2_0.pbf", 200,
       R"({"handler":"get_tile_xyz","params":{"layer_name":"plots","x":"1","y":"20","z":"8"}})"},
      {"GET", "/gis/plots/8/1/99999999999999999999.pbf", 200,
       R"({"handler":"get_tile_xyz","params":{"layer_name":"plots","x":"1","y":"99999999999999999999","z":"8"}})"},
      {"GET", "/gis/plots/8/1/2", 404, R"({"detail":"Not Found"})"},
      {"GET", "/gis/plots/8/1/2.png", 404, R"({"detail":"Not Found"})"},
      {"GET", "/gis/plots/8/1/.pbf", 404, R"({"detail":"Not Found"})"},
      {"GET", "/gis/plots/8/1/2.5.pbf", 422,
       R"({"detail":[{"loc":["path","y"],"msg":"value is not a valid integer","type":"type_error.integer"}]})"},
      {"GET", "/gis/plots/a/b/c.pbf", 422,
       R"({"detail":[{"loc":["path","z"],"msg":"value is not a valid integer","type":"type_error.integer"},)"
       R"({"loc":["path","x"],"msg":"value is not a valid integer","type":"type_error.integer"},)"
       R"({"loc":["path","y"],"msg":"value is not a valid integer","type":"type_error.integer"}]})"},
      // Methods.
      {"POST", "/gis/cache/invalidate/all", 200,
       R"({"handler":"invalidate_cache_endpoint","params":{"layer_name":"all"}})"},
      {"GET", "/gis/cache/invalidate/all", 405, R"({"detail":"Method Not Allowed"})"},
      {"HEAD", "/gis/health/", 405, R"({"detail":"Method Not Allowed"})"},
      {"DELETE", "/gis/plots/", 405, R"({"detail":"Method Not Allowed"})"},
      // Nothing matches.
      {"GET", "/", 404, R"({"detail":"Not Found"})"},
      {"GET", "/gis/a/b/c/", 404, R"({"detail":"Not Found"})"},
      {"GET", "/other", 404, R"({"detail":"Not Found"})"},
      // Errors from handlers.
      {"GET", "/t/http-error", 400, R"({"detail":"Invalid tile coordinates for zoom level 3"})"},
      {"GET", "/t/boom", 500, "Internal Server Error"},
      {"GET", "/t/wrong-type", 500, "Internal Server Error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    Response r = call(c.method, c.target);
    EXPECT_EQ(r.status, c.status);
    if (c.body) {
      EXPECT_EQ(r.body, c.body);
    }
    if (c.status == 405) {
      EXPECT_EQ(r.headers.get("Allow"), std::string(c.target).find("invalidate") != std::string::npos ? "POST" : "GET");
    }
    EXPECT_EQ(r.content_type, c.status == 500 ? "text/plain; charset=utf-8" : "application/json");
  }
}

TEST_F(RouterTest, QueryParameters) {
  const RouteCase cases[] = {
      {"GET", "/gis/plots/bbox/?minx=1&miny=2&maxx=3&maxy=4", 200,
       R"({"handler":"get_tile_bbox","params":{"layer_name":"plots","max_features":"5000","maxx":3.0,"maxy":4.0,)"
       R"("minx":1.0,"miny":2.0,"simplify":true,"srid":"4326"}})"},
      {"GET", "/gis/plots/bbox/?minx=1&miny=2&maxx=3&maxy=4&srid=3857&max_features=0&simplify=off", 200,
       R"({"handler":"get_tile_bbox","params":{"layer_name":"plots","max_features":"0","maxx":3.0,"maxy":4.0,)"
       R"("minx":1.0,"miny":2.0,"simplify":false,"srid":"3857"}})"},
      // A repeated key takes its last value; "+" and %xx are decoded.
      {"GET", "/gis/plots/bbox/?minx=9&minx=1&miny=+2&maxx=%33&maxy=1e0&simplify=YES", 200,
       R"({"handler":"get_tile_bbox","params":{"layer_name":"plots","max_features":"5000","maxx":3.0,"maxy":1.0,)"
       R"("minx":1.0,"miny":2.0,"simplify":true,"srid":"4326"}})"},
      // Every error is listed, missing and unconvertible alike, in declaration order.
      {"GET", "/gis/plots/bbox/?minx=1&miny=2&maxx=3", 422,
       R"({"detail":[{"loc":["query","maxy"],"msg":"field required","type":"value_error.missing"}]})"},
      {"GET", "/gis/plots/bbox/?minx=&maxx=x&maxy=4&srid=4326.0&simplify=maybe", 422,
       R"({"detail":[{"loc":["query","minx"],"msg":"value is not a valid float","type":"type_error.float"},)"
       R"({"loc":["query","miny"],"msg":"field required","type":"value_error.missing"},)"
       R"({"loc":["query","maxx"],"msg":"value is not a valid float","type":"type_error.float"},)"
       R"({"loc":["query","srid"],"msg":"value is not a valid integer","type":"type_error.integer"},)"
       R"({"loc":["query","simplify"],"msg":"value could not be parsed to a boolean","type":"type_error.bool"}]})"},
      {"GET", "/gis/plots/bbox/?minx=nan&miny=-inf&maxx=1_0&maxy=.5&max_features=99999999999999999999", 200,
       R"({"handler":"get_tile_bbox","params":{"layer_name":"plots","max_features":"99999999999999999999",)"
       R"("maxx":10.0,"maxy":0.5,"minx":null,"miny":null,"simplify":true,"srid":"4326"}})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    Response r = call(c.method, c.target);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.body);
  }
}

TEST_F(RouterTest, TrailingSlashRedirect) {
  struct Case {
    const char* method;
    const char* target;
    const char* host;
    const char* location;
  };
  const Case cases[] = {
      {"GET", "/gis/layers", "example.org:8000", "http://example.org:8000/gis/layers/"},
      {"GET", "/gis/plots?x=1&y=2", "h", "http://h/gis/plots/?x=1&y=2"},
      {"POST", "/gis/plots", "h", "http://h/gis/plots/"},
      {"GET", "/gis/cache/invalidate/all/", "h", "http://h/gis/cache/invalidate/all"},
      {"GET", "/gis/plots/8/1/2.pbf/", "h", "http://h/gis/plots/8/1/2.pbf"},
      {"GET", "/gis/a%20b", "h", "http://h/gis/a%20b/"},
      {"GET", "/gis/layers", "", "/gis/layers/"},
      {"GET", "/openapi.json/", "h", "http://h/openapi.json"},
      // Escapes in the query are kept; characters that may not stand in a URL are escaped.
      {"GET", "/gis/layers?q=%2F+a&b={\"x\"}|\xc3\xa9", "h", "http://h/gis/layers/?q=%2F+a&b=%7B%22x%22%7D%7C%C3%A9"},
      {"GET", "/gis/a%3Fb%25", "h", "http://h/gis/a%3Fb%25/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    Response r = call(c.method, c.target, c.host);
    EXPECT_EQ(r.status, 307u);
    EXPECT_EQ(r.body, "");
    EXPECT_EQ(r.headers.get("Location"), c.location);
  }
  // After the redirect, a POST to a GET route is refused there.
  EXPECT_EQ(call("POST", "/gis/plots/").status, 405u);
}

TEST(Cleandoc, AsInspectCleandoc) {
  struct Case {
    const char* doc;
    const char* clean;
  };
  const Case cases[] = {
      {"Serve vector tiles with proper zoom-out support.", "Serve vector tiles with proper zoom-out support."},
      {INVALIDATE_DOC,
       "Manually invalidate cache for a specific layer.\nUseful after bulk data updates or for testing."},
      {"  First.\n      indented\n    base\n", "First.\n  indented\nbase"},
      {"\n\n   \n  a\n\tb\n", " \na\n      b"},  // a blank line longer than the margin keeps its rest
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(cleandoc(c.doc), c.clean) << c.doc;
}

TEST_F(RouterTest, OpenApiDescribesEveryRoute) {
  Response r = call("GET", "/openapi.json");
  ASSERT_EQ(r.status, 200u);
  EXPECT_EQ(r.content_type, "application/json");
  Json doc = Json::parse(r.body);
  EXPECT_EQ(doc["openapi"], "3.0.2");
  const Json& paths = doc["paths"];
  const char* expected_paths[] = {"/gis/{layer_name}/{z}/{x}/{y}.pbf", "/gis/{layer_name}/zoom-info/",
                                  "/gis/{layer_name}/bbox/", "/gis/layers/", "/gis/cache/invalidate/{layer_name}",
                                  "/gis/health/", "/gis/{layer_name}/", "/t/http-error", "/t/boom", "/t/wrong-type"};
  std::vector<std::string> got;
  for (auto it = paths.begin(); it != paths.end(); ++it) got.push_back(it.key());
  EXPECT_EQ(got, std::vector<std::string>(std::begin(expected_paths), std::end(expected_paths)));

  const Json& tile = paths["/gis/{layer_name}/{z}/{x}/{y}.pbf"]["get"];
  EXPECT_EQ(tile["tags"], Json::array({"GIS Tiles"}));
  EXPECT_EQ(tile["summary"], "Get Tile Xyz");
  EXPECT_EQ(tile["description"], "Serve vector tiles with proper zoom-out support.");
  EXPECT_EQ(tile["operationId"], "get_tile_xyz_gis__layer_name___z___x___y__pbf_get");
  ASSERT_EQ(tile["parameters"].size(), 4u);
  EXPECT_EQ(dump_json(tile["parameters"][0]),
            R"({"required":true,"schema":{"title":"Layer Name","type":"string"},"name":"layer_name","in":"path"})");
  EXPECT_EQ(tile["parameters"][1]["schema"]["type"], "integer");
  EXPECT_FALSE(tile["responses"]["200"].contains("content"));
  EXPECT_TRUE(tile["responses"].contains("422"));

  const Json& bbox = paths["/gis/{layer_name}/bbox/"]["get"];
  ASSERT_EQ(bbox["parameters"].size(), 8u);
  EXPECT_EQ(dump_json(bbox["parameters"][1]),
            R"({"description":"Bounding box minimum X","required":true,)"
            R"("schema":{"title":"Minx","type":"number","description":"Bounding box minimum X"},)"
            R"("name":"minx","in":"query"})");
  EXPECT_EQ(dump_json(bbox["parameters"][6]),
            R"({"description":"Maximum features to return","required":false,)"
            R"("schema":{"title":"Max Features","type":"integer","description":"Maximum features to return",)"
            R"("default":5000},"name":"max_features","in":"query"})");
  EXPECT_EQ(dump_json(bbox["parameters"][7]),
            R"({"description":"Apply geometry simplification","required":false,)"
            R"("schema":{"title":"Simplify","type":"boolean","description":"Apply geometry simplification",)"
            R"("default":true},"name":"simplify","in":"query"})");

  const Json& inv = paths["/gis/cache/invalidate/{layer_name}"]["post"];
  EXPECT_EQ(inv["description"],
            "Manually invalidate cache for a specific layer.\nUseful after bulk data updates or for testing.");
  EXPECT_EQ(inv["operationId"], "invalidate_cache_endpoint_gis_cache_invalidate__layer_name__post");
  EXPECT_EQ(inv["summary"], "Invalidate Cache Endpoint");

  const Json& layers = paths["/gis/layers/"]["get"];
  EXPECT_FALSE(layers.contains("parameters"));
  EXPECT_FALSE(layers["responses"].contains("422"));
  EXPECT_EQ(dump_json(layers["responses"]["200"]),
            R"({"description":"Successful Response","content":{"application/json":{"schema":{}}}})");
  EXPECT_TRUE(doc["components"]["schemas"].contains("HTTPValidationError"));
}

TEST(App, OpenApiListsMethodsOfOnePathInPathItemOrder) {
  Router r;
  auto noop = [](Request&) -> asio::awaitable<Response> { co_return empty_response(); };
  r.add({.method = "POST", .path = "/x", .name = "make_x", .handler = noop});
  r.add({.method = "GET", .path = "/x", .name = "read_x", .handler = noop});
  r.add({.method = "DELETE", .path = "/x", .name = "drop_x", .handler = noop});
  App app;
  app.include_router(r);
  const Json doc = app.openapi();
  const Json& item = doc["paths"]["/x"];
  std::vector<std::string> methods;
  for (auto it = item.begin(); it != item.end(); ++it) methods.push_back(it.key());
  EXPECT_EQ(methods, (std::vector<std::string>{"get", "post", "delete"}));
  EXPECT_EQ(item["post"]["operationId"], "make_x_x_post");
}

TEST(App, OpenApiPublishesARoutesAnswersInStatusOrder) {
  Router r;
  auto noop = [](Request&) -> asio::awaitable<Response> { co_return empty_response(); };
  r.add({.method = "GET",
         .path = "/x/{n}",
         .name = "read_x",
         .params = {path_param("n", ParamType::integer)},
         .handler = noop,
         .answers = {{503, "Busy"}, {204, "Nothing"}, {422, "Not this one"}, {404, "No such x"}}});
  App app;
  app.include_router(r);
  const Json doc = app.openapi();
  const Json& responses = doc["paths"]["/x/{n}"]["get"]["responses"];
  std::vector<std::string> codes;
  for (auto it = responses.begin(); it != responses.end(); ++it) codes.push_back(it.key());
  EXPECT_EQ(codes, (std::vector<std::string>{"200", "204", "404", "422", "503"}));
  EXPECT_EQ(dump_json(responses["204"]), R"({"description":"Nothing"})");
  EXPECT_EQ(responses["422"]["description"], "Validation Error");  // the validation answer stays
  EXPECT_EQ(responses["200"]["description"], "Successful Response");
}

TEST_F(RouterTest, UncaughtExceptionIsLoggedAtError) {
  std::ostringstream out;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
  auto logger = std::make_shared<spdlog::logger>("test", sink);
  logger->set_pattern("%l:%n:%v");
  app_.set_logger(logger);
  EXPECT_EQ(call("GET", "/t/boom").status, 500u);
  EXPECT_EQ(out.str(), "error:test:Exception in request handler GET /t/boom: handler bug\n");
  out.str("");
  EXPECT_EQ(call("GET", "/t/http-error").status, 400u);
  EXPECT_EQ(out.str(), "");  // an HttpError is an answer, not a failure
}

// A handler that checks a body itself answers in the router's own 422 shape, every error listed.
TEST_F(RouterTest, AValidationErrorOfAHandlerIsAnsweredAsTheRoutersOwn422) {
  Router r("/v");
  r.add({.method = "POST", .path = "/body", .name = "body",
         .handler = [](Request&) -> asio::awaitable<Response> {
           throw ValidationError({{Json::array({"body", "district"}), "field required", "value_error.missing"},
                                  {Json::array({"body", "bounding_box", 2}), "value is not a valid float",
                                   "type_error.float"}});
           co_return empty_response();
         }});
  app_.include_router(r);
  const Response answer = call("POST", "/v/body");
  EXPECT_EQ(answer.status, 422u);
  EXPECT_EQ(answer.content_type, "application/json");
  EXPECT_EQ(answer.body,
            R"({"detail":[{"loc":["body","district"],"msg":"field required","type":"value_error.missing"},)"
            R"({"loc":["body","bounding_box",2],"msg":"value is not a valid float","type":"type_error.float"}]})");
}

// The App's answer to `method` `path`, dispatched on a loop of its own.
Response dispatched(const App& app, const std::string& method, const std::string& path) {
  Request req;
  req.method = method;
  req.target = req.path = path;
  asio::io_context ioc;
  std::optional<Response> out;
  asio::co_spawn(ioc, [&]() -> asio::awaitable<void> { out = co_await app.dispatch(req); }, asio::detached);
  ioc.run();
  return std::move(*out);
}

// A route's own answer fields come with every answer it gives: success, parameter errors,
// HttpError answers and failures alike; other routes do not get them.
TEST(App, ARoutesAnswerHeadersComeWithEveryAnswer) {
  Router r("/r");
  const std::vector<std::pair<std::string, std::string>> no_store = {{"Cache-Control", "no-store"}};
  r.add({.method = "GET", .path = "/{n}", .name = "numbered", .params = {path_param("n", ParamType::integer)},
         .handler = [](Request& req) -> asio::awaitable<Response> {
           if (req.integer("n").text == "1") throw HttpError(404, "gone");
           if (req.integer("n").text == "2") throw std::runtime_error("bug");
           co_return json_response(200, Json::object());
         },
         .answer_headers = no_store});
  r.add({.method = "GET", .path = "/plain/x", .name = "plain", .handler = echo("plain")});
  App app;
  app.set_logger(std::make_shared<spdlog::logger>("quiet"));
  app.include_router(r);
  auto call = [&](const std::string& path) { return dispatched(app, "GET", path); };
  for (const auto& [path, status] : {std::pair{"/r/0", 200u}, {"/r/1", 404u}, {"/r/2", 500u}, {"/r/x", 422u}}) {
    Response a = call(path);
    EXPECT_EQ(a.status, status) << path;
    ASSERT_NE(a.headers.find("Cache-Control"), nullptr) << path;
    EXPECT_EQ(*a.headers.find("Cache-Control"), "no-store") << path;
  }
  EXPECT_EQ(call("/r/plain/x").headers.find("Cache-Control"), nullptr);
}

// A router's answer fields come with every answer under its prefix, the App's own 404, 405 and
// redirect included; answers elsewhere (even under a longer name) do not get them.
TEST(App, ARoutersAnswerFieldsComeWithEveryAnswerUnderItsPrefix) {
  Router kept("/kept");
  kept.answer_with({{"Cache-Control", "no-store"}});
  kept.add({.method = "POST", .path = "/{n}/doc", .name = "doc", .params = {path_param("n", ParamType::integer)},
            .handler = echo("doc")});
  Router other("/other");
  other.add({.method = "GET", .path = "/x", .name = "x", .handler = echo("x")});
  App app;
  app.set_logger(std::make_shared<spdlog::logger>("quiet"));
  app.include_router(kept);
  app.include_router(other);
  auto call = [&](const std::string& method, const std::string& path) { return dispatched(app, method, path); };
  struct Case {
    const char* method;
    const char* path;
    unsigned status;
    bool kept;
  };
  const Case cases[] = {
      {"POST", "/kept/1/doc", 200, true},   {"POST", "/kept/x/doc", 422, true},
      {"GET", "/kept/1/doc", 405, true},    {"GET", "/kept/1/other", 404, true},
      {"POST", "/kept/1/doc/", 307, true},  {"GET", "/kept", 404, true},
      {"GET", "/other/x", 200, false},      {"GET", "/other/y", 404, false},
      {"GET", "/keptx/1/doc", 404, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    Response a = call(c.method, c.path);
    EXPECT_EQ(a.status, c.status);
    const std::string* cc = a.headers.find("Cache-Control");
    if (c.kept) {
      ASSERT_NE(cc, nullptr);
      EXPECT_EQ(*cc, "no-store");
    } else {
      EXPECT_EQ(cc, nullptr);
    }
  }
  Response refusal = text_response(413, "x");
  app.add_answer_fields("/kept/1/doc", refusal);
  EXPECT_EQ(refusal.headers.get("Cache-Control"), "no-store");
}

TEST(App, StartupHooksRunOnceInOrder) {
  App app;
  std::vector<int> seen;
  app.on_startup([&] { seen.push_back(1); });
  app.on_startup([&] { seen.push_back(2); });
  app.run_startup();
  app.run_startup();
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

}  // namespace
