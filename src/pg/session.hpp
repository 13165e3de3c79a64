#pragma once
// An asynchronous PostgreSQL client on Asio with libpq's asynchronous API.
//
// pg::Database is created once at start-up (a connection string, a pool size) and shared by every
// event loop: it keeps one pool per loop (per io_context), so the hot path takes no lock. A Session
// is one unit of work: lazy (no connection until its first statement), a transaction begun at the
// first statement, statements with named binds, commit / rollback / close.
//
// Time limits: wrap execute() in base::with_timeout. A statement cancelled while it runs is cancelled
// on the server (PQcancel on a helper thread, never on the loop), its results are drained and its
// transaction rolled back; the connection goes back to the pool only if all of that succeeded. After
// such a cancellation the session must be rolled back (or closed) before it runs anything else.
// A connection that failed, was cancelled mid-command or is not idle is never returned to its pool.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "base/error.hpp"

namespace vekt::base {
class BlockingPool;
}

struct pg_result;

namespace vekt::pg {

// Every database failure: the server's message (primary text) and its SQLSTATE ("57014", ...); the
// SQLSTATE is empty for client-side failures (connection lost, pool exhausted, bad use).
class Error : public base::Error {
 public:
  explicit Error(const std::string& message, std::string sqlstate = {})
      : base::Error(message), sqlstate_(std::move(sqlstate)) {}
  const std::string& sqlstate() const { return sqlstate_; }
  // The database could not run the statement (its connection was lost, no connection was free in
  // time, the server is shutting down, out of resources or failing), as opposed to refusing it.
  bool unavailable() const {
    if (sqlstate_.empty()) return true;
    const std::string_view cls = std::string_view(sqlstate_).substr(0, 2);
    return cls == "08" || cls == "53" || cls == "57" || cls == "58";
  }

 private:
  std::string sqlstate_;
};

// Parameter values. Bytes is bytea (raw bytes); std::string is text.
struct Bytes {
  std::string data;
  bool operator==(const Bytes&) const = default;
};
using Null = std::monostate;
using Value = std::variant<Null, bool, std::int32_t, std::int64_t, double, std::string, Bytes>;

// Named parameters in the order the caller lists them; bound from the SQL's ":name" markers.
using Params = std::vector<std::pair<std::string, Value>>;

// ":name" -> "$n", numbered by first appearance (a repeated name reuses its number). A marker is a
// colon not preceded by ':', a word character or a backslash, followed by word characters that are
// not followed by ':' ("::int" casts and "a::b" stay as they are). Returns the new text and the
// names in $-order.
struct BoundSql {
  std::string sql;
  std::vector<std::string> names;
};
BoundSql bind_named(std::string_view sql);

using Oid = unsigned int;

// One cell of a result. Results come in binary format: bytea is the raw bytes. Copies are cheap (the
// underlying result is shared).
class Field {
 public:
  Field() = default;
  Field(std::shared_ptr<pg_result> res, int row, int col);

  bool is_null() const;
  Oid type() const;
  std::string_view raw() const;  // the wire bytes (bytea: the value itself; text types: the text)

  std::string bytes() const;     // raw() as a string
  std::string text() const;      // text-like types as is; numbers, bool, date/time formatted
  double as_double() const;      // float4/8, int2/4/8, numeric
  std::int64_t as_int() const;   // int2/4/8, oid
  bool as_bool() const;
  Value value() const;           // NULL, bool, int32 (int2/int4), int64, double, text, bytea
 private:
  std::shared_ptr<pg_result> res_;
  int row_ = 0;
  int col_ = 0;
};

class Row {
 public:
  Row() = default;
  Row(std::shared_ptr<pg_result> res, int row);
  std::size_t size() const;
  Field operator[](std::size_t col) const;
  Field operator[](std::string_view name) const;  // throws pg::Error for an unknown column
  std::optional<std::size_t> index_of(std::string_view name) const;

 private:
  std::shared_ptr<pg_result> res_;
  int row_ = 0;
};

class Result {
 public:
  Result() = default;
  explicit Result(std::shared_ptr<pg_result> res);

  std::size_t size() const;                       // number of rows
  bool empty() const { return size() == 0; }
  std::vector<std::string> columns() const;       // column names in order
  Row row(std::size_t i) const;
  std::vector<Row> all() const;
  std::string command_status() const;             // "SELECT 1", "INSERT 0 3", ...
  std::int64_t rows_affected() const;

  // The first column of the only row; nullopt when there is no row or the value is NULL; more than
  // one row throws pg::Error.
  std::optional<Field> scalar_one_or_none() const;
  // The first column of the first row (nullopt: no row or NULL); further rows are ignored.
  std::optional<Field> scalar() const;
  std::optional<Row> first() const;

 private:
  std::shared_ptr<pg_result> res_;
};

struct DatabaseOptions {
  // A libpq connection string or URI; "postgresql+driver://" forms have the driver part removed.
  // Empty: libpq's own defaults (PGHOST, PGPORT, ...).
  std::string url;
  std::size_t pool_size = 10;                            // connections per event loop
  std::chrono::milliseconds checkout_timeout{30000};     // wait for a free connection
  std::chrono::milliseconds connect_timeout{10000};      // one connection attempt

};

// Throws pg::Error with libpq's reason when `url` is not a connection string it can read.
void check_connection_url(const std::string& url);

enum class Prepare { no, yes };

// Retry::if_connection_lost is for a statement that only reads: when its connection turns out to be
// gone before any result came back (the server restarted, or ended the connection while it was
// idle in the pool), it runs once more on a fresh connection. Only the statement that opens the
// transaction is run again, since nothing before it is lost.
enum class Retry { no, if_connection_lost };

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

  struct Impl;
  std::shared_ptr<Impl> impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

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
