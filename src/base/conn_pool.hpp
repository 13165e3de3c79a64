#pragma once
// A connection pool for one event loop, and the per-loop registry that holds such pools.
//
// Pool<Conn> bounds the number of connections (idle + lent + being opened) to `max`. acquire() gives
// a Lease holding either an idle connection or, when none is idle and the bound allows, an empty
// "slot" that the caller fills by opening a connection. When the bound is reached the caller waits
// in FIFO order (a FifoGate) until a connection is given back or a slot frees up; the wait ends at `wait_limit`
// (the caller's error) or when the waiting coroutine is cancelled (operation_aborted).
//
// A Lease gives its connection back only through give_back(); destroying a Lease without it closes
// the connection and frees its slot, so a connection that failed, timed out or was cancelled is never
// reused.
//
// Everything here runs on the loop that owns the pool; nothing takes a lock.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "base/fifo_gate.hpp"

namespace vekt::base {

class LoopPoolBase {
 public:
  virtual ~LoopPoolBase() = default;
  virtual void shutdown() = 0;
};

// The pools of one io_context, keyed by the owner's id (one id per client object).
class LoopPools : public boost::asio::execution_context::service {
 public:
  static inline boost::asio::execution_context::id id;
  explicit LoopPools(boost::asio::execution_context& ctx) : service(ctx) {}

  template <class P, class Make>
  std::shared_ptr<P> get(std::uint64_t key, Make&& make) {
    std::lock_guard lock(mutex_);  // per loop, so never contended
    auto it = pools_.find(key);
    if (it != pools_.end()) return std::static_pointer_cast<P>(it->second);
    std::shared_ptr<P> p = make();
    pools_.emplace(key, p);
    return p;
  }

  void drop(std::uint64_t key) {
    std::shared_ptr<LoopPoolBase> p;
    {
      std::lock_guard lock(mutex_);
      auto it = pools_.find(key);
      if (it == pools_.end()) return;
      p = std::move(it->second);
      pools_.erase(it);
    }
    p->shutdown();
  }

 private:
  void shutdown() override {
    std::unordered_map<std::uint64_t, std::shared_ptr<LoopPoolBase>> pools;
    {
      std::lock_guard lock(mutex_);
      pools.swap(pools_);
    }
    for (auto& [k, p] : pools) p->shutdown();
  }

  std::mutex mutex_;
  std::unordered_map<std::uint64_t, std::shared_ptr<LoopPoolBase>> pools_;
};

inline std::uint64_t next_pool_owner_id() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1);
}

template <class Conn>
class Pool : public LoopPoolBase, public std::enable_shared_from_this<Pool<Conn>> {
 public:
  class Lease {
   public:
    Lease() = default;
    Lease(std::shared_ptr<Pool> pool, std::unique_ptr<Conn> conn)
        : pool_(std::move(pool)), conn_(std::move(conn)) {}
    Lease(Lease&& o) noexcept : pool_(std::move(o.pool_)), conn_(std::move(o.conn_)) {}
    Lease& operator=(Lease&& o) noexcept {
      if (this != &o) {
        discard();
        pool_ = std::move(o.pool_);
        conn_ = std::move(o.conn_);
      }
      return *this;
    }
    ~Lease() { discard(); }

    explicit operator bool() const { return pool_ != nullptr; }
    Conn* get() const { return conn_.get(); }
    Conn* operator->() const { return conn_.get(); }
    Conn& operator*() const { return *conn_; }
    bool has_connection() const { return conn_ != nullptr; }
    void set(std::unique_ptr<Conn> c) { conn_ = std::move(c); }

    // Back to the pool for reuse (the caller vouches that the connection is clean).
    void give_back() {
      if (!pool_) return;
      auto p = std::move(pool_);
      p->put(std::move(conn_), true);
    }
    // Close the connection (if any) and free the slot.
    void discard() {
      if (!pool_) return;
      auto p = std::move(pool_);
      conn_.reset();
      p->put(nullptr, false);
    }

   private:
    std::shared_ptr<Pool> pool_;
    std::unique_ptr<Conn> conn_;
  };

  Pool(std::size_t max, std::function<bool(Conn&)> alive)
      : max_(max == 0 ? 1 : max), alive_(std::move(alive)) {}

  // Waits at most wait_limit; on expiry throws what on_timeout() makes.
  boost::asio::awaitable<Lease> acquire(std::chrono::steady_clock::duration wait_limit,
                                        std::function<void()> on_timeout) {
    namespace asio = boost::asio;
    if (closed_) throw boost::system::system_error(asio::error::shut_down);
    while (!idle_.empty()) {
      std::unique_ptr<Conn> c = std::move(idle_.back());
      idle_.pop_back();
      if (alive_ && !alive_(*c)) {
        --total_;
        continue;
      }
      co_return Lease(this->shared_from_this(), std::move(c));
    }
    if (total_ < max_ && waiters_.empty()) {
      ++total_;
      co_return Lease(this->shared_from_this(), nullptr);
    }
    auto turn = co_await waiters_.wait(wait_limit);
    if (turn.granted) {
      std::unique_ptr<Conn> c = std::move(turn.gift);
      if (c && alive_ && !alive_(*c)) c.reset();  // the slot stays ours; the caller reconnects
      co_return Lease(this->shared_from_this(), std::move(c));
    }
    if (closed_) throw boost::system::system_error(asio::error::shut_down);
    if (turn.ec == asio::error::operation_aborted) throw boost::system::system_error(turn.ec);
    on_timeout();
    throw boost::system::system_error(asio::error::timed_out);
  }

  std::size_t idle_count() const { return idle_.size(); }
  std::size_t total() const { return total_; }
  std::size_t waiting() const { return waiters_.size(); }
  std::size_t max() const { return max_; }
  bool closed() const { return closed_; }

  void shutdown() override {
    closed_ = true;
    idle_.clear();
    waiters_.wake_all();
  }

 private:

  // A connection (or nullptr: the slot alone) comes back. Reusable connections go to the first
  // waiter or the idle list; otherwise the slot passes to the first waiter or is freed.
  void put(std::unique_ptr<Conn> c, bool reusable) {
    if (closed_) {
      c.reset();
      if (total_ > 0) --total_;
      return;
    }
    if (!reusable || !c) {
      c.reset();
      if (!waiters_.hand_over()) --total_;
      return;
    }
    if (!waiters_.hand_over(c)) idle_.push_back(std::move(c));
  }

  std::size_t max_;
  std::function<bool(Conn&)> alive_;
  std::size_t total_ = 0;
  bool closed_ = false;
  std::vector<std::unique_ptr<Conn>> idle_;
  FifoGate<std::unique_ptr<Conn>> waiters_;  // a connection, or nullptr: the slot alone
};

// The pool of `key` on the loop of `ex`, made by `make` on first use.
template <class P, class Make>
std::shared_ptr<P> loop_pool(const boost::asio::any_io_executor& ex, std::uint64_t key, Make&& make) {
  auto& ctx = boost::asio::query(ex, boost::asio::execution::context);
  return boost::asio::use_service<LoopPools>(ctx).template get<P>(key, std::forward<Make>(make));
}

}  // namespace vekt::base
