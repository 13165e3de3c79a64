// PostgreSQL connections on Asio: libpq does all the protocol work, Asio only waits for the socket.
#include "pg/session.hpp"

#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <fmt/format.h>

#include "base/c_handle.hpp"
#include "base/conn_pool.hpp"
#include "base/lookup.hpp"
#include "base/pyconv.hpp"

namespace vekt::pg {

namespace asio = boost::asio;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// A drain after a cancel, and a ROLLBACK after it, wait at most this long before the connection is
// given up (closed) instead.
constexpr std::chrono::seconds kCleanupLimit{5};

using ResultPtr = base::CHandle<PGresult, PQclear>;

[[noreturn]] void throw_cancelled() {
  throw boost::system::system_error(asio::error::operation_aborted);
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s;
}

// PQcancel opens a connection of its own and blocks: it runs here, never on an event loop.
asio::thread_pool& cancel_threads() {
  static asio::thread_pool pool(2);
  return pool;
}

}  // namespace

// One libpq connection. `sd` waits on a dup of libpq's socket: both close their own descriptor.
struct PgConn {
  base::CHandle<PGconn, PQfinish> conn;
  asio::posix::stream_descriptor sd;
  int fd = -1;  // libpq's socket that sd mirrors
  std::unordered_map<std::string, std::string> prepared;  // key -> statement name
  std::uint64_t statements_named = 0;

  explicit PgConn(const asio::any_io_executor& ex) : sd(ex) {}

  void watch_socket() {
    const int s = PQsocket(conn.get());
    if (s == fd && sd.is_open()) return;
    error_code ec;
    sd.close(ec);
    fd = s;
    if (s < 0) return;
    const int d = ::dup(s);
    if (d < 0) throw Error("could not duplicate the database socket");
    sd.assign(d, ec);
    if (ec) {
      ::close(d);
      throw Error("could not watch the database socket: " + ec.message());
    }
  }

  std::string last_error() const { return trim(PQerrorMessage(conn.get())); }
};

namespace {

using PgPool = base::Pool<PgConn>;

// An idle connection is usable when libpq still thinks so and the server has not closed or written
// to it (a closed socket reads as ready; PQconsumeInput then notices).
bool idle_alive(PgConn& c) {
  if (PQstatus(c.conn.get()) != CONNECTION_OK) return false;
  if (PQtransactionStatus(c.conn.get()) != PQTRANS_IDLE) return false;
  pollfd p{PQsocket(c.conn.get()), POLLIN, 0};
  const int r = ::poll(&p, 1, 0);
  if (r < 0) return false;
  if (r == 0) return true;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  if (!PQconsumeInput(c.conn.get())) return false;
  while (PGnotify* n = PQnotifies(c.conn.get())) PQfreemem(n);
  return PQstatus(c.conn.get()) == CONNECTION_OK && !PQisBusy(c.conn.get());
}

std::string normalise_url(std::string url) {
  // "postgresql+asyncpg://..." and the like: libpq knows only the plain scheme.
  const auto scheme_end = url.find("://");
  const auto plus = url.find('+');
  if (scheme_end != std::string::npos && plus != std::string::npos && plus < scheme_end) url.erase(plus, scheme_end - plus);
  return url;
}

enum class Wait { read, write };

// The options of a connection URI or key=value string, as libpq reads them; pg::Error with libpq's
// reason when it cannot.
base::CHandle<PQconninfoOption, PQconninfoFree> parse_conninfo(const std::string& url) {
  char* err = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(url.c_str(), &err);
  if (!parsed) {
    std::string why = err ? trim(err) : "out of memory";
    if (err) PQfreemem(err);
    throw Error(why);
  }
  return base::CHandle<PQconninfoOption, PQconninfoFree>(parsed);
}

// A libpq list value ("a,b,,c"): entries in order, empty ones kept (they mean "the default").
std::vector<std::string> list_entries(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = s.find(',', start);
    out.push_back(s.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

std::string join_entries(const std::vector<std::string>& v) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) out += (i ? "," : "") + v[i];
  return out;
}

bool is_socket_dir(const std::string& h) { return !h.empty() && (h[0] == '/' || h[0] == '@'); }

// The connection parameters of `url`, with its host names already looked up. libpq would look them
// up itself, blocking the event loop for as long as the name server takes; here they are looked up
// off the loop until `deadline`, and handed to libpq as "hostaddr" ("host" stays, for messages and
// certificate checks). A name with several addresses becomes one entry per address, tried in order
// as libpq tries them. Lists libpq would refuse (ports not matching hosts) are passed on unchanged.
asio::awaitable<std::vector<std::pair<std::string, std::string>>> connection_params(
    const std::string& url, std::chrono::steady_clock::time_point deadline) {
  const auto parsed = parse_conninfo(url);
  std::vector<std::pair<std::string, std::string>> params;
  std::string host, hostaddr, port;
  for (const PQconninfoOption* o = parsed.get(); o->keyword; ++o) {
    if (!o->val) continue;
    const std::string key = o->keyword;
    if (key == "host") host = o->val;
    else if (key == "hostaddr") hostaddr = o->val;
    else if (key == "port") port = o->val;
    else params.emplace_back(key, o->val);
  }
  const std::vector<std::string> hosts = list_entries(host);
  const std::vector<std::string> ports = list_entries(port);
  const bool port_per_host = ports.size() > 1;
  if (hostaddr.empty() && (!port_per_host || ports.size() == hosts.size())) {
    std::vector<std::string> new_hosts, new_addrs, new_ports;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      const std::string& h = hosts[i];
      const std::string& p = port_per_host ? ports[i] : port;
      if (h.empty() || is_socket_dir(h)) {  // the default, or a socket: nothing to look up
        new_hosts.push_back(h);
        new_addrs.emplace_back();
        new_ports.push_back(p);
        continue;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      std::vector<asio::ip::address> found;
      try {
        found = co_await base::lookup_host(h, std::max(left, std::chrono::milliseconds(0)));
      } catch (const base::LookupError& e) {
        throw Error(e.timed_out ? "timeout expired while connecting to the database (looking up " + h + ")"
                                : std::string(e.what()));
      }
      for (const auto& a : found) {
        new_hosts.push_back(h);
        new_addrs.push_back(a.to_string());
        new_ports.push_back(p);
      }
    }
    host = join_entries(new_hosts);
    hostaddr = join_entries(new_addrs);
    if (port_per_host) port = join_entries(new_ports);
  }
  if (!host.empty()) params.emplace_back("host", host);
  if (!hostaddr.empty()) params.emplace_back("hostaddr", hostaddr);
  if (!port.empty()) params.emplace_back("port", port);
  co_return params;
}

}  // namespace

struct Database::Impl {
  DatabaseOptions options;
  std::uint64_t id = base::next_pool_owner_id();

  std::shared_ptr<PgPool> pool(const asio::any_io_executor& ex) {
    const std::size_t n = options.pool_size;
    return base::loop_pool<PgPool>(ex, id, [n] { return std::make_shared<PgPool>(n, [](PgConn& c) { return idle_alive(c); }); });
  }

  // Waits until the socket is ready; a timer bounds it when `deadline` is given. Cancellation of
  // the awaiting coroutine shows as operation_aborted.
  static asio::awaitable<error_code> wait(PgConn& c, Wait w, asio::steady_timer* deadline) {
    const auto type = w == Wait::read ? asio::posix::stream_descriptor::wait_read
                                      : asio::posix::stream_descriptor::wait_write;
    if (!deadline) {
      auto [ec] = co_await c.sd.async_wait(type, asio::as_tuple(asio::use_awaitable));
      co_return ec;
    }
    auto [order, ec, tec] = co_await asio::experimental::make_parallel_group(
                                c.sd.async_wait(type, asio::deferred), deadline->async_wait(asio::deferred))
                                .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    if (order[0] == 1) co_return tec == asio::error::operation_aborted ? tec : error_code(asio::error::timed_out);
    co_return ec;
  }

  asio::awaitable<std::unique_ptr<PgConn>> connect() {
    auto ex = co_await asio::this_coro::executor;
    auto c = std::make_unique<PgConn>(ex);
    asio::steady_timer deadline(ex, options.connect_timeout);
    const auto params = co_await connection_params(normalise_url(options.url), deadline.expiry());
    std::vector<const char*> keys, values;
    for (const auto& [k, v] : params) {
      keys.push_back(k.c_str());
      values.push_back(v.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    c->conn.reset(PQconnectStartParams(keys.data(), values.data(), 0));
    if (!c->conn) throw Error("could not allocate a database connection");
    if (PQstatus(c->conn.get()) == CONNECTION_BAD) throw Error(c->last_error());
    PostgresPollingStatusType st = PGRES_POLLING_WRITING;
    for (;;) {
      if (st == PGRES_POLLING_OK) break;
      if (st == PGRES_POLLING_FAILED) throw Error(c->last_error());
      c->watch_socket();
      error_code ec = co_await wait(*c, st == PGRES_POLLING_READING ? Wait::read : Wait::write, &deadline);
      if (ec == asio::error::operation_aborted) throw_cancelled();
      if (ec == asio::error::timed_out) throw Error("timeout expired while connecting to the database");
      if (ec) throw Error("error while connecting to the database: " + ec.message());
      st = PQconnectPoll(c->conn.get());
    }
    if (PQsetnonblocking(c->conn.get(), 1) != 0) throw Error(c->last_error());
    // Server notices (NOTICE, WARNING) would go to stderr unformatted; the statements' callers do
    // not act on them.
    PQsetNoticeProcessor(c->conn.get(), [](void*, const char*) {}, nullptr);
    c->watch_socket();
    co_return c;
  }

  // Flushes what libpq buffered.
  static asio::awaitable<void> flush(PgConn& c, asio::steady_timer* deadline) {
    for (;;) {
      const int r = PQflush(c.conn.get());
      if (r == 0) co_return;
      if (r < 0) throw Error(c.last_error());
      error_code ec = co_await wait(c, Wait::write, deadline);
      if (ec == asio::error::operation_aborted) throw_cancelled();
      if (ec) throw Error("timeout or error while sending to the database");
    }
  }

  // Reads every result of the command in flight until libpq has none left. Returns the first
  // error result, else the last result.
  static asio::awaitable<ResultPtr> collect(PgConn& c, asio::steady_timer* deadline) {
    ResultPtr keep;
    for (;;) {
      while (PQisBusy(c.conn.get())) {
        error_code ec = co_await wait(c, Wait::read, deadline);
        if (ec == asio::error::operation_aborted) throw_cancelled();
        if (ec) throw Error("timeout or error while reading from the database");
        if (!PQconsumeInput(c.conn.get())) throw Error(c.last_error());
      }
      ResultPtr r(PQgetResult(c.conn.get()));
      if (!r) break;
      const auto st = PQresultStatus(r.get());
      const bool keep_is_error = keep && PQresultStatus(keep.get()) == PGRES_FATAL_ERROR;
      if (st == PGRES_COPY_IN || st == PGRES_COPY_OUT || st == PGRES_COPY_BOTH)
        throw Error("COPY is not supported by this client");
      if (!keep_is_error) keep = std::move(r);
    }
    if (!keep) throw Error(c.last_error().empty() ? "no result from the database" : c.last_error());
    co_return keep;
  }

  static Error result_error(PGresult* r) {
    const char* primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
    const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
    std::string msg = primary ? primary : trim(PQresultErrorMessage(r));
    return Error(msg, state ? state : "");
  }
};

DatabaseOptions DatabaseOptions::from_env() {
  DatabaseOptions o;
  if (const char* u = std::getenv("DATABASE_URL")) {
    o.url = u;
    // A URL libpq cannot read stops start-up here instead of failing every request later.
    try {
      (void)parse_conninfo(normalise_url(o.url));
    } catch (const Error& e) {
      throw base::ValueError(std::string("DATABASE_URL is not a PostgreSQL connection URI: ") + e.what());
    }
  }
  if (const char* n = std::getenv("VEKT_DB_POOL_SIZE")) {
    auto v = base::py_int(n);
    if (!v || v->huge() || *v->value <= 0)
      throw base::ValueError(std::string("VEKT_DB_POOL_SIZE must be a positive integer, not '") + n + "'");
    o.pool_size = static_cast<std::size_t>(*v->value);
  }
  return o;
}

Database::Database(DatabaseOptions options) : impl_(std::make_shared<Impl>()) { impl_->options = std::move(options); }
Database::~Database() = default;
const DatabaseOptions& Database::options() const { return impl_->options; }

// The session's hold on a pooled connection.
class Connection {
 public:
  PgPool::Lease lease;
};

namespace {

// The parameter arrays libpq wants, built from typed values (binary where the type is fixed).
struct Bound {
  std::vector<Oid> types;
  std::vector<std::string> storage;
  std::vector<const char*> values;
  std::vector<int> lengths;
  std::vector<int> formats;
  std::string type_key;  // part of the prepared-statement key
};

template <class T>
std::string be_bytes(T v) {
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(T) == 4) v = static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(v)));
    if constexpr (sizeof(T) == 8) v = static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(v)));
  }
  std::string s(sizeof v, '\0');
  std::memcpy(s.data(), &v, sizeof v);
  return s;
}

Bound bind_values(const std::vector<std::string>& names, const Params& params) {
  Bound b;
  const std::size_t n = names.size();
  b.types.resize(n);
  b.storage.resize(n);
  b.values.resize(n);
  b.lengths.resize(n);
  b.formats.resize(n);
  std::vector<bool> is_null(n, false);
  for (std::size_t i = 0; i < n; ++i) {
    const Value* v = nullptr;
    for (const auto& [k, val] : params)
      if (k == names[i]) v = &val;  // the last one given wins
    if (!v) throw Error("A value is required for bind parameter '" + names[i] + "'");
    std::visit(
        [&](const auto& x) {
          using X = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<X, Null>) {
            b.types[i] = 0;
            is_null[i] = true;
          } else if constexpr (std::is_same_v<X, bool>) {
            b.types[i] = 16;
            b.storage[i] = std::string(1, x ? '\1' : '\0');
            b.formats[i] = 1;
          } else if constexpr (std::is_same_v<X, std::int32_t>) {
            b.types[i] = 23;
            b.storage[i] = be_bytes(x);
            b.formats[i] = 1;
          } else if constexpr (std::is_same_v<X, std::int64_t>) {
            b.types[i] = 20;
            b.storage[i] = be_bytes(x);
            b.formats[i] = 1;
          } else if constexpr (std::is_same_v<X, double>) {
            b.types[i] = 701;
            b.storage[i] = be_bytes(std::bit_cast<std::uint64_t>(x));
            b.formats[i] = 1;
          } else if constexpr (std::is_same_v<X, std::string>) {
            b.types[i] = 0;  // text: the server infers the type from the statement
            b.storage[i] = x;
            b.formats[i] = 0;
          } else {
            b.types[i] = 17;
            b.storage[i] = x.data;
            b.formats[i] = 1;
          }
        },
        *v);
    b.type_key += std::to_string(b.types[i]);
    b.type_key += ',';
  }
  for (std::size_t i = 0; i < n; ++i) {
    b.values[i] = is_null[i] ? nullptr : b.storage[i].data();
    b.lengths[i] = static_cast<int>(b.storage[i].size());
  }
  return b;
}

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

asio::awaitable<RunOutcome> run_command(PgConn& c, const std::string& sql, const Bound* b, bool prepare,
                                        asio::steady_timer* deadline = nullptr) {
  RunOutcome out;
  try {
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
        if (PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
          out.error = std::make_exception_ptr(Database::Impl::result_error(r.get()));
          co_return out;
        }
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
    co_await Database::Impl::flush(c, deadline);
    ResultPtr r = co_await Database::Impl::collect(c, deadline);
    const auto st = PQresultStatus(r.get());
    if (st == PGRES_FATAL_ERROR || st == PGRES_BAD_RESPONSE || st == PGRES_NONFATAL_ERROR) {
      out.error = std::make_exception_ptr(Database::Impl::result_error(r.get()));
      if (PQstatus(c.conn.get()) != CONNECTION_OK) out.broken = true;
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
    auto delivered = std::make_shared<std::atomic<bool>>(false);
    asio::post(cancel_threads(), [cancel, delivered] {
      char buf[256];
      PQcancel(cancel.get(), buf, sizeof buf);
      delivered->store(true, std::memory_order_release);
    });
    if (!co_await base::wait_for_flag(*delivered, kCleanupLimit)) co_return out;
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

asio::awaitable<Result> Session::execute(std::string sql, Params params, Prepare prepare) {
  if (must_rollback_)
    throw Error("This session's transaction is gone (a statement was cancelled or the connection failed); roll back or close the session first");
  BoundSql bound = bind_named(sql);
  Bound values = bind_values(bound.names, params);
  if (!conn_) {
    auto ex = co_await asio::this_coro::executor;
    auto pool = db_->pool(ex);
    const auto limit = db_->options.checkout_timeout;
    const std::size_t size = pool->max();
    auto lease = co_await pool->acquire(limit, [size, limit] {
      throw Error(fmt::format("QueuePool limit of size {} reached, connection timed out, timeout {}", size,
                              std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
    });
    if (!lease.has_connection()) lease.set(co_await db_->connect());
    conn_ = std::make_unique<Connection>();
    conn_->lease = std::move(lease);
  }
  PgConn& c = *conn_->lease;
  if (!in_tx_) {
    const std::string begin = "BEGIN";
    co_await run_transaction_command(conn_, in_tx_, begin);
    in_tx_ = true;
  }
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
    must_rollback_ = true;
    std::rethrow_exception(o.error);
  }
  if (o.error) std::rethrow_exception(o.error);  // the transaction is aborted; rollback() next
  co_return Result(std::shared_ptr<pg_result>(o.result.release(), base::CFree<PQclear>()));
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
