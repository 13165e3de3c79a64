#include "base/lookup.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace vekt::base {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// Look-ups stuck on a silent name server hold these threads, not the loops; later look-ups queue
// behind them and still give up at their own limit.
asio::thread_pool& lookup_threads() {
  static asio::thread_pool pool(4);
  return pool;
}

struct Lookup {
  std::atomic<bool> done{false};
  std::vector<asio::ip::address> found;
  std::string error;
};

void run_lookup(Lookup& l, const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0) {
    l.error = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    return;
  }
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
    if (std::find(l.found.begin(), l.found.end(), a) == l.found.end()) l.found.push_back(a);
  }
  ::freeaddrinfo(res);
}

}  // namespace

asio::awaitable<bool> wait_for_flag(const std::atomic<bool>& flag, std::chrono::milliseconds limit) {
  asio::steady_timer tick(co_await asio::this_coro::executor);
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!flag.load(std::memory_order_acquire)) {
    if (std::chrono::steady_clock::now() >= until) co_return false;
    tick.expires_after(std::chrono::milliseconds(1));
    error_code ec;
    co_await tick.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (ec == asio::error::operation_aborted) throw boost::system::system_error(ec);
  }
  co_return true;
}

asio::awaitable<std::vector<asio::ip::address>> lookup_host(std::string host, std::chrono::milliseconds limit) {
  error_code ec;
  const auto numeric = asio::ip::make_address(host, ec);
  if (!ec) co_return std::vector<asio::ip::address>{numeric};
  auto l = std::make_shared<Lookup>();
  asio::post(lookup_threads(), [l, host] {
    run_lookup(*l, host);
    l->done.store(true, std::memory_order_release);
  });
  if (!co_await wait_for_flag(l->done, limit)) throw LookupError("timed out looking up " + host, true);
  if (!l->error.empty()) throw LookupError("could not look up " + host + ": " + l->error, false);
  if (l->found.empty()) throw LookupError("no address for " + host, false);
  co_return l->found;
}

}  // namespace vekt::base
