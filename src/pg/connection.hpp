#pragma once
// Inside the PostgreSQL client: one libpq connection on Asio, the per-loop pool, and the waits that
// send a command and collect its results. Not for callers outside src/pg.
#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "base/blocking_pool.hpp"
#include "base/c_handle.hpp"
#include "base/conn_pool.hpp"
#include "pg/session.hpp"

namespace vekt::pg {

// A drain after a cancel, and a ROLLBACK after it, wait at most this long before the connection is
// given up (closed) instead.
inline constexpr std::chrono::seconds kCleanupLimit{5};

using ResultPtr = base::CHandle<PGresult, PQclear>;

[[noreturn]] void throw_cancelled();

// libpq's messages end in a line feed; ours do not.
std::string trim(std::string s);

// The connections of one Database that are running a statement, for a shutdown that must not leave
// any of them running on the server. A connection's cancel handle stays valid after it is closed.
class RunningStatements {
 public:
  struct Entry {
    std::shared_ptr<PGcancel> cancel;
    std::atomic<bool> busy{false};
  };
  void add(const std::shared_ptr<Entry>& e);
  void remove(const std::shared_ptr<Entry>& e);
  // From now on no statement starts; sends a cancel request for every statement running now.
  // Returns how many were sent.
  std::size_t shut_down();
  bool closed() const { return closed_.load(); }

 private:
  std::atomic<bool> closed_{false};
  std::mutex mu_;  // taken when a connection opens or closes, never per statement
  std::unordered_set<std::shared_ptr<Entry>> entries_;
};

// One libpq connection. `sd` waits on a dup of libpq's socket: both close their own descriptor.
struct PgConn {
  base::CHandle<PGconn, PQfinish> conn;
  boost::asio::posix::stream_descriptor sd;
  int fd = -1;  // libpq's socket that sd mirrors
  std::unordered_map<std::string, std::string> prepared;  // key -> statement name
  std::uint64_t statements_named = 0;
  // The server sent a FATAL message (its termination notice): the connection is gone even while
  // libpq still reports it as fine.
  bool terminated = false;
  std::shared_ptr<RunningStatements> registry;
  std::shared_ptr<RunningStatements::Entry> running;
  base::BlockingPool* helpers = nullptr;  // the Database's, for the cancel request

  explicit PgConn(const boost::asio::any_io_executor& ex) : sd(ex) {}
  ~PgConn();
  PgConn(const PgConn&) = delete;
  PgConn& operator=(const PgConn&) = delete;

  void watch_socket();
  std::string last_error() const { return trim(PQerrorMessage(conn.get())); }
  void set_busy(bool b) {
    if (running) running->busy.store(b);
  }
};

// Server messages that arrive outside a command go through here: a FATAL one marks the connection
// terminated; the others (NOTICE, WARNING) are dropped, as no caller acts on them.
void watch_notices(PgConn& c);

// An idle connection is usable when libpq still thinks so and the server has neither closed it nor
// sent its termination message.
bool idle_alive(PgConn& c);

using PgPool = base::Pool<PgConn>;

enum class Wait { read, write };

struct Database::Impl {
  DatabaseOptions options;
  base::BlockingPool* helpers = nullptr;
  std::uint64_t id = base::next_pool_owner_id();
  std::atomic<std::size_t> pools_made{0};  // which pool gets one of the remainder
  std::shared_ptr<RunningStatements> running = std::make_shared<RunningStatements>();

  std::shared_ptr<PgPool> pool(const boost::asio::any_io_executor& ex);

  // A new connection, ready for statements.
  boost::asio::awaitable<std::unique_ptr<PgConn>> connect();

  // Waits until the socket is ready; a timer bounds it when `deadline` is given. Cancellation of
  // the awaiting coroutine shows as operation_aborted.
  static boost::asio::awaitable<boost::system::error_code> wait(PgConn& c, Wait w,
                                                                boost::asio::steady_timer* deadline);
  // Flushes what libpq buffered.
  static boost::asio::awaitable<void> flush(PgConn& c, boost::asio::steady_timer* deadline);
  // Reads every result of the command in flight until libpq has none left. Returns the first
  // error result, else the last result.
  static boost::asio::awaitable<ResultPtr> collect(PgConn& c, boost::asio::steady_timer* deadline);
  static Error result_error(PGresult* r);
};

}  // namespace vekt::pg
