#pragma once
// Connection strings: what libpq reads from a URL, and its host names looked up off the event loop.
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "base/blocking_pool.hpp"

namespace vekt::pg {

// "postgresql+driver://..." becomes "postgresql://...": libpq knows only the plain scheme.
std::string normalise_url(std::string url);

// The connection parameters of `url`, with its host names already looked up. libpq would look them
// up itself, blocking the event loop for as long as the name server takes; here they are looked up
// on `helpers` until `deadline`, and handed to libpq as "hostaddr" ("host" stays, for messages and
// certificate checks). A name with several addresses becomes one entry per address, tried in order
// as libpq tries them. Lists libpq would refuse (ports not matching hosts) are passed on unchanged.
boost::asio::awaitable<std::vector<std::pair<std::string, std::string>>> connection_params(
    base::BlockingPool& helpers, const std::string& url, std::chrono::steady_clock::time_point deadline);

}  // namespace vekt::pg
