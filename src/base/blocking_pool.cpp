#include "base/blocking_pool.hpp"

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <boost/asio/buffer.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "base/with_timeout.hpp"

namespace vekt::base {

namespace asio = boost::asio;

namespace detail {

Handoff::Handoff() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ < 0) {
    const int e = errno;
    const std::string what = std::string("could not create an eventfd: ") + std::strerror(e);
    if (out_of_resources(e)) throw OutOfResources(what);
    throw Error(what);
  }
}

Handoff::~Handoff() { ::close(fd_); }

void Handoff::signal() noexcept {
  done_.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  // Fails only when the counter would overflow, which one write a job cannot make it.
  (void)!::write(fd_, &one, sizeof one);
}

asio::awaitable<void> Handoff::wait(std::chrono::milliseconds limit) {
  if (done_.load(std::memory_order_acquire)) co_return;
  // The descriptor only lends the eventfd to this loop's reactor: it is released, never closed, when
  // the wait ends (or the loop destroys this frame), since the job's thread may still write to it.
  struct Lent {
    asio::posix::stream_descriptor sd;
    Lent(const asio::any_io_executor& ex, int fd) : sd(ex) { sd.assign(fd); }
    ~Lent() {
      if (sd.is_open()) (void)sd.release();
    }
  } lent(co_await asio::this_coro::executor, fd_);
  // A read, not a readiness wait: Asio tries a read at once before it waits, so a signal that came
  // between the check above and the wait is never missed.
  std::uint64_t count = 0;
  co_await with_timeout(lent.sd.async_read_some(asio::buffer(&count, sizeof count), asio::use_awaitable), limit);
  (void)done_.load(std::memory_order_acquire);  // pairs with signal(): the outcome is visible now
}

std::exception_ptr stopped_error() {
  return std::make_exception_ptr(Error("the helper threads have stopped"));
}

}  // namespace detail

BlockingPool::BlockingPool(std::size_t threads, int nice) {
  if (threads == 0) threads = 1;
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this, nice] { work(nice); });
}

BlockingPool::~BlockingPool() { join(); }

void BlockingPool::join() {
  std::deque<std::unique_ptr<detail::Job>> dropped;
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    dropped.swap(queue_);
  }
  wake_.notify_all();
  dropped.clear();  // their callers hear of it now, not at their limit
  for (auto& t : threads_)
    if (t.joinable()) t.join();
}

void BlockingPool::submit(std::unique_ptr<detail::Job> job) {
  {
    std::lock_guard lock(mu_);
    if (!stopping_) {
      queue_.push_back(std::move(job));
      job = nullptr;
    }
  }
  if (!job) wake_.notify_one();
  // A job refused because the pool stopped is dropped here, which tells its caller so.
}

void BlockingPool::work(int nice) {
  // Niceness is per thread on Linux.
  if (nice != 0) (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice);
  for (;;) {
    std::unique_ptr<detail::Job> job;
    {
      std::unique_lock lock(mu_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job->run();
  }
}

BlockingPool& shared_blocking_pool() {
  static BlockingPool pool(4);
  return pool;
}

}  // namespace vekt::base
