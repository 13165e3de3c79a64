#include "web/framing.hpp"

#include <algorithm>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "base/strings.hpp"

namespace vekt::web {

namespace {

// Every element of a list-valued field, over all of its lines, in order.
std::vector<std::string> list_of(const Headers& head, std::string_view name) {
  const std::optional<std::string> joined = head.joined(name);
  return joined ? base::split_list(*joined) : std::vector<std::string>{};
}

std::optional<HttpError> transfer_coding_fault(const Headers& head, unsigned version) {
  if (!head.contains("Transfer-Encoding")) return std::nullopt;
  if (version < 11) return HttpError(400, "Transfer-Encoding is not allowed in an HTTP/1.0 request");
  if (head.contains("Content-Length"))
    return HttpError(400, "A request may not carry both Transfer-Encoding and Content-Length");
  const std::vector<std::string> codings = list_of(head, "Transfer-Encoding");
  const auto chunked = [](const std::string& c) { return base::iequals_ascii(c, "chunked"); };
  if (codings.empty() || !chunked(codings.back())) return HttpError(400, "Transfer-Encoding must end in chunked");
  if (std::count_if(codings.begin(), codings.end(), chunked) > 1)
    return HttpError(400, "Transfer-Encoding chunked may be applied only once");
  // Only the chunked framing is undone here: a body still gzip (or anything else) under it would
  // reach the routes as bytes they cannot read.
  if (codings.size() > 1) return HttpError(501, "Transfer coding '" + codings.front() + "' is not supported");
  return std::nullopt;
}

bool host_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_';
}

}  // namespace

std::optional<HostPort> parse_host(std::string_view value) {
  HostPort out;
  std::string_view rest = value;
  if (rest.starts_with("[")) {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    boost::system::error_code ec;
    (void)boost::asio::ip::make_address_v6(std::string(rest.substr(1, close - 1)), ec);
    if (ec) return std::nullopt;
    out.host = std::string(rest.substr(1, close - 1));
    rest.remove_prefix(close + 1);
  } else {
    const std::size_t colon = rest.find(':');
    const std::string_view name = rest.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), host_name_char)) return std::nullopt;
    if (name.empty() && !rest.empty()) return std::nullopt;  // a port without a host
    out.host = std::string(name);
    rest.remove_prefix(name.size());
  }
  if (rest.empty()) return out;
  if (rest.front() != ':' || rest.size() > 6) return std::nullopt;
  rest.remove_prefix(1);
  if (!std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  out.port = std::string(rest);
  return out;
}

std::optional<HttpError> framing_fault(const Headers& head, unsigned version) {
  if (auto fault = transfer_coding_fault(head, version)) return fault;
  if (head.count("Host") > 1) return HttpError(400, "Only one Host header may be sent");
  if (const std::string* host = head.find("Host"); host != nullptr && !parse_host(*host))
    return HttpError(400, "Host must be a host name or address with an optional port");
  return std::nullopt;
}

bool keeps_alive(const Headers& head, unsigned version) {
  bool close = false, keep_alive = false;
  for (const std::string& option : list_of(head, "Connection")) {
    close = close || base::iequals_ascii(option, "close");
    keep_alive = keep_alive || base::iequals_ascii(option, "keep-alive");
  }
  if (close) return false;
  return version >= 11 || keep_alive;
}

bool announces_body(const Headers& head) {
  if (head.contains("Transfer-Encoding")) return true;
  const std::string* length = head.find("Content-Length");
  return length != nullptr && length->find_first_of("123456789") != std::string::npos;
}

}  // namespace vekt::web
