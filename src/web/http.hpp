#pragma once
// Request and response values handed between the server, the router and route handlers.
// Plain data: no Beast types leak out of the server's own translation unit.
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "base/pyconv.hpp"
#include "web/json.hpp"

namespace vekt::web {

// Header fields in arrival (or insertion) order; lookup ignores the case of the name.
class Headers {
 public:
  // The value of the first field of that name, if any.
  const std::string* find(std::string_view name) const;
  std::string get(std::string_view name, std::string_view fallback = {}) const;
  bool contains(std::string_view name) const { return find(name) != nullptr; }
  // How many fields of that name there are.
  std::size_t count(std::string_view name) const;
  // Every field of that name, in order, joined by commas (as a list-valued field may be split
  // over several lines); nullopt when there is none.
  std::optional<std::string> joined(std::string_view name) const;
  // Replace every field of that name by one field.
  void set(std::string name, std::string value);
  // Append a field (a repeated name is kept).
  void add(std::string name, std::string value);
  void erase(std::string_view name);
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

// An integer parameter: value when it fits in 64 bits, and always its normalised decimal text.
using IntValue = base::PyInt;

// A converted parameter value; monostate when an optional parameter has no default.
using ParamValue = std::variant<std::monostate, std::string, IntValue, double, bool>;

// Whether the client of a request is still there to read its answer. The server hands one to
// every request it reads from a connection; work that takes seconds asks it before it starts, so
// nothing is made for a client that has hung up. Safe to ask from any thread, also after the
// request has ended (then: gone).
class ClientLink {
 public:
  virtual ~ClientLink() = default;
  virtual bool gone() const = 0;
};

struct Request {
  std::string method;        // "GET"
  std::string target;        // raw request-target, "/gis/plots/?a=1"
  std::string path;          // percent-decoded path, "/gis/plots/"
  std::string query_string;  // raw text after "?", without it
  Headers headers;
  std::string body;
  std::string scheme = "http";
  std::string peer_address;  // IP text of the TCP peer; empty when unknown
  std::string client;        // the client address as the server resolved it (see client_host)
  // The client is on this machine (is_local_request); false for a request made in-process.
  bool local = false;
  // Executor of the event loop serving this request (per-loop pools key on it).
  boost::asio::any_io_executor executor;
  // The connection the request came on (none for a request made in-process: never gone).
  std::shared_ptr<const ClientLink> link;
  // The client has closed or reset its connection.
  bool client_gone() const { return link && link->gone(); }

  // Decoded query pairs in order ("+" is a blank, %xx decoded, invalid UTF-8 -> U+FFFD).
  std::vector<std::pair<std::string, std::string>> query;
  // The last value of a query key, if present.
  std::optional<std::string> query_value(std::string_view key) const;

  // Parameters of the matched route, converted to their declared types, by name.
  std::map<std::string, ParamValue, std::less<>> params;

  // The client's address: the peer, or the right-most X-Forwarded-For entry that is not a
  // trusted proxy when the peer is one; "unknown" when there is no address at all.
  const std::string& client_host() const;

  // Accessors for converted parameters; they throw std::logic_error when the route did not
  // declare the name with that type (a programming error, answered 500).
  bool has(std::string_view name) const;  // present and not monostate
  const std::string& str(std::string_view name) const;
  const IntValue& integer(std::string_view name) const;
  double number(std::string_view name) const;
  bool boolean(std::string_view name) const;
};

struct Response {
  unsigned status = 200;
  std::string content_type;  // empty: no Content-Type field
  Headers headers;           // further fields (Cache-Control, X-Cache, Allow, Location, ...)
  std::string body;
};

// application/json with the compact body of `value`.
Response json_response(unsigned status, const Json& value);
// Raw bytes with their media type and extra header fields.
Response bytes_response(unsigned status, std::string body, std::string media_type,
                        std::vector<std::pair<std::string, std::string>> extra_headers = {});
// No body, no Content-Type, no other fields (204 by default).
Response empty_response(unsigned status = 204);
// text/plain; charset=utf-8.
Response text_response(unsigned status, std::string text);

// Thrown by a handler: answered with `status` and {"detail": detail} (plus `headers`).
class HttpError : public std::runtime_error {
 public:
  HttpError(unsigned status, std::string detail,
            std::vector<std::pair<std::string, std::string>> headers = {});
  unsigned status() const { return status_; }
  const std::string& detail() const { return detail_; }
  const std::vector<std::pair<std::string, std::string>>& headers() const { return headers_; }

 private:
  unsigned status_;
  std::string detail_;
  std::vector<std::pair<std::string, std::string>> headers_;
};

// The {"detail": text} answer of an HttpError.
Response error_response(const HttpError& error);

// Target parsing shared by the server and the fuzz target. Path: split at "?", percent-decoded
// (invalid UTF-8 -> U+FFFD). Query: split at "&", "+" -> blank, percent-decoded, a key without
// "=" has the value "".
struct ParsedTarget {
  std::string path;
  std::string query_string;
  std::vector<std::pair<std::string, std::string>> query;
};
ParsedTarget parse_target(std::string_view target);
std::string percent_decode(std::string_view text, bool plus_as_space);
// Percent-encode a decoded path for a Location field (keeps "/" and the sub-delimiters).
std::string percent_encode_path(std::string_view path);

// X-Forwarded-For resolution: `trusted` holds exact IP texts ("127.0.0.1", "::1"), or "*" to
// trust every peer. A proxy on this machine may connect over either loopback address, so
// "127.0.0.1" trusts "::1" as well.
bool is_trusted_proxy(const std::vector<std::string>& trusted, std::string_view ip);
std::string resolve_client_host(std::string_view peer, const std::string* forwarded_for,
                                const std::vector<std::string>& trusted);

// A loopback address (127.0.0.0/8, ::1, or ::ffff:127.x.x.x); false for text that is no address.
bool is_loopback(std::string_view address);

// The nodes the "for" parameters of a "Forwarded" value name, one per element, in order: the
// address without brackets, quotes or port. An element without "for" gives an empty text; names
// that are no address ("unknown", "_hidden") are kept as they are.
std::vector<std::string> forwarded_for_nodes(std::string_view value);

// Whether a request comes from this machine. It fails closed: the peer must be loopback, and
// every forwarding header the request carries (X-Forwarded-For, Forwarded) must name, through
// trusted proxies, a loopback client. A header from a peer that is not a trusted proxy, an empty
// or unreadable one, and with "*" among the trusted proxies any forwarding header at all (anyone
// may then have written it) make the request not local. A web page open in a browser on this
// machine connects over loopback too, so the request must also name this machine as its Host (a
// loopback address, "localhost", or `listen_host`, the address the server listens on; any port),
// which a page reaching us through a name of its own (DNS rebinding) does not, and carry no
// Origin but a loopback one, which a page of another site does not.
bool is_local_request(std::string_view peer, const Headers& headers, const std::vector<std::string>& trusted,
                      std::string_view listen_host);

// An origin ("http://127.0.0.1:8000", "http://localhost", "http://[::1]") whose host is this
// machine's loopback; false for "null" and for anything that is no origin.
bool is_loopback_origin(std::string_view origin);

// Which of the policy's origins an answer may be shared with: all it allows, or, for the routes
// that act for the operator or issue documents, only those it lists by name ("*" set aside).
enum class OriginScope { listed, named };

// Cross-origin access for browser map clients served from other origins. `allow_origins` holds
// "*" (any origin) or exact origins ("https://maps.example.org"); empty turns CORS off.
struct CorsPolicy {
  std::vector<std::string> allow_origins;
  bool enabled() const { return !allow_origins.empty(); }
  bool any_origin() const;
  // Whether answers in `scope` are shared with `origin`.
  bool allows(std::string_view origin, OriginScope scope = OriginScope::listed) const;
};

// The answer to a CORS preflight (OPTIONS carrying Origin and Access-Control-Request-Method), or
// nullopt when the request is not one. A disallowed origin is refused with 400.
std::optional<Response> cors_preflight(const CorsPolicy& policy, std::string_view method, const Headers& request,
                                       OriginScope scope = OriginScope::listed);

// Adds the CORS fields an answer earns: "*" on every answer when any origin is allowed (in the
// listed scope), else the request's own Origin when it is in the list (with Vary: Origin).
void add_cors_headers(const CorsPolicy& policy, const Headers& request, Response& answer,
                      OriginScope scope = OriginScope::listed);

}  // namespace vekt::web
