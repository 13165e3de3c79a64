// Connection strings and host look-up for the PostgreSQL client.
#include "pg/conninfo.hpp"

#include <libpq-fe.h>

#include <algorithm>

#include <boost/asio/ip/address.hpp>

#include "base/c_handle.hpp"
#include "base/lookup.hpp"
#include "pg/connection.hpp"
#include "pg/session.hpp"

namespace vekt::pg {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

std::string normalise_url(std::string url) {
  // "postgresql+asyncpg://..." and the like: libpq knows only the plain scheme.
  const auto scheme_end = url.find("://");
  const auto plus = url.find('+');
  if (scheme_end != std::string::npos && plus != std::string::npos && plus < scheme_end) url.erase(plus, scheme_end - plus);
  return url;
}

namespace {

// The options of a connection URI or key=value string, as libpq reads them; pg::Error with libpq's
// reason when it cannot.
base::CHandle<PQconninfoOption, PQconninfoFree> parse_conninfo(const std::string& url) {
  char* err = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(url.c_str(), &err);
  if (!parsed) {
    std::string why = err ? trim(err) : "out of memory";
    if (err) PQfreemem(err);
    throw Error(why);
  }
  return base::CHandle<PQconninfoOption, PQconninfoFree>(parsed);
}

// A libpq list value ("a,b,,c"): entries in order, empty ones kept (they mean "the default").
std::vector<std::string> list_entries(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = s.find(',', start);
    out.push_back(s.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

std::string join_entries(const std::vector<std::string>& v) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) out += (i ? "," : "") + v[i];
  return out;
}

bool is_socket_dir(const std::string& h) { return !h.empty() && (h[0] == '/' || h[0] == '@'); }

}  // namespace

namespace {

// libpq takes a port as a decimal number from 1 to 65535, and says so only when it connects.
bool usable_port(std::string text) {
  text = trim(text);
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const long n = std::stol(text);
  return n >= 1 && n <= 65535;
}

}  // namespace

void check_connection_url(const std::string& url) {
  const auto parsed = parse_conninfo(normalise_url(url));
  for (const PQconninfoOption* o = parsed.get(); o->keyword; ++o) {
    if (!o->val || std::string_view(o->keyword) != "port") continue;
    // Empty entries of a list stand for the default port.
    for (const std::string& port : list_entries(o->val))
      if (!port.empty() && !usable_port(port)) throw Error("invalid port number: \"" + port + "\"");
  }
}

asio::awaitable<std::vector<std::pair<std::string, std::string>>> connection_params(
    base::BlockingPool& helpers, const std::string& url, std::chrono::steady_clock::time_point deadline) {
  const auto parsed = parse_conninfo(url);
  std::vector<std::pair<std::string, std::string>> params;
  std::string host, hostaddr, port;
  for (const PQconninfoOption* o = parsed.get(); o->keyword; ++o) {
    if (!o->val) continue;
    const std::string key = o->keyword;
    if (key == "host") host = o->val;
    else if (key == "hostaddr") hostaddr = o->val;
    else if (key == "port") port = o->val;
    else params.emplace_back(key, o->val);
  }
  const std::vector<std::string> hosts = list_entries(host);
  const std::vector<std::string> ports = list_entries(port);
  const bool port_per_host = ports.size() > 1;
  if (hostaddr.empty() && (!port_per_host || ports.size() == hosts.size())) {
    std::vector<std::string> new_hosts, new_addrs, new_ports;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      const std::string& h = hosts[i];
      const std::string& p = port_per_host ? ports[i] : port;
      if (h.empty() || is_socket_dir(h)) {  // the default, or a socket: nothing to look up
        new_hosts.push_back(h);
        new_addrs.emplace_back();
        new_ports.push_back(p);
        continue;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      std::vector<asio::ip::address> found;
      try {
        found = co_await base::lookup_host(helpers, h, std::max(left, std::chrono::milliseconds(0)));
      } catch (const base::LookupError& e) {
        if (e.timed_out) throw Error::timeout("timeout expired while connecting to the database (looking up " + h + ")");
        throw Error(e.what());
      }
      for (const auto& a : found) {
        new_hosts.push_back(h);
        new_addrs.push_back(a.to_string());
        new_ports.push_back(p);
      }
    }
    host = join_entries(new_hosts);
    hostaddr = join_entries(new_addrs);
    if (port_per_host) port = join_entries(new_ports);
  }
  if (!host.empty()) params.emplace_back("host", host);
  if (!hostaddr.empty()) params.emplace_back("hostaddr", hostaddr);
  if (!port.empty()) params.emplace_back("port", port);
  co_return params;
}

}  // namespace vekt::pg
