#pragma once
// An asynchronous PostgreSQL client on Asio with libpq's asynchronous API: this header gives the
// whole client (errors, values, results, the database and its sessions).
//
// pg::Database (pg/database.hpp) is created once at start-up and shared by every event loop. A
// Session is one unit of work: lazy (no connection until its first statement), a transaction begun
// at the first statement, statements with named binds, commit / rollback / close.
//
// Time limits: wrap execute() in base::with_timeout. A statement cancelled while it runs is cancelled
// on the server (PQcancel on a helper thread, never on the loop), its results are drained and its
// transaction rolled back; the connection goes back to the pool only if all of that succeeded. After
// such a cancellation the session must be rolled back (or closed) before it runs anything else.
// A connection that failed, was cancelled mid-command or is not idle is never returned to its pool.
#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "pg/database.hpp"
#include "pg/error.hpp"
#include "pg/result.hpp"
#include "pg/value.hpp"

namespace vekt::pg {

enum class Prepare { no, yes };

// Retry::if_connection_lost is for a statement that only reads: when its connection turns out to be
// gone before any result came back (the server restarted, or ended the connection while it was
// idle in the pool), it runs once more on a fresh connection. Only the statement that opens the
// transaction is run again, since nothing before it is lost.
enum class Retry { no, if_connection_lost };

class Connection;

class Session {
 public:
  explicit Session(Database& db);
  ~Session();  // a connection still in a transaction is discarded (closed), never pooled
  Session(Session&&) noexcept;
  Session& operator=(Session&&) = delete;
  Session(const Session&) = delete;

  // Runs one statement; BEGIN is sent first when no transaction is open. Prepare::yes prepares the
  // text once per connection (keyed by the text and the parameter types) and reuses it.
  // A server error throws pg::Error and leaves the transaction aborted (rollback() or close() next).
  boost::asio::awaitable<Result> execute(std::string sql, Params params = {},
                                         Prepare prepare = Prepare::no, Retry retry = Retry::no);

  // COMMIT the open transaction (nothing open: no-op) and release the connection to the pool. A
  // transaction aborted by an earlier error is not committed: pg::Error.
  boost::asio::awaitable<void> commit();
  // ROLLBACK the open transaction (nothing open: no-op) and release the connection.
  boost::asio::awaitable<void> rollback();
  // Idempotent: rolls back an open or aborted transaction and releases the connection. Never throws:
  // a connection that cannot be rolled back is closed instead.
  boost::asio::awaitable<void> close();

  bool in_transaction() const;
  bool has_connection() const;

 private:
  // A pooled connection for the session (fresh: a new one, never an idle one from the pool).
  boost::asio::awaitable<void> take_connection(bool fresh);

  std::shared_ptr<Database::Impl> db_;
  std::unique_ptr<Connection> conn_;
  bool in_tx_ = false;
  bool must_rollback_ = false;
};

}  // namespace vekt::pg
