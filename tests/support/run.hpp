#pragma once
// Running coroutines to completion from a test body.
#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

namespace vekt::testing {

// Runs one coroutine to completion on an io_context and hands back its value or its exception.
template <class T>
T run(boost::asio::io_context& io, boost::asio::awaitable<T> aw) {
  std::exception_ptr error;
  if constexpr (std::is_void_v<T>) {
    boost::asio::co_spawn(io, std::move(aw), [&](std::exception_ptr e) { error = e; });
    io.restart();
    io.run();
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<T> out;
    boost::asio::co_spawn(io, std::move(aw), [&](std::exception_ptr e, T v) {
      error = e;
      if (!e) out.emplace(std::move(v));
    });
    io.restart();
    io.run();
    if (error) std::rethrow_exception(error);
    return std::move(*out);
  }
}

// Runs the coroutine `f()` makes on an io_context of its own, to completion.
template <class F>
auto run(F f) {
  boost::asio::io_context io;
  auto fut = boost::asio::co_spawn(io, f(), boost::asio::use_future);
  io.run();
  return fut.get();
}

// Waits without blocking the io_context.
inline boost::asio::awaitable<void> sleep_for(std::chrono::milliseconds d) {
  boost::asio::steady_timer t(co_await boost::asio::this_coro::executor, d);
  co_await t.async_wait(boost::asio::use_awaitable);
}

// Starts `make(0)` .. `make(n - 1)` (each an awaitable<bool>) at once on the calling coroutine's
// executor, waits for all of them (looking every `poll`), and returns how many ended without an
// exception and yielded true.
template <class Make>
boost::asio::awaitable<int> count_true(int n, Make make, std::chrono::milliseconds poll) {
  auto ex = co_await boost::asio::this_coro::executor;
  int done = 0, right = 0;
  for (int i = 0; i < n; ++i) {
    boost::asio::co_spawn(ex, make(i), [&](std::exception_ptr e, bool ok) {
      ++done;
      if (!e && ok) ++right;
    });
  }
  while (done < n) co_await sleep_for(poll);
  co_return right;
}

// Runs `loops` event loops, each on a thread of its own, and starts `make(t, 0)` .. `make(t,
// per_loop - 1)` (each an awaitable<bool>) on loop t. Returns, per loop, how many ended without an
// exception and yielded true.
template <class Make>
std::vector<int> count_true_per_loop(int loops, int per_loop, const Make& make) {
  std::vector<int> right(static_cast<std::size_t>(loops), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < loops; ++t) {
    threads.emplace_back([&, t] {
      boost::asio::io_context io;
      for (int i = 0; i < per_loop; ++i)
        boost::asio::co_spawn(io, make(t, i), [&, t](std::exception_ptr e, bool ok) {
          right[static_cast<std::size_t>(t)] += (!e && ok);
        });
      io.run();
    });
  }
  for (auto& th : threads) th.join();
  return right;
}

}  // namespace vekt::testing
