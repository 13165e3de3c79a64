#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "base/with_timeout.hpp"
#include "pg/session.hpp"
#include "support/env.hpp"
#include "support/pg_server.hpp"
#include "support/run.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;
using vekt::base::TimeoutError;
using vekt::base::with_timeout;
using vekt::pg::Bytes;
using vekt::pg::Database;
using vekt::pg::DatabaseOptions;
using vekt::pg::Null;
using vekt::pg::Params;
using vekt::pg::Result;
using vekt::pg::Session;
using vekt::pg::Value;
using vekt::testing::count_true;
using vekt::testing::count_true_per_loop;
using vekt::testing::run;
using vekt::testing::sleep_for;

namespace {

#define NEED_PG()                                                                   \
  const auto database_url = vekt::testing::shared_database_url();                  \
  if (!database_url) GTEST_SKIP() << "DATABASE_URL is not set";                     \
  DatabaseOptions options;                                                           \
  options.url = *database_url

// One statement in its own session, committed: for set-up and for looking from outside.
asio::awaitable<Result> once(Database& db, std::string sql, Params params = {}) {
  Session s(db);
  Result r = co_await s.execute(std::move(sql), std::move(params));
  co_await s.commit();
  co_await s.close();
  co_return r;
}

long long count_of(asio::io_context& io, Database& db, const std::string& sql) {
  return run(io, once(db, sql)).scalar()->as_int();
}

TEST(PgSession, TypedValuesRoundTrip) {
  NEED_PG();
  asio::io_context io;
  Database db(options);
  const std::vector<Value> values = {
      Null{}, true, false, std::int32_t{-2147483647 - 1}, std::int32_t{42}, std::int64_t{9007199254740993LL},
      0.1, -1e300, 5e-324, std::string("plain"), std::string("Ünïcödé — m²"), std::string(""),
      Bytes{std::string("\0\xff\r\n", 4)}, Bytes{std::string(300000, '\xff')}, Bytes{""},
  };
  Session s(db);
  for (std::size_t i = 0; i < values.size(); ++i) {
    Params p = {{"v", values[i]}};
    Result r = run(io, s.execute("SELECT :v AS v", p));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r.columns(), std::vector<std::string>{"v"});
    Value back = r.row(0)["v"].value();
    EXPECT_EQ(back, values[i]) << "value " << i;
  }
  run(io, s.close());
}

TEST(PgSession, NamedBindsAndResultAccess) {
  NEED_PG();
  asio::io_context io;
  Database db(options);
  Session s(db);
  Params p = {{"a", std::int32_t{2}}, {"b", 0.5}, {"unused", std::string("x")}};
  Result r = run(io, s.execute("SELECT g AS n, g * :a AS twice, CAST(:b AS float8) + g AS plus, 'x'::text || g AS label "
                               "FROM generate_series(1, 3) g ORDER BY g",
                               p));
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r.columns(), (std::vector<std::string>{"n", "twice", "plus", "label"}));
  auto rows = r.all();
  EXPECT_EQ(rows[2]["twice"].as_int(), 6);
  EXPECT_EQ(rows[1]["plus"].as_double(), 2.5);
  EXPECT_EQ(rows[0]["label"].text(), "x1");
  EXPECT_EQ(r.first()->operator[]("n").as_int(), 1);
  EXPECT_EQ(r.scalar()->as_int(), 1);
  EXPECT_THROW(r.scalar_one_or_none(), vekt::pg::Error);
  EXPECT_THROW(rows[0]["nope"], vekt::pg::Error);

  EXPECT_FALSE(run(io, s.execute("SELECT 1 WHERE false")).scalar_one_or_none().has_value());
  EXPECT_FALSE(run(io, s.execute("SELECT NULL::bytea")).scalar_one_or_none().has_value());
  EXPECT_FALSE(run(io, s.execute("SELECT 1 WHERE false")).first().has_value());
  auto empty_bytes = run(io, s.execute("SELECT ''::bytea")).scalar_one_or_none();
  ASSERT_TRUE(empty_bytes.has_value());
  EXPECT_EQ(empty_bytes->bytes(), "");
  Params missing = {{"a", std::int32_t{1}}};
  EXPECT_THROW(run(io, s.execute("SELECT :a, :b", missing)), vekt::pg::Error);
  run(io, s.close());
}

TEST(PgSession, DecodesColumnTypes) {
  NEED_PG();
  asio::io_context io;
  Database db(options);
  Session s(db);
  Result r = run(io, s.execute(
                         "SELECT 12345.678::numeric AS num, -0.00012::numeric AS small, 1e20::numeric AS big, "
                         "DATE '2024-02-29' AS d, TIMESTAMP '1999-12-31 23:59:58.25' AS ts, "
                         "'{\"a\": 1}'::jsonb AS j, 7::int2 AS i2, 1.5::float4 AS f4, 'c'::varchar AS vc, "
                         "'11111111-2222-3333-4444-555555555555'::uuid AS u"));
  auto row = *r.first();
  struct Case {
    const char* column;
    const char* text;
  };
  const Case cases[] = {{"num", "12345.678"},  {"small", "-0.00012"}, {"big", "100000000000000000000"},
                        {"d", "2024-02-29"},   {"ts", "1999-12-31 23:59:58.25"}, {"j", "{\"a\": 1}"},
                        {"i2", "7"},           {"f4", "1.5"},           {"vc", "c"},
                        {"u", "11111111-2222-3333-4444-555555555555"}};
  for (const auto& c : cases) EXPECT_EQ(row[c.column].text(), c.text) << c.column;
  EXPECT_DOUBLE_EQ(row["num"].as_double(), 12345.678);
  run(io, s.close());
}

TEST(PgSession, LazyTransactionCommitRollbackAndCloseOrder) {
  NEED_PG();
  asio::io_context io;
  Database db(options);
  run(io, once(db, "DROP TABLE IF EXISTS vekt_test_db_order"));
  run(io, once(db, "CREATE TABLE vekt_test_db_order(id int)"));

  Session s(db);
  EXPECT_FALSE(s.has_connection());
  run(io, s.close());  // closing an unused session does nothing
  run(io, s.commit());
  run(io, s.rollback());
  EXPECT_FALSE(s.has_connection());

  // Begun at the first statement: uncommitted work is invisible from outside, then rolled back.
  run(io, s.execute("INSERT INTO vekt_test_db_order VALUES (1)"));
  EXPECT_TRUE(s.in_transaction());
  EXPECT_EQ(count_of(io, db, "SELECT count(*) FROM vekt_test_db_order"), 0);
  run(io, s.rollback());
  EXPECT_FALSE(s.in_transaction());
  EXPECT_FALSE(s.has_connection());
  EXPECT_EQ(count_of(io, db, "SELECT count(*) FROM vekt_test_db_order"), 0);

  // Commit makes it visible and releases the connection; the session can begin again.
  run(io, s.execute("INSERT INTO vekt_test_db_order VALUES (2)"));
  run(io, s.commit());
  EXPECT_FALSE(s.has_connection());
  EXPECT_EQ(count_of(io, db, "SELECT count(*) FROM vekt_test_db_order"), 1);

  // Close rolls back an open transaction, and is idempotent.
  run(io, s.execute("INSERT INTO vekt_test_db_order VALUES (3)"));
  run(io, s.close());
  run(io, s.close());
  EXPECT_EQ(count_of(io, db, "SELECT count(*) FROM vekt_test_db_order"), 1);

  // A session dropped in a transaction rolls back too (its connection is closed, not pooled).
  {
    Session dropped(db);
    run(io, dropped.execute("INSERT INTO vekt_test_db_order VALUES (4)"));
  }
  EXPECT_EQ(count_of(io, db, "SELECT count(*) FROM vekt_test_db_order WHERE id = 4"), 0);
  run(io, once(db, "DROP TABLE vekt_test_db_order"));
}

TEST(PgSession, FailedStatementThenRollbackCommitOrClose) {
  NEED_PG();
  asio::io_context io;
  Database db(options);
  Session s(db);
  try {
    run(io, s.execute("SELECT 1/0"));
    FAIL() << "no error";
  } catch (const vekt::pg::Error& e) {
    EXPECT_STREQ(e.what(), "division by zero");
    EXPECT_EQ(e.sqlstate(), "22012");
  }
  try {
    run(io, s.execute("SELECT 1"));
    FAIL() << "no error";
  } catch (const vekt::pg::Error& e) {
    EXPECT_EQ(e.sqlstate(), "25P02");  // the transaction is aborted until rolled back
  }
  run(io, s.rollback());
  EXPECT_EQ(run(io, s.execute("SELECT 7")).scalar()->as_int(), 7);

  // A commit after a failed statement is a failure, not a silent rollback.
  EXPECT_THROW(run(io, s.execute("SELECT 'x'::int")), vekt::pg::Error);
  EXPECT_THROW(run(io, s.commit()), vekt::pg::Error);
  EXPECT_FALSE(s.has_connection());

  // Close after a failed statement leaves nothing behind, and the pool's connection is clean.
  EXPECT_THROW(run(io, s.execute("SELECT * FROM no_such_table_here")), vekt::pg::Error);
  run(io, s.close());
  EXPECT_FALSE(s.has_connection());
  EXPECT_EQ(count_of(io, db,
                     "SELECT count(*) FROM pg_stat_activity WHERE state LIKE 'idle in transaction%' AND "
                     "datname = current_database() AND pid <> pg_backend_pid()"),
            0);
  Session t(db);
  EXPECT_EQ(run(io, t.execute("SELECT 'fresh'::text")).scalar()->text(), "fresh");
  run(io, t.close());
}

// pg_sleep under a short limit: cancelled on the server, drained, rolled back.
TEST(PgSession, TimedOutStatementIsCancelledOnTheServer) {
  NEED_PG();
  asio::io_context io;
  Database db(options);
  Session s(db);
  run(io, s.execute("SELECT 1"));
  try {
    run(io, with_timeout(s.execute("SELECT pg_sleep(30) /* vekt-timeout-probe */"), 0.2));
    FAIL() << "no timeout";
  } catch (const TimeoutError& e) {
    EXPECT_STREQ(e.what(), "");
  }
  EXPECT_EQ(count_of(io, db,
                     "SELECT count(*) FROM pg_stat_activity WHERE query LIKE '%vekt-timeout-probe%' AND "
                     "state = 'active' AND pid <> pg_backend_pid()"),
            0);
  // The session must be rolled back before it runs anything else.
  EXPECT_THROW(run(io, s.execute("SELECT 1")), vekt::pg::Error);
  EXPECT_THROW(run(io, s.commit()), vekt::pg::Error);
  run(io, s.rollback());
  for (int i = 0; i < 5; ++i) {
    Params p = {{"i", std::int64_t{i}}};
    EXPECT_EQ(run(io, s.execute("SELECT :i", p)).scalar()->as_int(), i);
  }
  run(io, s.close());
}

TEST(PgSession, TimedOutStatementWaitingOnATableLock) {
  NEED_PG();
  asio::io_context io;
  Database db(options);
  run(io, once(db, "CREATE TABLE IF NOT EXISTS vekt_test_db_lock(id int)"));
  Session blocker(db), victim(db);
  run(io, blocker.execute("LOCK TABLE vekt_test_db_lock IN ACCESS EXCLUSIVE MODE"));
  EXPECT_THROW(run(io, with_timeout(victim.execute("SELECT count(*) FROM vekt_test_db_lock"), 0.2)), TimeoutError);
  EXPECT_EQ(count_of(io, db,
                     "SELECT count(*) FROM pg_stat_activity WHERE query = 'SELECT count(*) FROM "
                     "vekt_test_db_lock' AND state = 'active'"),
            0);
  run(io, victim.close());
  run(io, blocker.rollback());
  Session after(db);
  EXPECT_EQ(run(io, after.execute("SELECT count(*) FROM vekt_test_db_lock")).scalar()->as_int(), 0);
  run(io, after.close());
  run(io, once(db, "DROP TABLE vekt_test_db_lock"));
}

TEST(PgSession, CommitThatStallsIsGivenUpWithinTheCleanupLimit) {
  NEED_PG();
  asio::io_context io;
  Database db(options);
  Session s(db);
  // A deferred trigger runs at COMMIT: this one holds the commit far longer than any commit takes.
  run(io, s.execute("CREATE TEMP TABLE vekt_test_slow_commit(id int)"));
  run(io, s.execute("CREATE FUNCTION pg_temp.vekt_test_stall() RETURNS trigger LANGUAGE plpgsql AS "
                    "$$ BEGIN PERFORM pg_sleep(8); RETURN NULL; END $$"));
  run(io, s.execute("CREATE CONSTRAINT TRIGGER stall AFTER INSERT ON vekt_test_slow_commit DEFERRABLE INITIALLY "
                    "DEFERRED FOR EACH ROW EXECUTE FUNCTION pg_temp.vekt_test_stall()"));
  run(io, s.execute("INSERT INTO vekt_test_slow_commit VALUES (1)"));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(run(io, s.commit()), vekt::pg::Error);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, 4s);
  EXPECT_LT(waited, 7s);
  // The session holds no connection afterwards and works again.
  EXPECT_FALSE(s.has_connection());
  EXPECT_EQ(run(io, s.execute("SELECT 7")).scalar()->as_int(), 7);
  run(io, s.close());
  // The abandoned backend goes on sleeping in its trigger until it notices the closed socket; wait for
  // it here so that tests after this one meet a quiet database.
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (count_of(io, db, "SELECT count(*) FROM pg_stat_activity WHERE query = 'COMMIT' AND state = 'active'") > 0 &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(100ms);
}

TEST(PgSession, FailsFastWhileTheServerIsDownAndRecoversWhenItReturns) {
  vekt::testing::PgServer server;
  asio::io_context io;
  DatabaseOptions o;
  o.url = server.url();
  o.pool_size = 3;
  Database db(o);
  // Pool some connections and keep one session inside a transaction.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(run(io, once(db, "SELECT 1")).scalar()->as_int(), 1);
  Session in_flight(db);
  run(io, in_flight.execute("SELECT 1"));
  server.stop();
  EXPECT_THROW(run(io, in_flight.execute("SELECT 2")), vekt::pg::Error);
  run(io, in_flight.close());  // never throws
  for (int i = 0; i < 3; ++i) EXPECT_THROW(run(io, once(db, "SELECT 1")), vekt::pg::Error) << i;
  server.start();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(run(io, once(db, "SELECT 3")).scalar()->as_int(), 3) << i;
}

TEST(PgSession, HostNamesAreLookedUpWithinTheConnectLimit) {
  NEED_PG();
  asio::io_context io;
  // A name with several addresses (localhost: ::1 and 127.0.0.1, the server listening on the second)
  // is tried address by address.
  std::string by_name = *database_url;
  const auto at = by_name.find("127.0.0.1");
  if (at == std::string::npos) GTEST_SKIP() << "DATABASE_URL does not name 127.0.0.1";
  by_name.replace(at, 9, "localhost");
  DatabaseOptions named = options;
  named.url = by_name;
  Database db(named);
  EXPECT_EQ(count_of(io, db, "SELECT 11"), 11);

  DatabaseOptions unknown = options;
  unknown.url = "postgresql://postgres@vekt-lookup-test.invalid:5432/gis";
  unknown.connect_timeout = 300ms;
  Database nowhere(unknown);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_THROW(count_of(io, nowhere, "SELECT 1"), vekt::pg::Error);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

TEST(PgSession, PoolExhaustionWaitsAreBoundedAndClean) {
  NEED_PG();
  asio::io_context io;
  options.pool_size = 2;
  options.checkout_timeout = 200ms;
  Database db(options);
  Session a(db), b(db), c(db);
  run(io, a.execute("SELECT 1"));
  run(io, b.execute("SELECT 1"));
  try {
    run(io, c.execute("SELECT 1"));
    FAIL() << "no error";
  } catch (const vekt::pg::Error& e) {
    EXPECT_NE(std::string(e.what()).find("QueuePool limit of size 2"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(c.has_connection());
  EXPECT_THROW(run(io, with_timeout(c.execute("SELECT 1"), 0.05)), TimeoutError);
  run(io, a.commit());
  EXPECT_EQ(run(io, c.execute("SELECT 5")).scalar()->as_int(), 5);
  run(io, c.close());
  run(io, b.close());
}

TEST(PgSession, AThousandConcurrentSessionsOnOneLoopComplete) {
  NEED_PG();
  asio::io_context io;
  Database db(options);  // ten connections on this loop
  constexpr int kN = 1000;
  auto one = [&db](int i) -> asio::awaitable<bool> {
    Session s(db);
    Params p = {{"i", std::int64_t{i}}};
    Result r = co_await s.execute("SELECT :i + 0", p);
    co_await s.commit();
    co_await s.close();
    co_return r.scalar()->as_int() == i;
  };
  EXPECT_EQ(run(io, count_true(kN, one, 2ms)), kN);
}

TEST(PgSession, PreparedStatementsArePreparedOncePerConnection) {
  NEED_PG();
  asio::io_context io;
  Database db(options);
  Session s(db);
  for (int i = 0; i < 3; ++i) {
    Params p = {{"x", std::int64_t{i}}};
    EXPECT_EQ(run(io, s.execute("SELECT :x * 2", p, vekt::pg::Prepare::yes)).scalar()->as_int(), 2 * i);
  }
  EXPECT_EQ(run(io, s.execute("SELECT count(*) FROM pg_prepared_statements")).scalar()->as_int(), 1);
  Params d = {{"x", 1.5}};  // other parameter types: a statement of its own
  EXPECT_EQ(run(io, s.execute("SELECT :x * 2", d, vekt::pg::Prepare::yes)).scalar()->as_double(), 3.0);
  EXPECT_EQ(run(io, s.execute("SELECT count(*) FROM pg_prepared_statements")).scalar()->as_int(), 2);
  // A prepare that fails is a server error like any other.
  EXPECT_THROW(run(io, s.execute("SELECT FROM WHERE", {}, vekt::pg::Prepare::yes)), vekt::pg::Error);
  run(io, s.close());
}

}  // namespace

namespace {

// One Database shared by several event loops, each on its own thread with its own pool.
TEST(PgSession, OneDatabaseServesSeveralEventLoops) {
  NEED_PG();
  options.pool_size = 3;
  Database db(options);
  constexpr int kLoops = 4, kPerLoop = 100;
  auto one = [&db](int t, int i) -> asio::awaitable<bool> {
    Session s(db);
    Params p = {{"v", std::int64_t{t * 1000 + i}}};
    Result r = co_await s.execute("SELECT :v + 0", p);
    co_await s.close();
    co_return r.scalar()->as_int() == t * 1000 + i;
  };
  const std::vector<int> right = count_true_per_loop(kLoops, kPerLoop, one);
  for (int t = 0; t < kLoops; ++t) EXPECT_EQ(right[static_cast<std::size_t>(t)], kPerLoop) << t;
}

}  // namespace
