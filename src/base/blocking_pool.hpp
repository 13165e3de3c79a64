#pragma once
// BlockingPool: the one way work that blocks its thread (getaddrinfo, PQcancel, a file read, a
// figure drawing) leaves the event loops.
//
// The pool belongs to whoever owns the event loops (vekt-server's main), which joins it once the
// loops have stopped. A job's thread never reaches into the loop that waits for it: it stores the
// outcome in a state the two share and then writes to that state's eventfd, which the waiting
// coroutine reads on its own loop. A job that ends late (its caller gave up at the limit, or the
// loop is already gone) therefore touches nothing that may have been destroyed, and no wait polls.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "base/error.hpp"
#include "base/with_timeout.hpp"

namespace vekt::base {

namespace detail {

// The meeting point of one job and the coroutine that awaits it.
class Handoff {
 public:
  Handoff();  // throws OutOfResources when no eventfd can be had for want of descriptors, else Error
  ~Handoff();
  Handoff(const Handoff&) = delete;
  Handoff& operator=(const Handoff&) = delete;

  // On the job's thread, once the outcome is stored.
  void signal() noexcept;
  // On the waiter's loop: until signal() or `limit` (TimeoutError). Cancellation of the awaiting
  // coroutine ends it with operation_aborted.
  boost::asio::awaitable<void> wait(std::chrono::milliseconds limit);

 private:
  int fd_;
  std::atomic<bool> done_{false};
};

template <class T>
struct Outcome : Handoff {
  std::optional<T> value;
  std::exception_ptr error;
};

class Job {
 public:
  virtual ~Job() = default;
  virtual void run() noexcept = 0;
};

// A job whose pool stopped before it ran.
std::exception_ptr stopped_error();

template <class F, class T>
class Call final : public Job {
 public:
  Call(F fn, std::shared_ptr<Outcome<T>> out) : fn_(std::move(fn)), out_(std::move(out)) {}
  ~Call() override {
    if (ran_) return;
    out_->error = stopped_error();
    out_->signal();
  }
  void run() noexcept override {
    try {
      if constexpr (std::is_same_v<T, std::monostate>) {
        (*fn_)();
        out_->value.emplace();
      } else {
        out_->value.emplace((*fn_)());
      }
    } catch (...) {
      out_->error = std::current_exception();
    }
    // What the job held is let go here, on its thread, before the waiter hears of the outcome.
    fn_.reset();
    ran_ = true;
    out_->signal();
  }

 private:
  std::optional<F> fn_;
  std::shared_ptr<Outcome<T>> out_;
  bool ran_ = false;
};

}  // namespace detail

class BlockingPool {
 public:
  // `nice`: the scheduling niceness of the pool's threads (0: the process's own); a positive value
  // lets the event loops run first when jobs fill the cores. At least one thread.
  explicit BlockingPool(std::size_t threads, int nice = 0);
  ~BlockingPool();  // join()
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  // Lets the jobs running now end and drops those still waiting for a thread (their callers get
  // Error), then joins the threads. A later run() gets Error at once. Calling it again is a no-op.
  void join();

  std::size_t threads() const { return threads_.size(); }

  // Runs fn() on a pool thread. The awaiting coroutine resumes on its own executor with fn's value,
  // or with the exception fn threw. Past `limit` (the time waiting for a free thread included) it
  // gets TimeoutError instead; fn runs on to its end and its result is dropped. fn is moved into the
  // job and may outlive the caller, so it must own what it uses (capture by value). The job is
  // queued when run() is called, so await the result straight away.
  template <class F>
  boost::asio::awaitable<std::invoke_result_t<F&>> run(F fn, std::chrono::milliseconds limit) {
    // Not a coroutine itself: the job is queued here, and only the wait is one. Callers name the
    // job before they co_await: g++ 12 mishandles a lambda temporary that owns a std::string
    // inside a co_await expression.
    using R = std::invoke_result_t<F&>;
    using Stored = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
    auto out = std::make_shared<detail::Outcome<Stored>>();
    submit(std::make_unique<detail::Call<F, Stored>>(std::move(fn), out));
    return collect<R>(std::move(out), limit);
  }

  // As run(), and while the caller waits, `watch` is called on its loop every `every`: an
  // exception it throws ends the wait with that exception (fn runs on; its result is dropped).
  // For a waiter that must give up early on a condition nothing signals (a client that has gone).
  template <class F>
  boost::asio::awaitable<std::invoke_result_t<F&>> run(F fn, std::chrono::milliseconds limit,
                                                       std::chrono::milliseconds every,
                                                       std::function<void()> watch) {
    using R = std::invoke_result_t<F&>;
    using Stored = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
    auto out = std::make_shared<detail::Outcome<Stored>>();
    submit(std::make_unique<detail::Call<F, Stored>>(std::move(fn), out));
    return collect_watched<R>(std::move(out), limit, every, std::move(watch));
  }

 private:
  template <class R, class Stored>
  static boost::asio::awaitable<R> collect(std::shared_ptr<detail::Outcome<Stored>> out,
                                           std::chrono::milliseconds limit) {
    co_await out->wait(limit);
    if (out->error) std::rethrow_exception(out->error);
    if constexpr (!std::is_void_v<R>) co_return std::move(*out->value);
  }

  template <class R, class Stored>
  static boost::asio::awaitable<R> collect_watched(std::shared_ptr<detail::Outcome<Stored>> out,
                                                   std::chrono::milliseconds limit, std::chrono::milliseconds every,
                                                   std::function<void()> watch) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      const bool last = !watch || left <= every;
      try {
        co_await out->wait(last ? std::max(left, std::chrono::milliseconds(0)) : every);
        break;
      } catch (const TimeoutError&) {
        if (last) throw;
      }
      watch();
    }
    if (out->error) std::rethrow_exception(out->error);
    if constexpr (!std::is_void_v<R>) co_return std::move(*out->value);
  }

  void submit(std::unique_ptr<detail::Job> job);
  void work(int nice);

  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::unique_ptr<detail::Job>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// For programs and tests that own no event loops of their own to outlive: a small process-wide pool,
// made on first use and joined at exit. vekt-server hands its own pool to what it builds instead.
BlockingPool& shared_blocking_pool();

}  // namespace vekt::base
