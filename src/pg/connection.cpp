// One libpq connection on Asio: libpq does all the protocol work, Asio only waits for the socket.
#include "pg/connection.hpp"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "base/timer_race.hpp"
#include "pg/conninfo.hpp"

namespace vekt::pg {

namespace asio = boost::asio;
using boost::system::error_code;

void throw_cancelled() { throw boost::system::system_error(asio::error::operation_aborted); }

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s;
}

void RunningStatements::add(const std::shared_ptr<Entry>& e) {
  std::lock_guard lock(mu_);
  entries_.insert(e);
}

void RunningStatements::remove(const std::shared_ptr<Entry>& e) {
  std::lock_guard lock(mu_);
  entries_.erase(e);
}

std::size_t RunningStatements::shut_down() {
  // Closed first, then looked at: a statement marks itself busy before it checks closed(), so each
  // one is either refused or seen here.
  closed_.store(true);
  std::vector<std::shared_ptr<Entry>> busy;
  {
    std::lock_guard lock(mu_);
    for (const auto& e : entries_)
      if (e->busy.load()) busy.push_back(e);
  }
  for (const auto& e : busy) {
    char buf[256];
    PQcancel(e->cancel.get(), buf, sizeof buf);
  }
  return busy.size();
}

PgConn::~PgConn() {
  if (registry && running) registry->remove(running);
}

void PgConn::watch_socket() {
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

std::size_t connections_per_loop(const DatabaseOptions& options) {
  return std::max<std::size_t>(1, options.pool_size / std::max<std::size_t>(1, options.loops));
}

std::shared_ptr<PgPool> Database::Impl::pool(const asio::any_io_executor& ex) {
  return base::loop_pool<PgPool>(ex, id, [this] {
    // Made once per loop: the first pool_size % loops pools take one connection of the remainder.
    const std::size_t loops = std::max<std::size_t>(1, options.loops);
    const std::size_t extra = pools_made.fetch_add(1) % loops < options.pool_size % loops ? 1 : 0;
    const std::size_t n = connections_per_loop(options) + (options.pool_size >= loops ? extra : 0);
    return std::make_shared<PgPool>(n, [](PgConn& c) { return idle_alive(c); });
  });
}

asio::awaitable<error_code> Database::Impl::wait(PgConn& c, Wait w, asio::steady_timer* deadline) {
  const auto type = w == Wait::read ? asio::posix::stream_descriptor::wait_read
                                    : asio::posix::stream_descriptor::wait_write;
  if (!deadline) {
    auto [ec] = co_await c.sd.async_wait(type, asio::as_tuple(asio::use_awaitable));
    co_return ec;
  }
  const auto raced = co_await base::race_timer(c.sd.async_wait(type, asio::deferred), *deadline);
  if (raced.timed_out()) co_return asio::error::timed_out;
  if (raced.cancelled()) co_return asio::error::operation_aborted;
  co_return std::get<0>(raced.results);
}


asio::awaitable<std::unique_ptr<PgConn>> Database::Impl::connect() {
  auto ex = co_await asio::this_coro::executor;
  auto c = std::make_unique<PgConn>(ex);
  asio::steady_timer deadline(ex, options.connect_timeout);
  c->helpers = helpers;
  const auto params = co_await connection_params(*helpers, normalise_url(options.url), deadline.expiry());
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
    if (ec == asio::error::timed_out) throw Error::timeout("timeout expired while connecting to the database");
    if (ec) throw Error("error while connecting to the database: " + ec.message());
    st = PQconnectPoll(c->conn.get());
  }
  if (PQsetnonblocking(c->conn.get(), 1) != 0) throw Error(c->last_error());
  // Server notices (NOTICE, WARNING) would otherwise go to stderr unformatted, and a termination
  // notice that arrives while the connection is idle would pass unseen.
  watch_notices(*c);
  c->watch_socket();
  if (PGcancel* k = PQgetCancel(c->conn.get())) {
    c->running = std::make_shared<RunningStatements::Entry>();
    c->running->cancel.reset(k, base::CFree<PQfreeCancel>());
    c->registry = running;
    running->add(c->running);
  }
  co_return c;
}


asio::awaitable<void> Database::Impl::flush(PgConn& c, asio::steady_timer* deadline) {
  for (;;) {
    const int r = PQflush(c.conn.get());
    if (r == 0) co_return;
    if (r < 0) throw Error(c.last_error());
    error_code ec = co_await wait(c, Wait::write, deadline);
    if (ec == asio::error::operation_aborted) throw_cancelled();
    if (ec == asio::error::timed_out) throw Error::timeout("timeout or error while sending to the database");
    if (ec) throw Error("timeout or error while sending to the database");
  }
}


asio::awaitable<ResultPtr> Database::Impl::collect(PgConn& c, asio::steady_timer* deadline) {
  ResultPtr keep;
  for (;;) {
    while (PQisBusy(c.conn.get())) {
      error_code ec = co_await wait(c, Wait::read, deadline);
      if (ec == asio::error::operation_aborted) throw_cancelled();
      if (ec == asio::error::timed_out) throw Error::timeout("timeout or error while reading from the database");
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


Error Database::Impl::result_error(PGresult* r) {
  const char* primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
  const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
  std::string msg = primary ? primary : trim(PQresultErrorMessage(r));
  return Error(msg, state ? state : "");
}

}  // namespace vekt::pg
