#include "base/lookup.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/with_timeout.hpp"

namespace vekt::base {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

std::vector<asio::ip::address> addresses_of(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0) {
    const std::string reason = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    throw LookupError("could not look up " + host + ": " + reason, false);
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(res, ::freeaddrinfo);
  std::vector<asio::ip::address> found;
  for (const addrinfo* p = res; p; p = p->ai_next) {
    asio::ip::address a;
    if (p->ai_family == AF_INET) {
      const auto* s = reinterpret_cast<const sockaddr_in*>(p->ai_addr);
      asio::ip::address_v4::bytes_type b;
      std::memcpy(b.data(), &s->sin_addr, b.size());
      a = asio::ip::address_v4(b);
    } else if (p->ai_family == AF_INET6) {
      const auto* s = reinterpret_cast<const sockaddr_in6*>(p->ai_addr);
      asio::ip::address_v6::bytes_type b;
      std::memcpy(b.data(), &s->sin6_addr, b.size());
      a = asio::ip::address_v6(b, s->sin6_scope_id);
    } else {
      continue;
    }
    if (std::find(found.begin(), found.end(), a) == found.end()) found.push_back(a);
  }
  if (found.empty()) throw LookupError("no address for " + host, false);
  return found;
}

}  // namespace

asio::awaitable<std::vector<asio::ip::address>> lookup_host(BlockingPool& helpers, std::string host,
                                                            std::chrono::milliseconds limit) {
  error_code ec;
  const auto numeric = asio::ip::make_address(host, ec);
  if (!ec) co_return std::vector<asio::ip::address>{numeric};
  // The job and its wait are named before the co_await: g++ 12 mishandles a lambda temporary that
  // owns a std::string inside a co_await expression.
  auto job = [host] { return addresses_of(host); };
  auto looked_up = helpers.run(std::move(job), limit);
  try {
    co_return co_await std::move(looked_up);
  } catch (const TimeoutError&) {
    throw LookupError("timed out looking up " + host, true);
  } catch (const LookupError&) {
    throw;
  } catch (const Error& e) {  // the helper threads have stopped
    throw LookupError("could not look up " + host + ": " + e.what(), false);
  }
}

}  // namespace vekt::base
