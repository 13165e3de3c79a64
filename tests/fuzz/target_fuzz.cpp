// Fuzz target over everything a request-target goes through before a handler runs: target
// splitting, percent-decoding, query parsing, parameter conversion, route matching, the
// client-address resolution, the Host syntax, and the JSON writer the answers use.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/pyconv.hpp"
#include "web/framing.hpp"
#include "web/http.hpp"
#include "web/json.hpp"
#include "web/router.hpp"

namespace {

using namespace vekt::web;

const App& app() {
  static App* a = [] {
    auto* app = new App();
    Router r("/gis", {"GIS Tiles"});
    Handler none;
    r.add({.method = "GET", .path = "/{layer_name}/{z}/{x}/{y}.pbf", .name = "t", .handler = none});
    r.add({.method = "GET", .path = "/{layer_name}/zoom-info/", .name = "z", .handler = none});
    r.add({.method = "GET", .path = "/{layer_name}/bbox/", .name = "b", .handler = none});
    r.add({.method = "GET", .path = "/layers/", .name = "l", .handler = none});
    r.add({.method = "POST", .path = "/cache/invalidate/{layer_name}", .name = "i", .handler = none});
    r.add({.method = "GET", .path = "/health/", .name = "h", .handler = none});
    r.add({.method = "GET", .path = "/{layer_name}/", .name = "c", .handler = none});
    app->include_router(r);
    return app;
  }();
  return *a;
}

bool valid_utf8(const std::string& s) {
  // dump_json replaces invalid bytes; a decoded text must already be valid, so nothing changes.
  return dump_json(Json(s)).size() >= s.size() + 2;
}

void check_int(const std::string& text) {
  if (auto v = vekt::base::py_int(text)) {
    if (v->value && std::to_string(*v->value) != v->text) std::abort();
    auto again = vekt::base::py_int(v->text);
    if (!again || again->text != v->text) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  ParsedTarget t = parse_target(input);
  if (!valid_utf8(t.path)) std::abort();
  for (const auto& [k, v] : t.query) {
    if (!valid_utf8(k) || !valid_utf8(v)) std::abort();
    check_int(v);
    (void)vekt::base::py_float(v);
    (void)vekt::base::py_bool(v);
  }
  for (const char* method : {"GET", "POST"}) {
    Match m = app().match(method, t.path);
    if (m.kind == Match::Kind::found && m.route < app().routes().size()) {
      for (const auto& [name, value] : m.path_params)
        if (value.empty() || value.find('/') != std::string::npos) std::abort();
    }
    if (m.kind == Match::Kind::redirect) {
      if (percent_decode(percent_encode_path(m.redirect_path), false) != m.redirect_path) std::abort();
    }
  }
  std::string peer = "127.0.0.1";
  std::string client = resolve_client_host(peer, &input, {"127.0.0.1", "::1"});
  if (client.empty()) std::abort();
  // The same text as a "Forwarded" value: one node per element, and never local unless a node is.
  Headers forwarded;
  forwarded.add("Host", "127.0.0.1");
  forwarded.add("Forwarded", input);
  const std::vector<std::string> nodes = forwarded_for_nodes(input);
  if (nodes.empty()) std::abort();
  if (is_local_request(peer, forwarded, {"127.0.0.1"}, "127.0.0.1") &&
      std::none_of(nodes.begin(), nodes.end(), [](const std::string& n) { return is_loopback(n); }))
    std::abort();
  // The same text as a Host: one that is taken can stand in a Location's authority as it is.
  if (auto host = parse_host(input)) {
    if (host->host.find_first_of("/?#@ \t\r\n\\") != std::string::npos) std::abort();
    if (host->port.size() > 5) std::abort();
  }
  check_int(input);
  (void)vekt::base::py_float(input);
  (void)dump_json_python(Json(input));
  return 0;
}
