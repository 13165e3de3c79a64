// The PostgreSQL client when the server ends its connections: a restart, pg_terminate_backend, and
// a shutdown that cancels what still runs.
#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "pg/connection.hpp"
#include "pg/session.hpp"
#include "support/env.hpp"
#include "support/pg_server.hpp"
#include "support/run.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;
using vekt::pg::Database;
using vekt::pg::DatabaseOptions;
using vekt::pg::Retry;
using vekt::pg::Session;
using vekt::testing::count_true;
using vekt::testing::run;
using vekt::testing::sleep_for;

namespace {

// `n` sessions at once, each reading its backend's pid (so that `n` pooled connections exist);
// the pids of those that succeeded.
std::set<long long> backend_pids(asio::io_context& io, Database& db, int n, Retry retry = Retry::no) {
  std::set<long long> pids;
  int failed = 0;
  auto one = [&](int) -> asio::awaitable<bool> {
    Session s(db);
    try {
      auto r = co_await s.execute("SELECT pg_backend_pid(), pg_sleep(0.05)", {}, vekt::pg::Prepare::no, retry);
      pids.insert(r.scalar()->as_int());
    } catch (const vekt::pg::Error&) {
      ++failed;
    }
    co_await s.close();
    co_return true;
  };
  run(io, count_true(n, one, 10ms));
  EXPECT_EQ(failed, 0);
  return pids;
}

void terminate_backends(const std::string& url, const std::set<long long>& pids) {
  asio::io_context io;
  DatabaseOptions o;
  o.url = url;
  Database admin(o);
  for (long long pid : pids) {
    Session s(admin);
    run(io, s.execute("SELECT pg_terminate_backend(:pid)", {{"pid", static_cast<std::int32_t>(pid)}}));
    run(io, s.close());
  }
}

// The tests on the shared server (the restart has one of its own).
class PgFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto u = vekt::testing::shared_database_url();
    if (!u) GTEST_SKIP() << "DATABASE_URL is not set";
    url = *u;
  }
  DatabaseOptions options(std::size_t pool_size = 10) const {
    DatabaseOptions o;
    o.url = url;
    o.pool_size = pool_size;
    return o;
  }
  std::string url;
  asio::io_context io;
};

TEST_F(PgFaults, IdleConnectionsEndedByTheServerAreNeverHandedOut) {
  Database db(options(4));
  const std::set<long long> before = backend_pids(io, db, 4);
  ASSERT_EQ(before.size(), 4u);
  terminate_backends(url, before);
  std::this_thread::sleep_for(200ms);  // the termination messages arrive
  // No retry asked for: every statement runs on a connection the pool checked.
  const std::set<long long> after = backend_pids(io, db, 4);
  EXPECT_EQ(after.size(), 4u);
  for (long long pid : after) EXPECT_EQ(before.count(pid), 0u) << pid;
}

// The pool size is the whole Database's: its event loops share it, the first ones taking the
// remainder, so however busy the loops are, the server never holds more than it was given.
TEST_F(PgFaults, ThePoolIsSplitOverTheEventLoops) {
  struct Case {
    std::size_t pool_size, loops;
    std::vector<std::size_t> per_loop;
  };
  // With fewer connections than loops each loop still gets one, so none is starved.
  for (const Case& c : {Case{5, 2, {3, 2}}, Case{16, 8, {2, 2, 2, 2, 2, 2, 2, 2}}, Case{1, 3, {1, 1, 1}}}) {
    SCOPED_TRACE(std::to_string(c.pool_size) + " over " + std::to_string(c.loops));
    DatabaseOptions o = options(c.pool_size);
    o.loops = c.loops;
    Database db(o);
    std::vector<asio::io_context> loops(c.loops);
    for (std::size_t i = 0; i < c.loops; ++i)
      EXPECT_EQ(backend_pids(loops[i], db, static_cast<int>(c.pool_size) + 1).size(), c.per_loop[i]);
  }
}

TEST_F(PgFaults, AConnectionEndedWhileIdleIsKnownByTheServersMessage) {
  Database db(options(1));
  auto conn = run(io, db.impl()->connect());
  terminate_backends(url, {PQbackendPID(conn->conn.get())});
  // The server's termination message arrives on the idle connection.
  pollfd p{PQsocket(conn->conn.get()), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  EXPECT_FALSE(vekt::pg::idle_alive(*conn));
  EXPECT_TRUE(conn->terminated);
}

TEST(PgRestart, ReadsAfterARestartRunOnFreshConnections) {
  vekt::testing::PgServer server;
  asio::io_context io;
  DatabaseOptions o;
  o.url = server.url();
  o.pool_size = 4;
  Database db(o);
  ASSERT_EQ(backend_pids(io, db, 4).size(), 4u);
  server.restart();
  // Straight after the restart, with no time for anything to arrive: every read still answers.
  for (int round = 0; round < 5; ++round) EXPECT_EQ(backend_pids(io, db, 4, Retry::if_connection_lost).size(), 4u);
}

TEST_F(PgFaults, AStatementLaterInItsTransactionIsNotRunAgain) {
  Database db(options());
  Session s(db);
  const long long pid = run(io, s.execute("SELECT pg_backend_pid()")).scalar()->as_int();
  terminate_backends(url, {pid});
  std::this_thread::sleep_for(100ms);
  // What the transaction did before is gone with the connection: running the read again elsewhere
  // would hide that.
  EXPECT_THROW(run(io, s.execute("SELECT 1", {}, vekt::pg::Prepare::no, Retry::if_connection_lost)), vekt::pg::Error);
  run(io, s.close());
}

TEST_F(PgFaults, ShutdownCancelsTheStatementsStillRunning) {
  Database db(options());
  std::size_t cancelled = 0;
  std::thread shutdown([&] {
    std::this_thread::sleep_for(300ms);
    cancelled = db.shut_down();
  });
  const auto start = std::chrono::steady_clock::now();
  std::string sqlstate;
  auto sleeper = [&](int) -> asio::awaitable<bool> {
    Session s(db);
    try {
      co_await s.execute("SELECT pg_sleep(20)");
    } catch (const vekt::pg::Error& e) {
      sqlstate = e.sqlstate();
    }
    co_await s.close();
    co_return true;
  };
  run(io, count_true(2, sleeper, 10ms));
  shutdown.join();
  EXPECT_EQ(cancelled, 2u);
  EXPECT_EQ(sqlstate, "57014");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  // Nothing starts afterwards, on a pooled connection or a new one.
  Session late(db);
  EXPECT_THROW(run(io, late.execute("SELECT 1")), vekt::pg::Error);
  run(io, late.close());
  EXPECT_EQ(db.shut_down(), 0u);
}

}  // namespace
