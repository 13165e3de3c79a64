#pragma once
// Route registration, matching and the framework behaviour clients rely on: routes tried in
// registration order, one segment per path parameter, typed parameters converted before the
// handler runs (422 listing every error, web/validation.hpp), 405 with Allow, 404, the 307 trailing-slash redirect,
// HttpError bodies, 503 for a server out of resources, 500 for anything else uncaught, and the
// published /openapi.json.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <spdlog/logger.h>

#include "web/http.hpp"
#include "web/json.hpp"

namespace vekt::web {

enum class ParamIn { path, query };
enum class ParamType { string, integer, number, boolean };

struct ParamSpec {
  std::string name{};
  ParamIn in = ParamIn::path;
  ParamType type = ParamType::string;
  bool required = true;
  Json default_value{};       // used when not required (null: no default published)
  std::string description{};  // empty: none published
  std::string title{};        // empty: derived from the name ("layer_name" -> "Layer Name")
};

// Shorthands: a path parameter; a required query parameter; a query parameter with a default.
ParamSpec path_param(std::string name, ParamType type);
ParamSpec query_param(std::string name, ParamType type, std::string description = {});
ParamSpec query_param(std::string name, ParamType type, Json default_value, std::string description);

// A status a route answers and what it means. Published as one of the operation's "responses"
// in /openapi.json, beside 200 and the 422 of a route with parameters or a body, so a client
// (and the API page, which is checked against it) knows every answer before meeting it.
struct RouteAnswer {
  unsigned status = 0;
  std::string description{};
};

// The request is taken by reference although handlers are coroutines: it lives in the connection's
// session frame, which awaits the handler to its end, so it outlives every handler frame.
using Handler = std::function<boost::asio::awaitable<Response>(Request&)>;

// Who may call a route that acts for the operator or issues documents: it throws HttpError (401,
// 403, ...) to refuse the caller. It is asked on the request's head, before the body is read
// (and before "100 Continue" invites it) and before any parameter is converted, so a refused
// caller learns nothing and sends nothing more. Such a route's answers are shared with other
// origins only by name, never through "*".
using Guard = std::function<void(const Request&)>;

struct Route {
  std::string method{};  // "GET", "POST", ...
  std::string path{};    // template under the router prefix, "/{layer_name}/{z}/{x}/{y}.pbf"
  std::string name{};    // handler name: summary "Get Tile Xyz" and operationId derive from it
  std::string doc{};     // documentation text as written; published cleaned (cleandoc)
  std::vector<ParamSpec> params{};  // in declaration order
  Handler handler{};
  bool json_response = true;  // false: the route answers raw bytes (no JSON content published)
  Json request_body{};        // published as the operation's requestBody when not null
  // The route takes a JSON body only: a body sent as anything but application/json (or a
  // "+json" type) is refused 415 before it is read. A page of another site can post a form or
  // text/plain without asking, never JSON.
  bool json_body = false;
  Guard guard{};              // none: anyone may call
  // Fields set on every answer of the route, its parameter errors and failures included (a
  // "Cache-Control" for answers no cache may keep).
  std::vector<std::pair<std::string, std::string>> answer_headers{};
  std::vector<RouteAnswer> answers{};  // the other statuses it gives, published as "responses"
};

using AnswerFields = std::vector<std::pair<std::string, std::string>>;

class Router {
 public:
  explicit Router(std::string prefix = {}, std::vector<std::string> tags = {});
  Router& add(Route route);
  // Fields set on every answer under the prefix, whoever gives it: the routes, the App's 404,
  // 405 and redirects, and the server's refusals of a request it could not read (400, 413, 431).
  Router& answer_with(AnswerFields fields);
  // One guard for every route of the router (those added before and after); everything under
  // its prefix, the App's 404 and 405 included, is then shared with other origins only by name.
  Router& guard_with(Guard guard);
  const Guard& guard() const { return guard_; }
  const std::string& prefix() const { return prefix_; }
  const std::vector<std::string>& tags() const { return tags_; }
  const std::vector<Route>& routes() const { return routes_; }
  const AnswerFields& answer_fields() const { return answer_fields_; }

 private:
  std::string prefix_;
  std::vector<std::string> tags_;
  std::vector<Route> routes_;
  AnswerFields answer_fields_;
  Guard guard_;
};

// Python's inspect.cleandoc: tabs expanded, leading/trailing blank lines dropped, the common
// indentation of the lines after the first removed.
std::string cleandoc(std::string_view doc);

// What matching a method and decoded path against the table found.
struct Match {
  enum class Kind { found, method_not_allowed, redirect, not_found } kind = Kind::not_found;
  std::size_t route = 0;                // index into App::routes() when found
  std::vector<std::pair<std::string, std::string>> path_params;  // raw segment texts
  std::string allow;                    // Allow value for 405
  std::string redirect_path;            // decoded path to redirect to for 307
};

// The answer when the server ran out of something of its own (base::OutOfResources): 503 with
// Retry-After, since it is neither the client's fault nor for good.
HttpError busy_error();

class App {
 public:
  explicit App(std::string title = "vekt", std::string version = "0.1.0");
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // Mount every route of the router (prefix prepended, its tags attached), after the routes
  // included before. Must happen before serving starts.
  void include_router(const Router& router);
  // A start-up hook of a deliverable; run_startup() runs the hooks once, in order.
  void on_startup(std::function<void()> hook);
  void run_startup();
  // Where uncaught handler exceptions are logged at ERROR (default: spdlog's default logger).
  void set_logger(std::shared_ptr<spdlog::logger> logger) { logger_ = std::move(logger); }
  std::shared_ptr<spdlog::logger> logger() const;

  Match match(std::string_view method, std::string_view path) const;
  // Everything after the request was read: matching, conversion, the handler, error answers.
  // Never throws.
  boost::asio::awaitable<Response> dispatch(Request& request) const;
  // The refusal of a request on its head alone, before its body is read: 404 and 405 from
  // matching, the route's guard, 415 for a body the route cannot take. nullopt when the request
  // may be read. dispatch() asks the same first.
  std::optional<Response> admit(const Request& request) const;
  // Sets the answer fields of the routers whose prefix `path` (decoded) lies under; for answers
  // the server gives itself.
  void add_answer_fields(std::string_view path, Response& answer) const;
  // The origins answers for `path` (decoded) may be shared with: by name only under a guarded
  // router's prefix and on a guarded route's path, else every origin the policy allows.
  OriginScope origin_scope(std::string_view path) const;

  // The published API description (also served at GET /openapi.json); built in web/openapi.cpp.
  Json openapi() const;

  struct Mounted {
    Route route;
    std::vector<std::string> tags;
  };
  const std::vector<Mounted>& routes() const { return routes_; }

 private:
  boost::asio::awaitable<Response> answer(Request& request) const;
  std::optional<Response> refusal(const Request& request, const Match& match) const;
  struct PrefixFields {
    std::string prefix;
    AnswerFields fields;
  };
  struct Compiled;
  std::string title_, version_;
  std::vector<PrefixFields> prefix_fields_;
  std::vector<std::string> guarded_prefixes_;
  std::vector<Mounted> routes_;
  std::vector<std::shared_ptr<const Compiled>> compiled_;
  std::vector<std::function<void()>> startup_;
  bool started_ = false;
  std::shared_ptr<spdlog::logger> logger_;
  mutable std::once_flag openapi_once_;
  mutable std::string openapi_text_;
};

}  // namespace vekt::web
