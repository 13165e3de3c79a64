// The request-scoped session: closed on every path a request can end by.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include <boost/asio/io_context.hpp>

#include "base/with_timeout.hpp"
#include "host/database.hpp"
#include "support/env.hpp"
#include "support/run.hpp"

namespace asio = boost::asio;
using vekt::pg::Session;
using vekt::testing::run;

namespace {

asio::awaitable<long long> count(std::string sql) {
  Session s = vekt::host::get_db();
  auto r = co_await s.execute(std::move(sql));
  co_await s.close();
  co_return r.scalar()->as_int();
}

long long leftovers(asio::io_context& io) {
  // Client backends only: an autovacuum worker on the freshly loaded tables is no leftover of ours.
  return run(io, count("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() AND "
                       "backend_type = 'client backend' AND pid <> pg_backend_pid() AND "
                       "(state LIKE 'idle in transaction%' OR state = 'active')"));
}

TEST(WithDb, ClosesTheSessionOnSuccessFailureAndCancellation) {
  if (!vekt::testing::shared_database_url()) GTEST_SKIP() << "DATABASE_URL is not set";
  asio::io_context io;
  vekt::web::Request request;

  struct Case {
    const char* name;
    vekt::host::DbHandler handler;
    double limit;
    bool throws;
  };
  const Case cases[] = {
      {"success", [](vekt::web::Request&, Session& db) -> asio::awaitable<vekt::web::Response> {
         co_await db.execute("SELECT 1");
         co_return vekt::web::empty_response(204);
       }, 10.0, false},
      {"exception", [](vekt::web::Request&, Session& db) -> asio::awaitable<vekt::web::Response> {
         co_await db.execute("SELECT 1");
         throw std::runtime_error("handler failed");
       }, 10.0, true},
      {"failed statement", [](vekt::web::Request&, Session& db) -> asio::awaitable<vekt::web::Response> {
         co_await db.execute("SELECT 1/0");
         co_return vekt::web::empty_response(204);
       }, 10.0, true},
      {"cancelled", [](vekt::web::Request&, Session& db) -> asio::awaitable<vekt::web::Response> {
         co_await db.execute("SELECT pg_sleep(30)");
         co_return vekt::web::empty_response(204);
       }, 0.2, true},
  };
  for (const auto& c : cases) {
    auto handler = vekt::host::with_db(c.handler);
    bool threw = false;
    try {
      run(io, vekt::base::with_timeout(handler(request), c.limit));
    } catch (...) {
      threw = true;
    }
    EXPECT_EQ(threw, c.throws) << c.name;
    EXPECT_EQ(leftovers(io), 0) << c.name;
  }
}

}  // namespace
