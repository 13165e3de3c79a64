#include "korvane/transaction.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "support/run.hpp"

namespace asio = boost::asio;
using vekt::korvane::db_transaction;
using vekt::testing::run;

namespace {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Records the calls db_transaction makes and fails where it is told to.
struct RecordingSession {
  std::vector<std::string> calls;
  std::string fail_at;  // "commit", "rollback" or "close"
  asio::awaitable<void> step(const char* name) {
    calls.emplace_back(name);
    if (fail_at == name) throw Failure(name);
    co_return;
  }
  asio::awaitable<void> commit() { return step("commit"); }
  asio::awaitable<void> rollback() { return step("rollback"); }
  asio::awaitable<void> close() { return step("close"); }
};

}  // namespace

TEST(DbTransaction, Orderings) {
  struct Case {
    const char* name;
    bool block_fails;
    const char* fail_at;
    std::vector<std::string> calls;
    const char* error;  // what reaches the caller, "" for none
  };
  const std::vector<Case> cases = {
      {"success", false, "", {"block", "commit", "close"}, ""},
      {"block fails", true, "", {"block", "rollback", "close"}, "block"},
      {"commit fails", false, "commit", {"block", "commit", "rollback", "close"}, "commit"},
      {"rollback fails", true, "rollback", {"block", "rollback", "close"}, "rollback"},
      {"close fails after success", false, "close", {"block", "commit", "close"}, "close"},
      {"close fails after error", true, "close", {"block", "rollback", "close"}, "close"},
  };
  for (const auto& c : cases) {
    RecordingSession db;
    db.fail_at = c.fail_at;
    std::string error;
    int value = 0;
    try {
      value = run([&]() -> asio::awaitable<int> {
        co_return co_await db_transaction(db, [&](RecordingSession& s) -> asio::awaitable<int> {
          EXPECT_EQ(&s, &db);  // the block gets the session itself
          s.calls.emplace_back("block");
          if (c.block_fails) throw Failure("block");
          co_return 42;
        });
      });
    } catch (const Failure& e) {
      error = e.what();
    }
    EXPECT_EQ(db.calls, c.calls) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    if (!*c.error) {
      EXPECT_EQ(value, 42) << c.name;
    }
  }
}

TEST(DbTransaction, SameExceptionObjectReachesTheCaller) {
  RecordingSession db;
  auto original = std::make_exception_ptr(Failure("timeout"));
  const void* seen = nullptr;
  const void* thrown = nullptr;
  try {
    std::rethrow_exception(original);
  } catch (const Failure& e) {
    thrown = &e;
  }
  try {
    run([&]() -> asio::awaitable<void> {
      co_await db_transaction(db, [&](RecordingSession&) -> asio::awaitable<void> {
        std::rethrow_exception(original);
        co_return;
      });
    });
  } catch (const Failure& e) {
    seen = &e;
  }
  EXPECT_EQ(seen, thrown);
  EXPECT_EQ(db.calls, (std::vector<std::string>{"rollback", "close"}));
}
