#pragma once
// Host-name look-up off the event loop.
//
// getaddrinfo blocks its thread for as long as the name server takes, and neither libpq nor Asio's
// resolver can be made to give up on it. Look-ups therefore run on the caller's helper threads, and
// the caller waits at most its own limit; a look-up that is given up goes on alone and is dropped.
#include <chrono>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/address.hpp>

#include "base/blocking_pool.hpp"
#include "base/error.hpp"

namespace vekt::base {

// A host that could not be looked up: `timed_out` when the limit ran out first.
class LookupError : public Error {
 public:
  LookupError(const std::string& what, bool timed_out) : Error(what), timed_out(timed_out) {}
  bool timed_out;
};

// The addresses of `host`, a name or a numeric address (returned as it is, without a look-up). A name
// is looked up on one of `helpers`' threads.
boost::asio::awaitable<std::vector<boost::asio::ip::address>> lookup_host(BlockingPool& helpers, std::string host,
                                                                          std::chrono::milliseconds limit);

}  // namespace vekt::base
