#pragma once
// Waiting on work that runs off the event loop, and host-name look-up done that way.
//
// getaddrinfo blocks its thread for as long as the name server takes, and neither libpq nor Asio's
// resolver can be made to give up on it. Look-ups therefore run on helper threads here, and the
// caller waits at most its own limit; a look-up that is given up goes on alone and is dropped.
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/address.hpp>

#include "base/error.hpp"

namespace vekt::base {

// Waits until another thread sets `flag`, at most `limit`; true when it was set. It polls on a short
// timer, so the other thread never has to reach into this loop (which may be gone when it finishes).
// Cancellation of the awaiting coroutine ends the wait with operation_aborted.
boost::asio::awaitable<bool> wait_for_flag(const std::atomic<bool>& flag, std::chrono::milliseconds limit);

// A host that could not be looked up: `timed_out` when the limit ran out first.
class LookupError : public Error {
 public:
  LookupError(const std::string& what, bool timed_out) : Error(what), timed_out(timed_out) {}
  bool timed_out;
};

// The addresses of `host`, a name or a numeric address (returned as it is, without a look-up).
boost::asio::awaitable<std::vector<boost::asio::ip::address>> lookup_host(std::string host,
                                                                          std::chrono::milliseconds limit);

}  // namespace vekt::base
