// The session: a lazy unit of work on a pooled connection, its statements, commit and rollback.
#include "pg/session.hpp"

#include <atomic>
#include <exception>

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>
#include <fmt/format.h>

#include "base/c_handle.hpp"
#include "base/blocking_pool.hpp"
#include "base/with_timeout.hpp"
#include "pg/bind.hpp"
#include "pg/connection.hpp"

namespace vekt::pg {

namespace asio = boost::asio;

Database::Database(DatabaseOptions options, base::BlockingPool& helpers) : impl_(std::make_shared<Impl>()) {
  impl_->options = std::move(options);
  impl_->helpers = &helpers;
}
Database::Database(DatabaseOptions options) : Database(std::move(options), base::shared_blocking_pool()) {}
Database::~Database() = default;
const DatabaseOptions& Database::options() const { return impl_->options; }
std::size_t Database::shut_down() { return impl_->running->shut_down(); }

// The session's hold on a pooled connection.
class Connection {
 public:
  PgPool::Lease lease;
};

namespace {

// After a cancel: wait for the command in flight to end, then roll back. True when the connection is
// idle and clean again; false when it must be closed.
asio::awaitable<bool> recover_after_cancel(PgConn& c) {
  auto ex = co_await asio::this_coro::executor;
  asio::steady_timer deadline(ex, kCleanupLimit);
  try {
    // A cancel can land while the statement is still being sent: finish sending it first.
    co_await Database::Impl::flush(c, &deadline);
    (void)co_await Database::Impl::collect(c, &deadline);
    if (PQtransactionStatus(c.conn.get()) != PQTRANS_IDLE) {
      if (!PQsendQuery(c.conn.get(), "ROLLBACK")) co_return false;
      co_await Database::Impl::flush(c, &deadline);
      ResultPtr r = co_await Database::Impl::collect(c, &deadline);
      if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) co_return false;
    }
    co_return PQstatus(c.conn.get()) == CONNECTION_OK && PQtransactionStatus(c.conn.get()) == PQTRANS_IDLE;
  } catch (...) {
    co_return false;
  }
}

}  // namespace

Session::Session(Database& db) : db_(db.impl()) {}

Session::Session(Session&& o) noexcept
    : db_(std::move(o.db_)), conn_(std::move(o.conn_)), in_tx_(o.in_tx_), must_rollback_(o.must_rollback_) {
  o.in_tx_ = false;
  o.must_rollback_ = false;
}

Session::~Session() {
  if (!conn_) return;
  // Still in a transaction: it cannot be rolled back without awaiting, so the connection is closed
  // (the server rolls back). Otherwise it is clean and goes back.
  if (in_tx_ || !conn_->lease.has_connection() || !idle_alive(*conn_->lease)) conn_->lease.discard();
  else conn_->lease.give_back();
}

bool Session::in_transaction() const { return in_tx_; }
bool Session::has_connection() const { return conn_ != nullptr; }

namespace {

bool is_fatal(const PGresult* r) {
  const char* severity = PQresultErrorField(r, PG_DIAG_SEVERITY_NONLOCALIZED);
  return severity && (std::string_view(severity) == "FATAL" || std::string_view(severity) == "PANIC");
}

// Sends one command (prepared or not) and collects its result. Cancellation of the awaiting
// coroutine cancels the command on the server, drains it and rolls back; the connection is then
// reported clean (true) or not through `recovered`. Throws pg::Error for a server error (the
// connection stays usable) and for a connection failure (broken = true).
struct RunOutcome {
  ResultPtr result;
  bool cancelled = false;
  bool recovered = false;
  bool broken = false;
  std::exception_ptr error;
};

// Sends the command: through its prepared statement (prepared first when this connection has not
// seen it), or as a plain query. The server's refusal to prepare it is handed back, not thrown.
asio::awaitable<std::exception_ptr> send_statement(PgConn& c, const std::string& sql, const Bound* b, bool prepare,
                                                   asio::steady_timer* deadline) {
  const int n = b ? static_cast<int>(b->values.size()) : 0;
  if (prepare) {
    const std::string key = (b ? b->type_key : std::string()) + '\n' + sql;
    auto it = c.prepared.find(key);
    if (it == c.prepared.end()) {
      // A fresh name every time: a prepare cut short by a cancel may still exist on the server.
      std::string name = "vekt_" + std::to_string(++c.statements_named);
      if (!PQsendPrepare(c.conn.get(), name.c_str(), sql.c_str(), n, b ? b->types.data() : nullptr))
        throw Error(c.last_error());
      co_await Database::Impl::flush(c, deadline);
      ResultPtr r = co_await Database::Impl::collect(c, deadline);
      if (PQresultStatus(r.get()) != PGRES_COMMAND_OK)
        co_return std::make_exception_ptr(Database::Impl::result_error(r.get()));
      it = c.prepared.emplace(key, std::move(name)).first;
    }
    if (!PQsendQueryPrepared(c.conn.get(), it->second.c_str(), n, b ? b->values.data() : nullptr,
                             b ? b->lengths.data() : nullptr, b ? b->formats.data() : nullptr, 1))
      throw Error(c.last_error());
  } else if (b) {
    if (!PQsendQueryParams(c.conn.get(), sql.c_str(), n, b->types.data(), b->values.data(), b->lengths.data(),
                           b->formats.data(), 1))
      throw Error(c.last_error());
  } else {
    if (!PQsendQueryParams(c.conn.get(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1))
      throw Error(c.last_error());
  }
  co_return nullptr;
}

asio::awaitable<RunOutcome> run_command(PgConn& c, const std::string& sql, const Bound* b, bool prepare,
                                        asio::steady_timer* deadline = nullptr) {
  RunOutcome out;
  // Marked busy while the command may run on the server, so that a shutdown can cancel it.
  struct Busy {
    PgConn& c;
    explicit Busy(PgConn& conn) : c(conn) { c.set_busy(true); }
    ~Busy() { c.set_busy(false); }
  } busy(c);
  try {
    if (c.registry && c.registry->closed()) throw Error("the database client is shutting down");
    if (std::exception_ptr refused = co_await send_statement(c, sql, b, prepare, deadline)) {
      out.error = std::move(refused);
      co_return out;
    }
    co_await Database::Impl::flush(c, deadline);
    ResultPtr r = co_await Database::Impl::collect(c, deadline);
    const auto st = PQresultStatus(r.get());
    if (st == PGRES_FATAL_ERROR || st == PGRES_BAD_RESPONSE || st == PGRES_NONFATAL_ERROR) {
      out.error = std::make_exception_ptr(Database::Impl::result_error(r.get()));
      // A FATAL error ends the server's side of the connection, whether or not libpq has seen the
      // socket close yet.
      if (PQstatus(c.conn.get()) != CONNECTION_OK || is_fatal(r.get())) out.broken = true;
      co_return out;
    }
    out.result = std::move(r);
    co_return out;
  } catch (const boost::system::system_error& e) {
    if (e.code() != asio::error::operation_aborted) {
      out.broken = true;
      out.error = std::current_exception();
      co_return out;
    }
  } catch (...) {
    out.broken = true;
    out.error = std::current_exception();
    co_return out;
  }
  // Cancelled while the command ran. The rest must not be cancelled again.
  out.cancelled = true;
  co_await asio::this_coro::reset_cancellation_state();
  // The connection may be used again only once the server has taken the cancel request: one that
  // arrived later could stop the next request's statement instead. A cancel that cannot be delivered
  // within the clean-up limit costs the connection.
  if (PGcancel* k = PQgetCancel(c.conn.get())) {
    std::shared_ptr<PGcancel> cancel(k, base::CFree<PQfreeCancel>());
    // PQcancel opens a connection of its own and blocks. The job is named before the co_await
    // (see base::BlockingPool::run).
    auto send_cancel = [cancel] {
      char buf[256];
      PQcancel(cancel.get(), buf, sizeof buf);
    };
    auto delivered = c.helpers->run(std::move(send_cancel), kCleanupLimit);
    try {
      co_await std::move(delivered);
    } catch (const base::Error&) {  // not delivered in time, or the helpers have stopped
      co_return out;
    }
  }
  out.recovered = co_await recover_after_cancel(c);
  co_return out;
}

// BEGIN, COMMIT or ROLLBACK on the session's connection; the session is out of its transaction
// once the command has run, whatever came of it. A cancel hands the connection back to the pool
// only if recovery left it clean; any other failure discards it (a failed BEGIN, COMMIT or
// ROLLBACK leaves it in no known state). After a failure the session holds no connection.
asio::awaitable<RunOutcome> run_transaction_command(std::unique_ptr<Connection>& conn, bool& in_tx,
                                                    const std::string& sql) {
  // BEGIN, COMMIT and ROLLBACK are quick; a connection that stalls on one is given up (and closed)
  // after the clean-up limit instead of holding the request until TCP gives up.
  asio::steady_timer deadline(co_await asio::this_coro::executor, kCleanupLimit);
  RunOutcome o = co_await run_command(*conn->lease, sql, nullptr, false, &deadline);
  in_tx = false;
  if (o.cancelled) {
    if (o.recovered) conn->lease.give_back();
    conn.reset();
    throw_cancelled();
  }
  if (o.error) {
    conn.reset();
    std::rethrow_exception(o.error);
  }
  co_return o;
}

}  // namespace

asio::awaitable<void> Session::take_connection(bool fresh) {
  auto ex = co_await asio::this_coro::executor;
  auto pool = db_->pool(ex);
  const auto limit = db_->options.checkout_timeout;
  const std::size_t size = pool->max();
  auto lease = co_await pool->acquire(limit, [size, limit] {
    throw Error(fmt::format("QueuePool limit of size {} reached, connection timed out, timeout {}", size,
                            std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
  });
  // A fresh connection keeps the slot of the pooled one it replaces.
  if (fresh && lease.has_connection()) lease.set(nullptr);
  if (!lease.has_connection()) lease.set(co_await db_->connect());
  conn_ = std::make_unique<Connection>();
  conn_->lease = std::move(lease);
}

asio::awaitable<Result> Session::execute(std::string sql, Params params, Prepare prepare, Retry retry) {
  if (must_rollback_)
    throw Error("This session's transaction is gone (a statement was cancelled or the connection failed); roll back or close the session first");
  BoundSql bound = bind_named(sql);
  Bound values = bind_values(bound.names, params);
  // Only a statement that opens the transaction may run again: nothing done before it is lost.
  bool may_retry = retry == Retry::if_connection_lost && !in_tx_;
  for (bool fresh = false;; fresh = true) {
    if (!conn_) co_await take_connection(fresh);
    if (!in_tx_) {
      const std::string begin = "BEGIN";
      std::exception_ptr begin_failure;
      try {
        co_await run_transaction_command(conn_, in_tx_, begin);
      } catch (const Error&) {
        // BEGIN fails only on a connection that is gone; the session holds none now.
        begin_failure = std::current_exception();
      }
      if (begin_failure) {
        if (!may_retry) std::rethrow_exception(begin_failure);
        may_retry = false;
        continue;
      }
      in_tx_ = true;
    }
    PgConn& c = *conn_->lease;
    RunOutcome o = co_await run_command(c, bound.sql, &values, prepare == Prepare::yes);
    if (o.cancelled) {
      if (o.recovered) conn_->lease.give_back();
      conn_.reset();
      in_tx_ = false;
      must_rollback_ = true;
      throw_cancelled();
    }
    if (o.broken) {
      conn_.reset();
      in_tx_ = false;
      if (may_retry) {
        may_retry = false;
        continue;
      }
      must_rollback_ = true;
      std::rethrow_exception(o.error);
    }
    if (o.error) std::rethrow_exception(o.error);  // the transaction is aborted; rollback() next
    co_return Result(std::shared_ptr<pg_result>(o.result.release(), base::CFree<PQclear>()));
  }
}

asio::awaitable<void> Session::commit() {
  if (must_rollback_)
    throw Error("Can't commit: this session's transaction is gone (a statement was cancelled or the connection failed)");
  if (!conn_ || !in_tx_) co_return;
  PgConn& c = *conn_->lease;
  const std::string sql = "COMMIT";
  // Cancelled, whether the commit happened is unknown; the connection is kept only if clean.
  RunOutcome o = co_await run_transaction_command(conn_, in_tx_, sql);
  // COMMIT of a transaction aborted by an earlier error answers ROLLBACK: that is a failure.
  const std::string status = PQcmdStatus(o.result.get());
  const bool clean = PQtransactionStatus(c.conn.get()) == PQTRANS_IDLE;
  if (clean) conn_->lease.give_back();
  conn_.reset();
  if (status == "ROLLBACK")
    throw Error("Can't commit: the transaction was aborted by an earlier error and has been rolled back", "25P02");
}

asio::awaitable<void> Session::rollback() {
  must_rollback_ = false;
  if (!conn_) {
    in_tx_ = false;
    co_return;
  }
  if (!in_tx_) {
    conn_->lease.give_back();
    conn_.reset();
    co_return;
  }
  PgConn& c = *conn_->lease;
  const std::string sql = "ROLLBACK";
  co_await run_transaction_command(conn_, in_tx_, sql);
  if (PQtransactionStatus(c.conn.get()) == PQTRANS_IDLE) conn_->lease.give_back();
  conn_.reset();
}

asio::awaitable<void> Session::close() {
  must_rollback_ = false;
  if (!conn_) {
    in_tx_ = false;
    co_return;
  }
  // Close runs at the end of every request, also a cancelled one: it must not be cut short.
  co_await asio::this_coro::reset_cancellation_state();
  try {
    co_await rollback();
  } catch (...) {
    conn_.reset();
    in_tx_ = false;
  }
}

}  // namespace vekt::pg