#pragma once
// How a request's head frames it: where its body ends, whether the connection stays open after it,
// and whether its Host can be believed. Decided here, once, from every field line of the head, so
// that no proxy in front of us can read the same bytes as a different sequence of requests than
// we do. A head this refuses is answered and its connection closed: nothing after it is read as a
// request.
#include <optional>
#include <string>
#include <string_view>

#include "web/http.hpp"

namespace vekt::web {

// The fault in a request head's framing, or nullopt when it frames the request unambiguously:
// - Transfer-Encoding in an HTTP/1.0 request, together with Content-Length, not ending in
//   "chunked", or with "chunked" twice: 400;
// - a transfer coding other than "chunked" (which the server does not decode): 501;
// - more than one Host, or a Host that is not a host name or address with an optional port: 400.
// Content-Length values are checked by the parser itself (two different values: 400).
std::optional<HttpError> framing_fault(const Headers& head, unsigned version);

// Whether the connection stays open after this request: "close" in any Connection line ends it;
// an HTTP/1.0 request keeps it only with "keep-alive" in one.
bool keeps_alive(const Headers& head, unsigned version);

// Whether the head announces a body: a Transfer-Encoding, or a Content-Length other than 0.
bool announces_body(const Headers& head);

// A Host value taken apart: the host (an IPv6 address without its brackets) and the port text
// (empty when none is given).
struct HostPort {
  std::string host;
  std::string port;
};
// nullopt when `value` is not reg-name (letters, digits, "-", ".", "_"), an IPv4 address or a
// bracketed IPv6 address, followed by an optional ":" and at most five digits. The empty value
// (a Host the client had no authority for) reads as an empty host.
std::optional<HostPort> parse_host(std::string_view value);

}  // namespace vekt::web
