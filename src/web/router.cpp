#include "web/router.hpp"

#include <algorithm>
#include <climits>
#include <exception>

#include <spdlog/spdlog.h>

#include "base/error.hpp"
#include "base/strings.hpp"
#include "web/framing.hpp"
#include "web/validation.hpp"

namespace vekt::web {

// A path template as alternating literal and parameter pieces.
struct App::Compiled {
  struct Piece {
    bool param;
    std::string text;  // literal text or parameter name
  };
  std::vector<Piece> pieces;

  static Compiled compile(std::string_view path) {
    Compiled c;
    std::size_t i = 0;
    while (i < path.size()) {
      std::size_t open = path.find('{', i);
      std::size_t close = open == std::string_view::npos ? std::string_view::npos : path.find('}', open);
      if (open == std::string_view::npos || close == std::string_view::npos) {
        c.pieces.push_back({false, std::string(path.substr(i))});
        break;
      }
      if (open > i) c.pieces.push_back({false, std::string(path.substr(i, open - i))});
      c.pieces.push_back({true, std::string(path.substr(open + 1, close - open - 1))});
      i = close + 1;
    }
    return c;
  }

  // Backtracking match: a parameter takes one or more characters other than "/", longest first,
  // like the regular expression [^/]+ between the literal parts.
  bool match(std::string_view path, std::size_t piece, std::size_t pos,
             std::vector<std::pair<std::string, std::string>>& out) const {
    if (piece == pieces.size()) return pos == path.size();
    const Piece& p = pieces[piece];
    if (!p.param) {
      if (path.substr(pos, p.text.size()) != p.text) return false;
      return match(path, piece + 1, pos + p.text.size(), out);
    }
    std::size_t end = path.find('/', pos);
    if (end == std::string_view::npos) end = path.size();
    for (std::size_t stop = end; stop > pos; --stop) {
      out.emplace_back(p.text, std::string(path.substr(pos, stop - pos)));
      if (match(path, piece + 1, stop, out)) return true;
      out.pop_back();
    }
    return false;
  }
};

namespace {

const char* OPENAPI_PATH = "/openapi.json";

ParamValue default_of(const ParamSpec& p) {
  const Json& d = p.default_value;
  switch (p.type) {
    case ParamType::integer:
      if (d.is_number_integer()) {
        long long v = d.get<long long>();
        return IntValue{v, std::to_string(v)};
      }
      break;
    case ParamType::number:
      if (d.is_number()) return d.get<double>();
      break;
    case ParamType::boolean:
      if (d.is_boolean()) return d.get<bool>();
      break;
    case ParamType::string:
      if (d.is_string()) return d.get<std::string>();
      break;
  }
  return std::monostate{};
}

FieldError missing(const char* where, const std::string& name) {
  return {Json::array({where, name}), "field required", "value_error.missing"};
}

// Convert one text; on failure append the error entry and return false.
bool convert(const ParamSpec& p, const std::string& text, const char* where, ParamValue& out,
             std::vector<FieldError>& errors) {
  auto wrong = [&](const char* msg, const char* type) {
    errors.push_back({Json::array({where, p.name}), msg, type});
    return false;
  };
  switch (p.type) {
    case ParamType::string:
      out = text;
      return true;
    case ParamType::integer:
      if (auto v = base::py_int(text)) {
        out = std::move(*v);
        return true;
      }
      return wrong("value is not a valid integer", "type_error.integer");
    case ParamType::number:
      if (auto v = base::py_float(text)) {
        out = *v;
        return true;
      }
      return wrong("value is not a valid float", "type_error.float");
    case ParamType::boolean:
      if (auto v = base::py_bool(text)) {
        out = *v;
        return true;
      }
      return wrong("value could not be parsed to a boolean", "type_error.bool");
  }
  return false;
}

}  // namespace

ParamSpec path_param(std::string name, ParamType type) {
  ParamSpec p;
  p.name = std::move(name);
  p.in = ParamIn::path;
  p.type = type;
  return p;
}

ParamSpec query_param(std::string name, ParamType type, std::string description) {
  ParamSpec p;
  p.name = std::move(name);
  p.in = ParamIn::query;
  p.type = type;
  p.description = std::move(description);
  return p;
}

ParamSpec query_param(std::string name, ParamType type, Json default_value, std::string description) {
  ParamSpec p = query_param(std::move(name), type, std::move(description));
  p.required = false;
  p.default_value = std::move(default_value);
  return p;
}

Router::Router(std::string prefix, std::vector<std::string> tags) : prefix_(std::move(prefix)), tags_(std::move(tags)) {}

Router& Router::add(Route route) {
  routes_.push_back(std::move(route));
  return *this;
}

Router& Router::guard_with(Guard guard) {
  guard_ = std::move(guard);
  return *this;
}

Router& Router::answer_with(AnswerFields fields) {
  answer_fields_ = std::move(fields);
  return *this;
}

std::string cleandoc(std::string_view doc) {
  // Expand tabs to 8 columns, per line.
  std::vector<std::string> lines;
  std::string cur;
  for (char c : doc) {
    if (c == '\n') {
      lines.push_back(std::move(cur));
      cur.clear();
    } else if (c == '\t') {
      cur.append(8 - cur.size() % 8, ' ');
    } else {
      cur += c;
    }
  }
  lines.push_back(std::move(cur));
  std::size_t margin = SIZE_MAX;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::size_t content = lines[i].find_first_not_of(' ');
    if (content != std::string::npos) margin = std::min(margin, content);
  }
  std::size_t first = lines[0].find_first_not_of(' ');
  lines[0] = first == std::string::npos ? "" : lines[0].substr(first);
  if (margin != SIZE_MAX)
    for (std::size_t i = 1; i < lines.size(); ++i) lines[i] = lines[i].size() > margin ? lines[i].substr(margin) : "";
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  std::size_t start = 0;
  while (start < lines.size() && lines[start].empty()) ++start;
  std::string out;
  for (std::size_t i = start; i < lines.size(); ++i) {
    if (i > start) out += '\n';
    out += lines[i];
  }
  return out;
}

App::App(std::string title, std::string version) : title_(std::move(title)), version_(std::move(version)) {}

HttpError busy_error() {
  return HttpError(503, "The server is busy. Please try again shortly.", {{"Retry-After", "1"}});
}

void App::include_router(const Router& router) {
  if (!router.answer_fields().empty()) prefix_fields_.push_back({router.prefix(), router.answer_fields()});
  if (router.guard()) guarded_prefixes_.push_back(router.prefix());
  for (const Route& r : router.routes()) {
    Mounted m{r, router.tags()};
    m.route.path = router.prefix() + r.path;
    if (!m.route.guard) m.route.guard = router.guard();
    compiled_.push_back(std::make_shared<const Compiled>(Compiled::compile(m.route.path)));
    routes_.push_back(std::move(m));
  }
}

std::shared_ptr<spdlog::logger> App::logger() const { return logger_ ? logger_ : spdlog::default_logger(); }

void App::on_startup(std::function<void()> hook) { startup_.push_back(std::move(hook)); }

void App::run_startup() {
  if (started_) return;
  started_ = true;
  for (auto& hook : startup_) hook();
}

Match App::match(std::string_view method, std::string_view path) const {
  Match m;
  std::optional<std::size_t> partial;
  auto path_matches = [&](std::string_view p, std::vector<std::pair<std::string, std::string>>& params) {
    if (p == OPENAPI_PATH) return std::optional<std::size_t>(SIZE_MAX);
    for (std::size_t i = 0; i < compiled_.size(); ++i) {
      params.clear();
      if (compiled_[i]->match(p, 0, 0, params)) return std::optional<std::size_t>(i);
    }
    return std::optional<std::size_t>();
  };
  // The API description comes before every mounted route.
  if (path == OPENAPI_PATH) {
    if (method == "GET" || method == "HEAD") {
      m.kind = Match::Kind::found;
      m.route = SIZE_MAX;
    } else {
      m.kind = Match::Kind::method_not_allowed;
      m.allow = "GET, HEAD";
    }
    return m;
  }
  for (std::size_t i = 0; i < compiled_.size(); ++i) {
    std::vector<std::pair<std::string, std::string>> params;
    if (!compiled_[i]->match(path, 0, 0, params)) continue;
    if (routes_[i].route.method == method) {
      m.kind = Match::Kind::found;
      m.route = i;
      m.path_params = std::move(params);
      return m;
    }
    if (!partial) partial = i;
  }
  if (partial) {
    m.kind = Match::Kind::method_not_allowed;
    m.allow = routes_[*partial].route.method;
    return m;
  }
  if (path != "/") {
    std::string other(path);
    if (!other.empty() && other.back() == '/') {
      while (!other.empty() && other.back() == '/') other.pop_back();
    } else {
      other += '/';
    }
    std::vector<std::pair<std::string, std::string>> ignored;
    if (path_matches(other, ignored)) {
      m.kind = Match::Kind::redirect;
      m.redirect_path = std::move(other);
      return m;
    }
  }
  m.kind = Match::Kind::not_found;
  return m;
}

namespace {

// The 307 to `path`, the request's own path with its trailing slash added or removed.
Response redirect_response(const Request& request, const std::string& path) {
  Response r = empty_response(307);
  std::string location = percent_encode_path(path);
  // The query goes back as it came, its escapes kept; only characters that may not stand in
  // a URL (quotes, braces, non-ASCII bytes, ...) are escaped.
  if (!request.query_string.empty())
    location += "?" + base::percent_encode(request.query_string, "-._~:/%#?=@[]!$&'()*+,;");
  // Without a usable Host the path alone is sent: a relative Location is valid, while
  // "http://" with an empty host would not be.
  if (const std::string* host = request.headers.find("Host"); host != nullptr && !host->empty())
    location = request.scheme + "://" + *host + location;
  r.headers.set("Location", location);
  return r;
}

// Whether the decoded `path` is `prefix` or lies below it.
bool lies_under(std::string_view path, std::string_view prefix) {
  return path.starts_with(prefix) && (path.size() == prefix.size() || path[prefix.size()] == '/');
}

Response with_route_headers(const Route& route, Response r) {
  for (const auto& [name, value] : route.answer_headers) r.headers.set(name, value);
  return r;
}

bool carries_body(const Request& request) { return !request.body.empty() || announces_body(request.headers); }

// application/json, or a type with the "+json" suffix (application/geo+json), parameters aside.
bool is_json_media(std::string_view content_type) {
  const std::string type = base::ascii_lower(base::trim_blanks(content_type.substr(0, content_type.find(';'))));
  if (type == "application/json") return true;
  const std::size_t slash = type.find('/');
  return slash != std::string::npos && slash > 0 && type.size() > slash + 1 + 5 && type.ends_with("+json");
}

const char* const JSON_BODY_EXPECTED = "The request body must be application/json";

}  // namespace

void App::add_answer_fields(std::string_view path, Response& answer) const {
  for (const PrefixFields& p : prefix_fields_) {
    if (!lies_under(path, p.prefix)) continue;
    for (const auto& [name, value] : p.fields) answer.headers.set(name, value);
  }
}

OriginScope App::origin_scope(std::string_view path) const {
  for (const std::string& prefix : guarded_prefixes_)
    if (lies_under(path, prefix)) return OriginScope::named;
  std::vector<std::pair<std::string, std::string>> ignored;
  for (std::size_t i = 0; i < routes_.size(); ++i) {
    ignored.clear();
    if (routes_[i].route.guard && compiled_[i]->match(path, 0, 0, ignored)) return OriginScope::named;
  }
  return OriginScope::listed;
}

std::optional<Response> App::refusal(const Request& request, const Match& m) const {
  switch (m.kind) {
    case Match::Kind::not_found:
      return error_response(HttpError(404, "Not Found"));
    case Match::Kind::method_not_allowed:
      return error_response(HttpError(405, "Method Not Allowed", {{"Allow", m.allow}}));
    case Match::Kind::redirect:
      return std::nullopt;
    case Match::Kind::found:
      break;
  }
  if (m.route == SIZE_MAX) return std::nullopt;
  const Route& route = routes_[m.route].route;
  try {
    if (route.guard) route.guard(request);
  } catch (const HttpError& e) {
    return with_route_headers(route, error_response(e));
  } catch (const std::exception& e) {
    logger()->error("Exception in the caller check of {} {}: {}", request.method, request.path, e.what());
    return with_route_headers(route, text_response(500, "Internal Server Error"));
  }
  const std::string* type = request.headers.find("Content-Type");
  const bool json = request.headers.count("Content-Type") == 1 && is_json_media(*type);
  if (route.json_body && carries_body(request) && !json)
    return with_route_headers(route, error_response(HttpError(415, JSON_BODY_EXPECTED)));
  return std::nullopt;
}

std::optional<Response> App::admit(const Request& request) const {
  std::optional<Response> refused = refusal(request, match(request.method, request.path));
  if (refused) add_answer_fields(request.path, *refused);
  return refused;
}

boost::asio::awaitable<Response> App::dispatch(Request& request) const {
  Response r = co_await answer(request);
  add_answer_fields(request.path, r);
  co_return r;
}

boost::asio::awaitable<Response> App::answer(Request& request) const {
  Match m = match(request.method, request.path);
  if (std::optional<Response> refused = refusal(request, m)) co_return std::move(*refused);
  if (m.kind == Match::Kind::redirect) co_return redirect_response(request, m.redirect_path);
  if (m.route == SIZE_MAX) {
    std::call_once(openapi_once_, [this] { openapi_text_ = dump_json(openapi()); });
    Response r;
    r.content_type = "application/json";
    r.body = openapi_text_;
    co_return r;
  }

  const Mounted& mounted = routes_[m.route];
  const Route& route = mounted.route;
  // Convert every parameter first; the handler runs only when all of them converted.
  std::vector<FieldError> errors;
  request.params.clear();
  for (int pass = 0; pass < 2; ++pass) {
    ParamIn in = pass == 0 ? ParamIn::path : ParamIn::query;
    for (const ParamSpec& p : route.params) {
      if (p.in != in) continue;
      ParamValue value;
      if (in == ParamIn::path) {
        auto it = std::find_if(m.path_params.begin(), m.path_params.end(),
                               [&](const auto& kv) { return kv.first == p.name; });
        if (it == m.path_params.end()) {
          errors.push_back(missing("path", p.name));
          continue;
        }
        if (!convert(p, it->second, "path", value, errors)) continue;
      } else {
        std::optional<std::string> text = request.query_value(p.name);
        if (!text) {
          if (p.required) {
            errors.push_back(missing("query", p.name));
            continue;
          }
          value = default_of(p);
        } else if (!convert(p, *text, "query", value, errors)) {
          continue;
        }
      }
      request.params.insert_or_assign(p.name, std::move(value));
    }
  }
  if (!errors.empty()) co_return with_route_headers(route, validation_response(errors));

  std::optional<Response> answer;
  std::string failure;
  try {
    answer = co_await route.handler(request);
  } catch (const HttpError& e) {
    answer = error_response(e);
  } catch (const ValidationError& e) {
    answer = validation_response(e.errors());
  } catch (const base::OutOfResources& e) {
    logger()->error("Request handler {} {} ran out of resources: {}", request.method, request.path, e.what());
    answer = error_response(busy_error());
  } catch (const std::exception& e) {
    failure = e.what();
    if (failure.empty()) failure = typeid(e).name();
  } catch (...) {
    failure = "unknown exception";
  }
  if (answer) co_return with_route_headers(route, std::move(*answer));
  logger()->error("Exception in request handler {} {}: {}", request.method, request.path, failure);
  co_return with_route_headers(route, text_response(500, "Internal Server Error"));
}

}  // namespace vekt::web
