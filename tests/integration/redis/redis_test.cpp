#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "base/with_timeout.hpp"
#include "redis/client.hpp"
#include "support/env.hpp"
#include "support/redis_server.hpp"
#include "support/run.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;
using vekt::base::TimeoutError;
using vekt::base::with_timeout;
using vekt::redis::Argv;
using vekt::redis::Client;
using vekt::redis::Options;
using vekt::redis::Reply;
using vekt::testing::count_true;
using vekt::testing::count_true_per_loop;
using vekt::testing::run;
using vekt::testing::sleep_for;

namespace {

std::optional<Options> shared_options() {
  auto redis = vekt::testing::shared_redis();
  if (!redis) return std::nullopt;
  Options o;
  o.host = redis->host;
  o.port = redis->port;
  return o;
}

#define NEED_REDIS()                                                               \
  auto maybe_options = shared_options();                                           \
  if (!maybe_options) GTEST_SKIP() << "REDIS_HOST / REDIS_PORT are not set";      \
  Options options = *maybe_options

const std::string kPrefix = "vekt_test:redis:";

// Deletes every key under a prefix (SCAN + DEL), returning how many went.
asio::awaitable<long long> delete_prefix(Client& c, std::string prefix) {
  long long n = 0;
  std::string cursor = "0";
  do {
    auto page = co_await c.scan(cursor, prefix + "*", 1000);
    cursor = page.cursor;
    if (!page.keys.empty()) n += co_await c.del(std::move(page.keys));
  } while (cursor != "0");
  co_return n;
}

TEST(RedisClient, BinaryValuesRoundTripUnchanged) {
  NEED_REDIS();
  asio::io_context io;
  Client c(options);
  const std::vector<std::string> values = {
      std::string("\0", 1), "\xff", "\r\n", std::string("a\0b\xff\r\nc\x80", 8), "", std::string(1 << 20, '\0'),
      "plain text", "\r\n$3\r\nfoo\r\n"};
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string key = kPrefix + "bin:" + std::to_string(i) + std::string("\0\xff", 2);
    run(io, c.set(key, values[i], 60));
    auto got = run(io, c.get(key));
    ASSERT_TRUE(got.has_value()) << i;
    EXPECT_EQ(*got, values[i]) << i;
  }
  EXPECT_EQ(run(io, delete_prefix(c, kPrefix + "bin:")), static_cast<long long>(values.size()));
}

TEST(RedisClient, CommandsAndReplies) {
  NEED_REDIS();
  asio::io_context io;
  Client c(options);
  const std::string k = kPrefix + "cmd:";
  run(io, c.del({k + "n", k + "s"}));
  EXPECT_FALSE(run(io, c.get(k + "missing")).has_value());
  EXPECT_EQ(run(io, c.incr(k + "n")), 1);
  EXPECT_EQ(run(io, c.incr(k + "n")), 2);
  EXPECT_TRUE(run(io, c.expire(k + "n", 60)));
  EXPECT_FALSE(run(io, c.expire(k + "absent", 60)));
  run(io, c.set(k + "s", "v", 60));
  Reply ttl = run(io, c.command({"TTL", k + "s"}));
  EXPECT_GT(ttl.integer, 0);
  EXPECT_LE(ttl.integer, 60);
  run(io, c.set(k + "s", "w"));  // no EX: no expiry
  EXPECT_EQ(run(io, c.command({"TTL", k + "s"})).integer, -1);

  Reply e = run(io, c.eval("return {KEYS[1], ARGV[1], 7}", {k + "x"}, {"arg"}));
  ASSERT_EQ(e.type, Reply::Type::Array);
  ASSERT_EQ(e.elements.size(), 3u);
  EXPECT_EQ(e.elements[0].str, k + "x");
  EXPECT_EQ(e.elements[1].str, "arg");
  EXPECT_EQ(e.elements[2].integer, 7);

  // Several commands in one round trip; an error reply stays in its place.
  std::vector<Argv> batch = {{"SET", k + "p", "1"}, {"INCR", k + "p"}, {"INCR", k + "s"}, {"GET", k + "p"}};
  auto replies = run(io, c.pipeline(batch));
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0].str, "OK");
  EXPECT_EQ(replies[1].integer, 2);
  EXPECT_TRUE(replies[2].is_error());
  EXPECT_EQ(replies[3].str, "2");
  EXPECT_EQ(run(io, c.del({k + "n", k + "s", k + "p", k + "absent"})), 3);
}

TEST(RedisClient, ErrorRepliesThrowWithRedisMessageAndTheConnectionStaysInStep) {
  NEED_REDIS();
  asio::io_context io;
  Client c(options);
  const std::string k = kPrefix + "err:";
  struct Case {
    Argv argv;
    std::string message_start;
  };
  const std::vector<Case> cases = {
      {{"SET", k + "a", "v", "EX", "0"}, "ERR invalid expire time in 'set' command"},
      {{"INCR", k + "list"}, "WRONGTYPE"},
      {{"NOSUCHCOMMAND"}, "ERR unknown command"},
  };
  run(io, c.command({"RPUSH", k + "list", "x"}));
  for (const auto& cs : cases) {
    try {
      run(io, c.command(cs.argv));
      ADD_FAILURE() << cs.argv[0] << " did not throw";
    } catch (const vekt::redis::Error& e) {
      EXPECT_EQ(std::string(e.what()).rfind(cs.message_start, 0), 0u) << e.what();
    }
    EXPECT_EQ(run(io, c.command({"PING"})).str, "PONG");
  }
  run(io, c.del({k + "list"}));
}

TEST(RedisClient, ScanFindsThousandsOfKeys) {
  NEED_REDIS();
  asio::io_context io;
  Client c(options);
  const std::string k = kPrefix + "scan:";
  constexpr int kKeys = 5000;
  std::vector<Argv> batch;
  for (int i = 0; i < kKeys; ++i) batch.push_back({"SET", k + std::to_string(i), std::to_string(i), "EX", "300"});
  auto replies = run(io, c.pipeline(batch));
  ASSERT_EQ(replies.size(), static_cast<std::size_t>(kKeys));
  std::set<std::string> seen;
  std::string cursor = "0";
  int pages = 0;
  do {
    auto page = run(io, c.scan(cursor, k + "*", 250));
    cursor = page.cursor;
    seen.insert(page.keys.begin(), page.keys.end());
    ++pages;
  } while (cursor != "0");
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kKeys));
  EXPECT_GT(pages, 1);
  EXPECT_EQ(run(io, delete_prefix(c, k)), kKeys);
}

TEST(RedisClient, ConnectsByHostName) {
  NEED_REDIS();
  if (options.host != "127.0.0.1") GTEST_SKIP() << "REDIS_HOST is not 127.0.0.1";
  asio::io_context io;
  Options named = options;
  named.host = "localhost";
  Client c(named);
  const std::string k = kPrefix + "by-name";
  run(io, c.set(k, "found", 60));
  EXPECT_EQ(run(io, c.get(k)).value_or(""), "found");
  run(io, c.del({k}));
}

TEST(RedisClient, SelectsAnotherDatabase) {
  NEED_REDIS();
  asio::io_context io;
  Options o3 = options;
  o3.db = 3;
  Client db0(options), db3(o3);
  const std::string k = kPrefix + "select";
  run(io, db0.del({k}));
  run(io, db3.set(k, "in three", 60));
  EXPECT_FALSE(run(io, db0.get(k)).has_value());
  EXPECT_EQ(run(io, db3.get(k)).value_or(""), "in three");
  run(io, db3.del({k}));
}

TEST(RedisClient, AuthenticatesWithAUserNameAndPassword) {
  vekt::testing::RedisServer server(
      "--user default off --user vekt on '>s3cret pass' '~*' '&*' '+@all' --user open on nopass '~*' '&*' '+@all'");
  asio::io_context io;
  Options base;
  base.host = "127.0.0.1";
  base.port = server.port();

  Options good = base;
  good.username = "vekt";
  good.password = "s3cret pass";
  Client ok(good);
  run(io, ok.set("k", std::string("\0v", 2)));
  EXPECT_EQ(run(io, ok.get("k")).value_or(""), std::string("\0v", 2));
  // A user without a password is reached by its name alone.
  Options open = base;
  open.username = "open";
  Client by_name(open);
  EXPECT_EQ(run(io, by_name.get("k")).value_or(""), std::string("\0v", 2));

  struct Case {
    std::optional<std::string> user, password;
    const char* message_start;
  };
  const Case cases[] = {
      {"vekt", "wrong", "WRONGPASS"},
      {std::nullopt, "s3cret pass", "WRONGPASS"},  // AUTH password alone is the default user's
      {std::nullopt, std::nullopt, "NOAUTH"},
      {"vekt", "", "WRONGPASS"},            // a user name alone authenticates, with an empty password
      {"vekt", std::nullopt, "WRONGPASS"},
      {"", "", "NOAUTH"},                   // empty texts are no credentials: no AUTH is sent
  };
  for (const auto& cs : cases) {
    Options o = base;
    o.username = cs.user;
    o.password = cs.password;
    Client bad(o);
    try {
      run(io, bad.get("k"));
      ADD_FAILURE() << "no error";
    } catch (const vekt::redis::Error& e) {
      EXPECT_EQ(std::string(e.what()).rfind(cs.message_start, 0), 0u) << e.what();
    }
  }
}

// CLIENT PAUSE holds every command for a while: a read under a short limit times out, its connection
// is closed, and the next command gets its own answer once the pause is over.
TEST(RedisClient, TimedOutCommandsNeverHandTheirLateReplyToTheNextOne) {
  NEED_REDIS();
  asio::io_context io;
  Client c(options), admin(options);
  const std::string k = kPrefix + "pause:";
  run(io, c.set(k + "1", "one", 60));
  run(io, c.set(k + "2", "two", 60));
  run(io, admin.command({"CLIENT", "PAUSE", "700", "ALL"}));
  try {
    run(io, with_timeout(c.get(k + "1"), 0.1));
    FAIL() << "no timeout";
  } catch (const TimeoutError& e) {
    EXPECT_STREQ(e.what(), "");
  }
  // Several waiters time out too, each cleanly.
  auto burst = [&]() -> asio::awaitable<int> {
    int timeouts = 0;
    for (int i = 0; i < 5; ++i) {
      try {
        co_await with_timeout(c.get(k + "1"), 0.05);
      } catch (const TimeoutError&) {
        ++timeouts;
      }
    }
    co_return timeouts;
  };
  EXPECT_EQ(run(io, burst()), 5);
  // This one waits out the pause (no limit of its own but the 5 s socket time-out).
  EXPECT_EQ(run(io, c.get(k + "2")).value_or(""), "two");
  for (int i = 0; i < 20; ++i) {
    const std::string key = k + (i % 2 ? "1" : "2");
    EXPECT_EQ(run(io, c.get(key)).value_or(""), i % 2 ? "one" : "two");
  }
  run(io, c.del({k + "1", k + "2"}));
}

TEST(RedisClient, SocketTimeoutIsARedisError) {
  NEED_REDIS();
  asio::io_context io;
  Options quick = options;
  quick.socket_timeout = 100ms;
  Client c(quick), admin(options);
  run(io, c.command({"PING"}));
  run(io, admin.command({"CLIENT", "PAUSE", "500", "ALL"}));
  try {
    run(io, c.command({"PING"}));
    FAIL() << "no error";
  } catch (const vekt::redis::Error& e) {
    EXPECT_STREQ(e.what(), "Timeout reading from socket");
  }
  run(io, sleep_for(600ms));
  EXPECT_EQ(run(io, c.command({"PING"})).str, "PONG");
}

TEST(RedisClient, FailsFastWhileTheServerIsDownAndRecoversWhenItReturns) {
  vekt::testing::RedisServer server;
  asio::io_context io;
  Options o;
  o.host = "127.0.0.1";
  o.port = server.port();
  Client c(o);
  run(io, c.set("k", "before"));
  // Pool a few connections, then stop the server under them.
  auto parallel = [&](int n) -> asio::awaitable<int> {
    int ok = 0;
    auto ex = co_await asio::this_coro::executor;
    std::vector<std::optional<std::string>> got(static_cast<std::size_t>(n));
    int done = 0;
    for (int i = 0; i < n; ++i)
      asio::co_spawn(ex, c.get("k"), [&, i](std::exception_ptr e, std::optional<std::string> v) {
        if (!e) got[static_cast<std::size_t>(i)] = v;
        ++done;
      });
    while (done < n) co_await sleep_for(1ms);
    for (auto& g : got) ok += g.has_value();
    co_return ok;
  };
  EXPECT_EQ(run(io, parallel(4)), 4);
  server.stop();
  for (int i = 0; i < 6; ++i) EXPECT_THROW(run(io, c.get("k")), vekt::redis::Error) << i;
  server.start();
  // A fresh server: the old pooled connections are noticed as closed and replaced.
  EXPECT_FALSE(run(io, c.get("k")).has_value());
  run(io, c.set("k", "after"));
  EXPECT_EQ(run(io, parallel(8)), 8);
}

TEST(RedisClient, AfterAFailureCommandsAreRefusedForTheBackOffThenOneProbes) {
  vekt::testing::RedisServer server;
  asio::io_context io;
  Options o;
  o.host = "127.0.0.1";
  o.port = server.port();
  o.failure_backoff = 400ms;
  Client c(o);
  run(io, c.set("k", "v"));
  EXPECT_FALSE(c.backing_off());
  // A command given up by its caller is a failure too: the server may be stalled.
  const pid_t pid = server.pid();
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  EXPECT_THROW(run(io, with_timeout(c.get("k"), 100ms)), TimeoutError);
  ::kill(pid, SIGCONT);
  EXPECT_TRUE(c.backing_off());
  // The server is back, but until the back-off ends nothing is sent to it.
  const auto refused_at = std::chrono::steady_clock::now();
  try {
    run(io, c.get("k"));
    ADD_FAILURE() << "a command went through during the back-off";
  } catch (const vekt::redis::Error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Redis unavailable after a failure at 127.0.0.1:" + std::to_string(server.port()) + "; retrying shortly");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - refused_at, 50ms);
  std::this_thread::sleep_for(450ms);
  // The probe goes through, and its answer ends the back-off.
  EXPECT_EQ(run(io, c.get("k")), "v");
  EXPECT_FALSE(c.backing_off());
  // An error reply is an answer, not a failure of the server.
  EXPECT_THROW(run(io, c.command({"NO-SUCH-COMMAND"})), vekt::redis::Error);
  EXPECT_FALSE(c.backing_off());
}

TEST(RedisClient, PoolBoundQueuesCommandsAndAThousandConcurrentOnesComplete) {
  NEED_REDIS();
  asio::io_context io;
  Options small = options;
  small.pool_size = 4;
  Client c(small);
  const std::string k = kPrefix + "many:";
  constexpr int kN = 1000;
  auto one = [&](int i) -> asio::awaitable<bool> {
    const std::string key = k + std::to_string(i);
    co_await c.set(key, std::to_string(i), 60);
    auto v = co_await c.get(key);
    co_return v == std::to_string(i);
  };
  EXPECT_EQ(run(io, count_true(kN, one, 1ms)), kN);
  EXPECT_EQ(run(io, delete_prefix(c, k)), kN);
}

}  // namespace

namespace {

// One client shared by several event loops, each on its own thread with its own pool.
TEST(RedisClient, OneClientServesSeveralEventLoops) {
  NEED_REDIS();
  Client c(options);
  const std::string k = kPrefix + "loops:";
  constexpr int kLoops = 4, kPerLoop = 200;
  auto one = [&](int t, int i) -> asio::awaitable<bool> {
    const std::string key = k + std::to_string(t) + ":" + std::to_string(i);
    co_await c.set(key, key, 60);
    co_return (co_await c.get(key)) == key;
  };
  const std::vector<int> right = count_true_per_loop(kLoops, kPerLoop, one);
  for (int t = 0; t < kLoops; ++t) EXPECT_EQ(right[static_cast<std::size_t>(t)], kPerLoop) << t;
  asio::io_context io;
  EXPECT_EQ(run(io, delete_prefix(c, k)), kLoops * kPerLoop);
}

}  // namespace

namespace {

// With every connection of the loop busy, waiters queue: the caller's limit or the client's own bound
// (the connect time-out) ends the wait cleanly, and the pool serves again afterwards.
TEST(RedisClient, PoolWaitersTimeOutCleanly) {
  NEED_REDIS();
  asio::io_context io;
  Options one = options;
  one.pool_size = 1;
  one.connect_timeout = 150ms;
  Client c(one), admin(options);
  const std::string k = kPrefix + "wait";
  run(io, c.set(k, "v", 60));
  run(io, admin.command({"CLIENT", "PAUSE", "600", "ALL"}));
  auto scenario = [&]() -> asio::awaitable<std::vector<std::string>> {
    auto ex = co_await asio::this_coro::executor;
    std::vector<std::string> outcomes(4);
    int done = 0;
    // The holder waits out the pause on the only connection.
    asio::co_spawn(ex, c.get(k), [&](std::exception_ptr e, std::optional<std::string> v) {
      outcomes[0] = e ? "error" : v.value_or("nil");
      ++done;
    });
    for (int i = 1; i <= 2; ++i)
      asio::co_spawn(ex, with_timeout(c.get(k), 0.05), [&, i](std::exception_ptr e, std::optional<std::string>) {
        try {
          if (e) std::rethrow_exception(e);
          outcomes[static_cast<std::size_t>(i)] = "value";
        } catch (const TimeoutError&) {
          outcomes[static_cast<std::size_t>(i)] = "timeout";
        } catch (...) {
          outcomes[static_cast<std::size_t>(i)] = "other";
        }
        ++done;
      });
    asio::co_spawn(ex, c.get(k), [&](std::exception_ptr e, std::optional<std::string>) {
      try {
        if (e) std::rethrow_exception(e);
        outcomes[3] = "value";
      } catch (const vekt::redis::Error& x) {
        outcomes[3] = x.what();
      }
      ++done;
    });
    while (done < 4) co_await sleep_for(1ms);
    co_return outcomes;
  };
  auto outcomes = run(io, scenario());
  EXPECT_EQ(outcomes, (std::vector<std::string>{"v", "timeout", "timeout", "Too many connections"}));
  EXPECT_EQ(run(io, c.get(k)).value_or(""), "v");
  run(io, c.del({k}));
}

}  // namespace

namespace {

// A real server never sends a malformed reply, so a scripted one does: the first connection answers
// with bytes that are not RESP, later ones answer properly. The broken connection is not reused.
TEST(RedisClient, MalformedReplyClosesTheConnection) {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  int accepted = 0;
  auto serve = [&]() -> asio::awaitable<void> {
    for (;;) {
      auto sock = std::make_shared<asio::ip::tcp::socket>(co_await acceptor.async_accept(asio::use_awaitable));
      const bool bad = accepted++ == 0;
      asio::co_spawn(
          io,
          [sock, bad]() -> asio::awaitable<void> {
            char buf[512];
            for (;;) {
              auto [ec, n] = co_await sock->async_read_some(asio::buffer(buf), asio::as_tuple(asio::use_awaitable));
              if (ec) co_return;
              const std::string reply = bad ? "?this is not RESP\r\n" : "+PONG\r\n";
              co_await asio::async_write(*sock, asio::buffer(reply), asio::as_tuple(asio::use_awaitable));
            }
          },
          asio::detached);
    }
  };
  asio::co_spawn(io, serve(), asio::detached);
  Options o;
  o.host = "127.0.0.1";
  o.port = acceptor.local_endpoint().port();
  Client c(o);
  auto scenario = [&]() -> asio::awaitable<std::string> {
    std::string first;
    const Argv ping{"PING"};
    try {
      co_await c.command(ping);
    } catch (const vekt::redis::Error& e) {
      first = e.what();
    }
    Reply second = co_await c.command(ping);
    acceptor.close();
    co_return first + "|" + second.str;
  };
  std::string out;
  asio::co_spawn(io, scenario(), [&](std::exception_ptr e, std::string s) {
    out = e ? "exception" : s;
    io.stop();
  });
  io.run();
  EXPECT_EQ(out.rfind("Protocol error", 0), 0u) << out;
  EXPECT_EQ(out.substr(out.find('|') + 1), "PONG");
  EXPECT_EQ(accepted, 2);
}

}  // namespace
