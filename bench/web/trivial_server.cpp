// vekt_bench_web_server PORT LOOPS: the HTTP layer with one trivial route (GET /ping -> "pong")
// and one small JSON route (GET /json), so wrk measures the server and router alone.
#include <cstdio>
#include <cstdlib>

#include "web/router.hpp"
#include "web/server.hpp"

int main(int argc, char** argv) {
  using namespace vekt::web;
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PORT LOOPS\n", argv[0]);
    return 2;
  }
  App app("bench");
  Router r;
  r.add({.method = "GET", .path = "/ping", .name = "ping", .handler = [](Request&) -> boost::asio::awaitable<Response> {
           co_return text_response(200, "pong");
         }});
  r.add({.method = "GET", .path = "/json/{name}", .name = "json",
         .params = {path_param("name", ParamType::string), query_param("n", ParamType::integer, Json(1), "")},
         .handler = [](Request& req) -> boost::asio::awaitable<Response> {
           Json body = Json::object();
           body["name"] = req.str("name");
           body["n"] = req.integer("n").text;
           co_return json_response(200, body);
         }});
  app.include_router(r);
  ServerConfig cfg;
  cfg.port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  cfg.threads = static_cast<unsigned>(std::atoi(argv[2]));
  Server server(app, cfg);
  server.start();
  std::fprintf(stderr, "listening on %u with %u loops\n", server.port(), server.loop_count());
  server.run_until_signal();
  return 0;
}
