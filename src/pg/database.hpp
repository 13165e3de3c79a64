#pragma once
// pg::Database: the connection string, the pool size and the time limits, and one pool of
// connections per event loop (per io_context), so the hot path takes no lock. Created once at
// start-up and shared by every loop; statements run through a pg::Session.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "pg/error.hpp"

namespace vekt::base {
class BlockingPool;
}

namespace vekt::pg {

struct DatabaseOptions {
  // A libpq connection string or URI; "postgresql+driver://" forms have the driver part removed.
  // Empty: libpq's own defaults (PGHOST, PGPORT, ...).
  std::string url;
  // The connections the Database opens at most, all event loops together: split evenly over
  // `loops` pools (the first pool_size % loops one more), each at least one.
  std::size_t pool_size = 10;
  std::size_t loops = 1;                                 // event loops that share pool_size
  std::chrono::milliseconds checkout_timeout{30000};     // wait for a free connection
  std::chrono::milliseconds connect_timeout{10000};      // one connection attempt
};

// The connections of the smallest loop's pool: pool_size / loops, at least one.
std::size_t connections_per_loop(const DatabaseOptions& options);

// Throws pg::Error with libpq's reason when `url` is not a connection string it can read, or when
// a port it names is not a number libpq would connect to.
void check_connection_url(const std::string& url);

class Database {
 public:
  // `helpers` runs what blocks (host-name look-ups, cancel requests) off the event loops; it must
  // outlive the Database. Without one, base::shared_blocking_pool().
  Database(DatabaseOptions options, base::BlockingPool& helpers);
  explicit Database(DatabaseOptions options);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  const DatabaseOptions& options() const;

  // For a shutdown, once the requests in flight had their time: from now on no statement starts
  // (pg::Error), and the server is asked to cancel every statement of ours still running. Call it
  // from any thread off the event loops: it blocks while the cancel requests are sent. Returns how
  // many were sent.
  std::size_t shut_down();

  // The per-loop pools: sessions take their connections here, and the connection layer's own tests
  // open one directly. Nothing else should need it.
  struct Impl;
  std::shared_ptr<Impl> impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace vekt::pg
