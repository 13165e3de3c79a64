#include "web/http.hpp"

#include <algorithm>
#include <cstdint>

#include <boost/asio/ip/address.hpp>

#include "base/strings.hpp"
#include "base/utf8.hpp"
#include "web/framing.hpp"

namespace vekt::web {
namespace {

// Bytes to valid UTF-8: each maximal ill-formed subsequence becomes one U+FFFD.
std::string sanitize_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const base::Utf8Sequence seq = base::utf8_sequence_at(s, i);
    if (seq.valid) out.append(s.substr(i, seq.length));
    else out += "\xef\xbf\xbd";
    i += seq.length;
  }
  return out;
}

const ParamValue& param_of(const Request& r, std::string_view name) {
  auto it = r.params.find(name);
  if (it == r.params.end()) throw std::logic_error("route has no parameter " + std::string(name));
  return it->second;
}

template <class T>
const T& typed(const Request& r, std::string_view name) {
  const auto* v = std::get_if<T>(&param_of(r, name));
  if (v == nullptr) throw std::logic_error("parameter " + std::string(name) + " has another type or no value");
  return *v;
}

}  // namespace

const std::string* Headers::find(std::string_view name) const {
  for (const auto& [k, v] : fields_)
    if (base::iequals_ascii(k, name)) return &v;
  return nullptr;
}

std::string Headers::get(std::string_view name, std::string_view fallback) const {
  const std::string* v = find(name);
  return v != nullptr ? *v : std::string(fallback);
}

void Headers::set(std::string name, std::string value) {
  erase(name);
  fields_.emplace_back(std::move(name), std::move(value));
}

std::size_t Headers::count(std::string_view name) const {
  return static_cast<std::size_t>(
      std::count_if(fields_.begin(), fields_.end(), [&](const auto& f) { return base::iequals_ascii(f.first, name); }));
}

std::optional<std::string> Headers::joined(std::string_view name) const {
  std::optional<std::string> out;
  for (const auto& [k, v] : fields_) {
    if (!base::iequals_ascii(k, name)) continue;
    if (out) *out += ",";
    else out.emplace();
    *out += v;
  }
  return out;
}

void Headers::add(std::string name, std::string value) { fields_.emplace_back(std::move(name), std::move(value)); }

void Headers::erase(std::string_view name) {
  std::erase_if(fields_, [&](const auto& f) { return base::iequals_ascii(f.first, name); });
}

std::optional<std::string> Request::query_value(std::string_view key) const {
  std::optional<std::string> out;
  for (const auto& [k, v] : query)
    if (k == key) out = v;
  return out;
}

const std::string& Request::client_host() const {
  static const std::string unknown = "unknown";
  return client.empty() ? unknown : client;
}

bool Request::has(std::string_view name) const {
  auto it = params.find(name);
  return it != params.end() && !std::holds_alternative<std::monostate>(it->second);
}
const std::string& Request::str(std::string_view name) const { return typed<std::string>(*this, name); }
const IntValue& Request::integer(std::string_view name) const { return typed<IntValue>(*this, name); }
double Request::number(std::string_view name) const { return typed<double>(*this, name); }
bool Request::boolean(std::string_view name) const { return typed<bool>(*this, name); }

Response json_response(unsigned status, const Json& value) {
  Response r;
  r.status = status;
  r.content_type = "application/json";
  r.body = dump_json(value);
  return r;
}

Response bytes_response(unsigned status, std::string body, std::string media_type,
                        std::vector<std::pair<std::string, std::string>> extra_headers) {
  Response r;
  r.status = status;
  r.content_type = std::move(media_type);
  r.body = std::move(body);
  for (auto& [k, v] : extra_headers) r.headers.add(std::move(k), std::move(v));
  return r;
}

Response empty_response(unsigned status) {
  Response r;
  r.status = status;
  return r;
}

Response text_response(unsigned status, std::string text) {
  Response r;
  r.status = status;
  r.content_type = "text/plain; charset=utf-8";
  r.body = std::move(text);
  return r;
}

HttpError::HttpError(unsigned status, std::string detail, std::vector<std::pair<std::string, std::string>> headers)
    : std::runtime_error(detail), status_(status), detail_(std::move(detail)), headers_(std::move(headers)) {}

Response error_response(const HttpError& error) {
  Json body = Json::object();
  body["detail"] = error.detail();
  Response r = json_response(error.status(), body);
  for (const auto& [k, v] : error.headers()) r.headers.add(k, v);
  return r;
}

std::string percent_decode(std::string_view text, bool plus_as_space) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      int h = base::hex_digit_value(text[i + 1]), l = base::hex_digit_value(text[i + 2]);
      if (h >= 0 && l >= 0) {
        bytes += static_cast<char>(h * 16 + l);
        i += 2;
        continue;
      }
    }
    bytes += (plus_as_space && c == '+') ? ' ' : c;
  }
  return sanitize_utf8(bytes);
}

std::string percent_encode_path(std::string_view path) {
  return base::percent_encode(path, "/-._~!$&'()*+,;=:@");
}

ParsedTarget parse_target(std::string_view target) {
  ParsedTarget out;
  std::size_t q = target.find('?');
  std::string_view raw_path = target.substr(0, q);
  // A fragment is never sent by well-behaved clients; drop it if one is.
  if (std::size_t h = raw_path.find('#'); h != std::string_view::npos) raw_path = raw_path.substr(0, h);
  out.path = percent_decode(raw_path, false);
  if (q != std::string_view::npos) {
    std::string_view qs = target.substr(q + 1);
    if (std::size_t h = qs.find('#'); h != std::string_view::npos) qs = qs.substr(0, h);
    out.query_string = std::string(qs);
    std::size_t start = 0;
    while (start <= qs.size()) {
      std::size_t amp = qs.find('&', start);
      std::string_view piece = qs.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
      if (!piece.empty()) {
        std::size_t eq = piece.find('=');
        std::string_view k = piece.substr(0, eq);
        std::string_view v = eq == std::string_view::npos ? std::string_view{} : piece.substr(eq + 1);
        out.query.emplace_back(percent_decode(k, true), percent_decode(v, true));
      }
      if (amp == std::string_view::npos) break;
      start = amp + 1;
    }
  }
  return out;
}

bool is_trusted_proxy(const std::vector<std::string>& trusted, std::string_view ip) {
  for (const auto& t : trusted)
    if (t == "*" || t == ip || (t == "127.0.0.1" && ip == "::1")) return true;
  return false;
}

namespace {

// The client a list of forwarding hops names: the right-most hop that is not a trusted proxy, or,
// when every hop is one, the left-most (the closest thing to a client). `hops` is not empty.
const std::string& client_of_hops(const std::vector<std::string>& hops, const std::vector<std::string>& trusted) {
  for (auto it = hops.rbegin(); it != hops.rend(); ++it)
    if (!is_trusted_proxy(trusted, *it)) return *it;
  return hops.front();
}

}  // namespace

std::string resolve_client_host(std::string_view peer, const std::string* forwarded_for,
                                const std::vector<std::string>& trusted) {
  if (peer.empty()) return {};
  if (forwarded_for == nullptr || !is_trusted_proxy(trusted, peer)) return std::string(peer);
  const std::vector<std::string> hops = base::split_list(*forwarded_for);
  if (hops.empty()) return std::string(peer);
  return client_of_hops(hops, trusted);
}

bool is_loopback(std::string_view address) {
  boost::system::error_code ec;
  auto a = boost::asio::ip::make_address(std::string(address), ec);
  if (ec) return false;
  if (a.is_loopback()) return true;
  if (a.is_v6() && a.to_v6().is_v4_mapped())
    return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6()).is_loopback();
  return false;
}

namespace {

// `text` cut at every `sep` that stands outside a quoted string.
std::vector<std::string_view> split_unquoted(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted && c == '\\') ++i;
    else if (c == '"') quoted = !quoted;
    else if (!quoted && c == sep) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(text.substr(start));
  return parts;
}

// The node of a "for" value: "192.0.2.1", "\"192.0.2.1:8080\"", "\"[2001:db8::1]:443\"".
std::string forwarded_node(std::string_view value) {
  std::string node;
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    for (std::size_t i = 1; i + 1 < value.size(); ++i) {
      if (value[i] == '\\' && i + 2 < value.size()) ++i;
      node += value[i];
    }
  } else {
    node = std::string(value);
  }
  if (node.starts_with("[")) {
    const std::size_t close = node.find(']');
    return close == std::string::npos ? node : node.substr(1, close - 1);
  }
  // IPv4 or a name with a port: one colon. An unbracketed IPv6 address is kept whole.
  if (std::count(node.begin(), node.end(), ':') == 1) node.erase(node.find(':'));
  return node;
}

// Whether the hops of one forwarding header lead to a loopback client.
bool hops_lead_to_loopback(const std::vector<std::string>& hops, const std::vector<std::string>& trusted) {
  return !hops.empty() && is_loopback(client_of_hops(hops, trusted));
}

}  // namespace

std::vector<std::string> forwarded_for_nodes(std::string_view value) {
  std::vector<std::string> nodes;
  for (std::string_view element : split_unquoted(value, ',')) {
    std::string node;
    for (std::string_view part : split_unquoted(element, ';')) {
      const std::string pair = base::trim_blanks(part);
      const std::size_t eq = pair.find('=');
      if (eq == std::string::npos || !base::iequals_ascii(base::trim_blanks(pair.substr(0, eq)), "for")) continue;
      node = forwarded_node(base::trim_blanks(pair.substr(eq + 1)));
      break;
    }
    nodes.push_back(std::move(node));
  }
  return nodes;
}

namespace {

// Two host texts that name the same host: equal but for case, or the same address written two ways.
bool same_host(std::string_view a, std::string_view b) {
  if (base::iequals_ascii(a, b)) return true;
  boost::system::error_code ea, eb;
  const auto x = boost::asio::ip::make_address(std::string(a), ea);
  const auto y = boost::asio::ip::make_address(std::string(b), eb);
  return !ea && !eb && x == y;
}

bool is_this_machine(std::string_view host, std::string_view listen_host) {
  if (host.empty()) return false;
  return is_loopback(host) || base::iequals_ascii(host, "localhost") || same_host(host, listen_host);
}

// Whether the request's Host names this machine: exactly one, and one that is.
bool host_is_this_machine(const Headers& headers, std::string_view listen_host) {
  if (headers.count("Host") != 1) return false;
  const std::optional<HostPort> host = parse_host(*headers.find("Host"));
  return host && is_this_machine(host->host, listen_host);
}

// Whether the forwarding headers (none, or each of them) lead to a loopback client.
bool forwarded_from_loopback(std::string_view peer, const Headers& headers, const std::vector<std::string>& trusted) {
  const std::optional<std::string> xff = headers.joined("X-Forwarded-For");
  const std::optional<std::string> forwarded = headers.joined("Forwarded");
  if (!xff && !forwarded) return true;
  const bool anyone = std::find(trusted.begin(), trusted.end(), "*") != trusted.end();
  if (anyone || !is_trusted_proxy(trusted, peer)) return false;
  if (xff && !hops_lead_to_loopback(base::split_list(*xff), trusted)) return false;
  if (forwarded && !hops_lead_to_loopback(forwarded_for_nodes(*forwarded), trusted)) return false;
  return true;
}

}  // namespace

bool is_loopback_origin(std::string_view origin) {
  std::string_view authority;
  if (origin.starts_with("http://")) authority = origin.substr(7);
  else if (origin.starts_with("https://")) authority = origin.substr(8);
  else return false;
  // A page's origin counts only by loopback or "localhost": no listen address names a browser's origin.
  const std::optional<HostPort> host = parse_host(authority);
  return host && is_this_machine(host->host, {});
}

bool is_local_request(std::string_view peer, const Headers& headers, const std::vector<std::string>& trusted,
                      std::string_view listen_host) {
  if (!is_loopback(peer) || !forwarded_from_loopback(peer, headers, trusted)) return false;
  if (!host_is_this_machine(headers, listen_host)) return false;
  if (headers.count("Origin") > 1) return false;
  const std::string* origin = headers.find("Origin");
  return origin == nullptr || is_loopback_origin(*origin);
}

bool CorsPolicy::any_origin() const {
  return std::find(allow_origins.begin(), allow_origins.end(), "*") != allow_origins.end();
}

namespace {
// Methods the routes answer; a preflight for anything else is refused by the browser itself.
constexpr std::string_view kCorsMethods = "GET, POST, OPTIONS";
constexpr std::string_view kCorsMaxAge = "600";

// Whether "*" answers for every origin in this scope.
bool wildcard(const CorsPolicy& policy, OriginScope scope) { return scope == OriginScope::listed && policy.any_origin(); }

}  // namespace

bool CorsPolicy::allows(std::string_view origin, OriginScope scope) const {
  if (wildcard(*this, scope)) return true;
  // A literal "*" sent as the Origin is no origin listed by name.
  return origin != "*" && std::find(allow_origins.begin(), allow_origins.end(), origin) != allow_origins.end();
}

std::optional<Response> cors_preflight(const CorsPolicy& policy, std::string_view method, const Headers& request,
                                       OriginScope scope) {
  if (!policy.enabled() || method != "OPTIONS") return std::nullopt;
  const std::string* origin = request.find("Origin");
  const std::string* wanted = request.find("Access-Control-Request-Method");
  if (origin == nullptr || wanted == nullptr) return std::nullopt;
  if (!policy.allows(*origin, scope)) {
    Response refused = text_response(400, "Disallowed CORS origin");
    refused.headers.set("Vary", "Origin");
    return refused;
  }
  const bool any = wildcard(policy, scope);
  Response ok = text_response(200, "OK");
  ok.headers.set("Access-Control-Allow-Origin", any ? std::string("*") : *origin);
  ok.headers.set("Access-Control-Allow-Methods", std::string(kCorsMethods));
  if (const std::string* hdrs = request.find("Access-Control-Request-Headers"); hdrs != nullptr) {
    // Only well-formed header lists are echoed: a value that could split the field is dropped.
    if (hdrs->find_first_of("\r\n") == std::string::npos)
      ok.headers.set("Access-Control-Allow-Headers", *hdrs);
  }
  ok.headers.set("Access-Control-Max-Age", std::string(kCorsMaxAge));
  if (!any) ok.headers.set("Vary", "Origin");
  return ok;
}

void add_cors_headers(const CorsPolicy& policy, const Headers& request, Response& answer, OriginScope scope) {
  if (!policy.enabled()) return;
  if (wildcard(policy, scope)) {
    answer.headers.set("Access-Control-Allow-Origin", "*");
    return;
  }
  answer.headers.add("Vary", "Origin");
  if (const std::string* origin = request.find("Origin"); origin != nullptr && policy.allows(*origin, scope))
    answer.headers.set("Access-Control-Allow-Origin", *origin);
}

}  // namespace vekt::web
