#include "pdf/pool.hpp"

#include <signal.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <fmt/format.h>

#include "base/fifo_gate.hpp"
#include "base/unique_fd.hpp"
#include "host/logger.hpp"
#include "pdf/worker_process.hpp"

namespace vekt::pdf {
namespace asio = boost::asio;
using Descriptor = asio::posix::stream_descriptor;

namespace {

// Frame kinds of the worker's answers (see pdf_worker.py).
constexpr std::uint8_t KIND_PDF = 0;
constexpr std::uint8_t KIND_ERROR = 1;
constexpr std::uint8_t KIND_READY = 2;
constexpr std::size_t REQUEST_HEAD = 16;  // id u64, stylesheet length u32, page length u32
constexpr std::size_t ANSWER_HEAD = 17;   // id u64, kind u8, length u64
// A page above this is a caller's bug (the plan pages are a few MB); an answer above it is a
// worker out of step.
constexpr std::size_t MAX_TEXT = std::size_t{1} << 30;

void put_be(unsigned char* out, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) out[i] = static_cast<unsigned char>(v & 0xff);
}

std::uint64_t get_be(const unsigned char* in, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | in[i];
  return v;
}

std::string seconds_text(std::chrono::milliseconds ms) {
  return fmt::format("{:g} s", static_cast<double>(ms.count()) / 1000.0);
}

// The worker went away under a render (or answered out of step): the render may go to another.
class WorkerDied : public WorkerUnavailable {
 public:
  using WorkerUnavailable::WorkerUnavailable;
};

}  // namespace

std::filesystem::path default_worker_script() {
  std::filesystem::path built = VEKT_PDF_WORKER_BUILD;
  std::error_code ec;
  if (std::filesystem::exists(built, ec)) return built;
  return VEKT_PDF_WORKER_SOURCE;
}

unsigned default_worker_count() { return std::max(1u, std::thread::hardware_concurrency() / 2); }

namespace {

// A pipe end handed to the pool's reactor; the descriptor stays with `fd` if that fails.
Descriptor adopt(asio::io_context& ctx, base::UniqueFd& fd) {
  Descriptor d(ctx);
  boost::system::error_code ec;
  d.assign(fd.get(), ec);
  if (ec) throw WorkerUnavailable("PDF worker: " + ec.message());
  fd.release();
  return d;
}

}  // namespace

// One worker process and the two pipe ends that talk to it. Lives on the pool thread.
struct Worker {
  Worker(asio::io_context& ctx, WorkerProcess p)
      : child(std::move(p.child)), to_worker(adopt(ctx, p.to_worker)), from_worker(adopt(ctx, p.from_worker)) {}
  ~Worker() { stop(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Kill it now (a render or a start past its limit); the pending pipe operations then fail.
  void kill() const { child.kill(); }

  // Kill, close the pipes and reap; `exit` then says how the process ended.
  void stop() {
    boost::system::error_code ignored;
    to_worker.close(ignored);
    from_worker.close(ignored);
    if (child.pid() > 0) exit = child.stop();
  }

  bool running() const { return child.running(); }

  Child child;  // first: killed and reaped after the pipes are closed, also when adopting one fails
  const pid_t pid = child.pid();
  Descriptor to_worker;
  Descriptor from_worker;
  bool ready = false;  // it said so, and has not been stopped since
  std::chrono::steady_clock::time_point ready_at{};
  bool idle = false;
  std::uint64_t idle_round = 0;
  unsigned documents = 0;  // renders answered in full
  std::string exit = "ended";
};

namespace {

// The line of requests waiting for a worker. A turn comes with a worker, or with none when no
// worker runs and the next start is held back: the request is told why. A wait that ends without
// a turn passed its time limit, or the pool shuts down.
using WorkerGate = base::FifoGate<std::shared_ptr<Worker>>;

// A worker that ends of its own this soon after it said it was ready, while idle and before any
// page, failed to start as surely as one that never got ready. Starts that fail in a row wait
// before the next: from BACKOFF_FIRST, doubling up to BACKOFF_MAX.
constexpr std::chrono::seconds EARLY_DEATH{10};
constexpr std::chrono::milliseconds BACKOFF_FIRST{250};
constexpr std::chrono::milliseconds BACKOFF_MAX{4000};

const std::string SHUTTING_DOWN = "the PDF pool is shutting down";

const std::shared_ptr<spdlog::logger>& log() {
  static const std::shared_ptr<spdlog::logger> logger = host::get_logger("vekt.pdf");
  return logger;
}

}  // namespace

// Every worker holds a slot from its start to its end, and a slot whose worker ended gets a fresh
// worker at once (after a back-off when starts keep failing): the pool keeps the workers it has.
// Requests only ever wait for a worker, never start one themselves, so a start that hangs holds
// no request beyond its own time limit.
struct Pool::Impl {
  explicit Impl(PoolConfig c) : config(std::move(c)) {
    if (config.workers == 0) config.workers = 1;
  }

  PoolConfig config;
  asio::io_context ctx{1};
  asio::executor_work_guard<asio::io_context::executor_type> work{ctx.get_executor()};
  std::thread thread;

  // Pool-thread state: no locks.
  std::deque<std::shared_ptr<Worker>> idle;
  WorkerGate waiters;
  unsigned slots = 0;      // workers starting, ready or busy, and starts held back
  unsigned ready = 0;      // workers that said they were ready and have not ended
  unsigned held_back = 0;  // starts waiting out the back-off
  unsigned failures = 0;   // failed starts in a row
  std::string last_failure;
  asio::steady_timer backoff{ctx};
  std::uint64_t last_id = 0;
  bool closing = false;

  std::mutex join_mu;
  std::atomic<bool> joined{false};  // the I/O thread has been (or is being) joined

  // Every worker process, for shutdown and for worker_pids().
  mutable std::mutex workers_mu;
  std::map<pid_t, std::weak_ptr<Worker>> workers;

  void track(const std::shared_ptr<Worker>& w) {
    std::lock_guard lk(workers_mu);
    workers[w->pid] = w;
  }

  void forget(const std::shared_ptr<Worker>& w) {
    std::lock_guard lk(workers_mu);
    workers.erase(w->pid);
  }

  // Ends a worker's process; its slot stays taken, for the caller to fill or give up.
  void end(const std::shared_ptr<Worker>& w) {
    forget(w);
    w->stop();
    if (w->ready) {
      w->ready = false;
      --ready;
    }
  }

  // A fresh worker in a slot, now.
  void fill_slot() {
    if (closing) {
      --slots;
      return;
    }
    asio::co_spawn(ctx, start_spare(), asio::detached);
  }

  // A worker of no further use (killed for its time limit, out of step, retired) makes way for
  // a fresh one at once.
  void replace(const std::shared_ptr<Worker>& w) {
    end(w);
    fill_slot();
  }

  // A worker found ended while idle. Right after its start it counts as a start that failed.
  void lost(const std::shared_ptr<Worker>& w) {
    const auto age = std::chrono::steady_clock::now() - w->ready_at;
    const bool early = w->documents == 0 && age < EARLY_DEATH;
    end(w);
    if (!early) return fill_slot();
    start_failed(fmt::format("PDF worker died {} after it became ready ({})",
                             seconds_text(std::chrono::duration_cast<std::chrono::milliseconds>(age)), w->exit));
  }

  asio::awaitable<void> start_spare() {
    std::shared_ptr<Worker> w;
    try {
      w = co_await start_worker();
    } catch (const std::exception& e) {
      start_failed(e.what());
      co_return;
    }
    release(std::move(w), true);
  }

  std::chrono::milliseconds backoff_delay() const {
    const unsigned doublings = std::min(failures - 1, 8u);
    return std::min(BACKOFF_FIRST * (1 << doublings), BACKOFF_MAX);
  }

  // A start failed: the slot's next start waits, longer each time in a row. While no worker runs,
  // the requests waiting are told at once (503) rather than left to their time limit.
  void start_failed(std::string why) {
    if (closing) {
      --slots;
      return;
    }
    ++failures;
    last_failure = std::move(why);
    const auto delay = backoff_delay();
    log()->warn("{}; the next PDF worker starts in {}", last_failure, seconds_text(delay));
    if (held_back++ == 0) {
      backoff.expires_after(delay);
      backoff.async_wait([this](boost::system::error_code ec) {
        if (ec || closing) return;
        for (unsigned n = std::exchange(held_back, 0); n > 0; --n) asio::co_spawn(ctx, start_spare(), asio::detached);
      });
    }
    if (ready == 0)
      while (waiters.hand_over()) {
      }
  }

  // Past its share of renders, or holding more memory than a worker may keep after a page (a
  // fresh worker is as small as a worker gets).
  bool worn(const Worker& w) const {
    if (w.documents == 0) return false;
    if (config.max_documents != 0 && w.documents >= config.max_documents) return true;
    return config.max_resident != 0 && resident_bytes(w.pid) > config.max_resident;
  }

  // A worker whose answer has been read in full goes to the longest-waiting request, else idles.
  void release(std::shared_ptr<Worker> w, bool healthy) {
    if (closing) {
      end(w);
      --slots;
      return;
    }
    if (!healthy || worn(*w)) return replace(w);
    if (waiters.hand_over(w)) return;
    w->idle = true;
    const auto round = ++w->idle_round;
    // An idle worker never writes: readable means it ended (or broke step).
    w->from_worker.async_wait(Descriptor::wait_read, [this, w, round](boost::system::error_code ec) {
      if (ec || !w->idle || w->idle_round != round) return;
      std::erase(idle, w);
      w->idle = false;
      lost(w);
    });
    idle.push_back(std::move(w));
  }

  std::shared_ptr<Worker> take_idle() {
    auto w = std::move(idle.front());
    idle.pop_front();
    w->idle = false;
    ++w->idle_round;
    boost::system::error_code ignored;
    w->from_worker.cancel(ignored);
    return w;
  }

  // A new worker once it said it is ready; one not ready within the start limit is killed.
  asio::awaitable<std::shared_ptr<Worker>> start_worker() {
    auto w = std::make_shared<Worker>(ctx, spawn_worker(config));
    track(w);
    auto expired = std::make_shared<bool>(false);
    asio::steady_timer limit(ctx, config.start_timeout);
    limit.async_wait([w, expired](boost::system::error_code ec) {
      if (!ec) {
        *expired = true;
        w->kill();
      }
    });
    std::array<unsigned char, ANSWER_HEAD> head{};
    boost::system::error_code ec;
    co_await asio::async_read(w->from_worker, asio::buffer(head), asio::redirect_error(asio::use_awaitable, ec));
    limit.cancel();
    if (!ec && get_be(head.data(), 8) == 0 && head[8] == KIND_READY && get_be(head.data() + 9, 8) == 0) {
      w->ready = true;
      w->ready_at = std::chrono::steady_clock::now();
      ++ready;
      co_return w;
    }
    end(w);
    if (*expired)
      throw WorkerUnavailable(
          fmt::format("PDF worker did not get ready within {}", seconds_text(config.start_timeout)));
    throw WorkerUnavailable(fmt::format("PDF worker {} {} could not start ({})", config.python.string(),
                                        config.worker_script.string(), w->exit));
  }

  // A worker for one render, waited for until `deadline`. `again`: a render whose worker died
  // comes first in line for the next one.
  asio::awaitable<std::shared_ptr<Worker>> acquire(bool again, std::chrono::steady_clock::time_point deadline) {
    if (closing) throw WorkerUnavailable(SHUTTING_DOWN);
    if (waiters.empty()) {
      while (!idle.empty()) {
        auto w = take_idle();
        if (w->running()) co_return w;
        lost(w);
      }
    }
    if (ready == 0 && held_back > 0) throw WorkerUnavailable(last_failure);
    if (slots < config.workers) {
      ++slots;
      fill_slot();
    }
    const auto left = std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
    auto turn = co_await waiters.wait(left, again ? WorkerGate::Place::First : WorkerGate::Place::Last);
    if (turn.granted && turn.gift) co_return std::move(turn.gift);
    if (turn.granted) throw WorkerUnavailable(last_failure);
    if (closing || turn.ec) throw WorkerUnavailable(SHUTTING_DOWN);
    throw RenderTimeout(fmt::format("no PDF worker was free within {}", seconds_text(config.timeout)));
  }

  asio::awaitable<std::string> run(std::string css, std::string html, std::function<bool()> caller_gone) {
    if (css.size() > std::numeric_limits<std::uint32_t>::max() || html.size() > MAX_TEXT)
      throw RenderError("PDF rendering: the page is too large");
    // The wait for a worker counts against the render's own time limit.
    const auto deadline = std::chrono::steady_clock::now() + config.timeout;
    // A worker that dies under a page is most often the worker's fault (killed, out of memory
    // after many pages), not the page's: the page gets one more worker before the caller hears.
    std::exception_ptr died;
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto w = co_await acquire(attempt > 0, deadline);
      if (caller_gone && caller_gone()) {
        release(std::move(w), true);
        throw RenderAbandoned();
      }
      try {
        co_return co_await render_on(std::move(w), css, html);
      } catch (const WorkerDied&) {
        died = std::current_exception();
      }
    }
    std::rethrow_exception(died);
  }

  // One render on worker `w`, which goes back through release() or replace() on every path.
  asio::awaitable<std::string> render_on(std::shared_ptr<Worker> w, const std::string& css, const std::string& html) {
    struct Lease {
      Impl* pool;
      std::shared_ptr<Worker> w;
      bool healthy = false;
      ~Lease() {
        if (w) pool->release(std::move(w), healthy);
      }
    } lease{this, w};

    const std::uint64_t id = ++last_id;
    std::array<unsigned char, REQUEST_HEAD> request{};
    put_be(request.data(), id, 8);
    put_be(request.data() + 8, css.size(), 4);
    put_be(request.data() + 12, html.size(), 4);

    auto expired = std::make_shared<bool>(false);
    asio::steady_timer limit(ctx, config.timeout);
    limit.async_wait([w, expired](boost::system::error_code ec) {
      if (!ec) {
        *expired = true;
        w->kill();
      }
    });

    boost::system::error_code ec;
    std::array<unsigned char, ANSWER_HEAD> head{};
    std::string payload;
    bool complete = false;
    std::string broken;  // why the answer could not be used, for the error text
    std::array<asio::const_buffer, 3> out{asio::buffer(request), asio::buffer(css), asio::buffer(html)};
    co_await asio::async_write(w->to_worker, out, asio::redirect_error(asio::use_awaitable, ec));
    if (!ec) co_await asio::async_read(w->from_worker, asio::buffer(head), asio::redirect_error(asio::use_awaitable, ec));
    if (!ec) {
      const std::uint64_t length = get_be(head.data() + 9, 8);
      if (get_be(head.data(), 8) != id || (head[8] != KIND_PDF && head[8] != KIND_ERROR) || length > MAX_TEXT) {
        broken = "answered out of step";
      } else {
        payload.resize(static_cast<std::size_t>(length));
        co_await asio::async_read(w->from_worker, asio::buffer(payload), asio::redirect_error(asio::use_awaitable, ec));
        complete = !ec;
      }
    }
    limit.cancel();

    if (complete) {
      lease.healthy = !*expired;
      ++w->documents;
      failures = 0;  // a worker that renders has started well
      if (head[8] == KIND_ERROR) throw RenderError("PDF rendering failed: " + payload);
      co_return payload;
    }
    // The worker is of no further use: a fresh one takes its slot now, and the error says how
    // this one ended.
    lease.w.reset();
    replace(w);
    if (*expired) throw RenderTimeout(fmt::format("PDF rendering took longer than {}", seconds_text(config.timeout)));
    if (broken.empty()) broken = "died while rendering (" + w->exit + ")";
    throw WorkerDied("PDF worker " + broken);
  }

  // On the pool thread: fail the waiting requests, hold no start back and end every worker;
  // renders in flight then fail as their pipes close, and starts under way as theirs do.
  void shut_down() {
    if (closing) return;
    closing = true;
    backoff.cancel();
    slots -= std::exchange(held_back, 0);
    waiters.wake_all();
    std::vector<std::shared_ptr<Worker>> all;
    {
      std::lock_guard lk(workers_mu);
      for (auto& [pid, weak] : workers)
        if (auto w = weak.lock()) all.push_back(std::move(w));
      workers.clear();
    }
    idle.clear();
    for (auto& w : all) {
      w->idle = false;
      w->stop();
    }
  }
};

Pool::Pool(PoolConfig config) : impl_(std::make_shared<Impl>(std::move(config))) {
  auto* impl = impl_.get();
  impl->thread = std::thread([impl] {
    // A write to a worker that just died must fail with EPIPE, not end the server: SIGPIPE is
    // blocked on this thread, the only one that writes to the pipes.
    sigset_t pipe_signal;
    ::sigemptyset(&pipe_signal);
    ::sigaddset(&pipe_signal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    impl->ctx.run();
  });
  asio::post(impl->ctx, [impl] {
    const unsigned warm = std::min(impl->config.warm_workers, impl->config.workers);
    for (unsigned i = 0; i < warm; ++i) {
      ++impl->slots;
      impl->fill_slot();
    }
  });
}

Pool::~Pool() { join(); }

void Pool::join() {
  shut_down();
  auto* impl = impl_.get();
  std::lock_guard lk(impl->join_mu);
  impl->joined = true;
  impl->work.reset();
  if (impl->thread.joinable()) impl->thread.join();
}

void Pool::shut_down() {
  auto* impl = impl_.get();
  asio::post(impl->ctx, [impl] { impl->shut_down(); });
}

asio::awaitable<std::string> Pool::render(std::string css, std::string html, std::function<bool()> caller_gone) {
  auto impl = impl_;
  if (impl->joined) throw WorkerUnavailable(SHUTTING_DOWN);
  co_return co_await asio::co_spawn(impl->ctx, impl->run(std::move(css), std::move(html), std::move(caller_gone)),
                                    asio::use_awaitable);
}

std::vector<int> Pool::worker_pids() const {
  std::vector<int> pids;
  std::lock_guard lk(impl_->workers_mu);
  for (auto& [pid, weak] : impl_->workers)
    if (!weak.expired()) pids.push_back(pid);
  return pids;
}

const PoolConfig& Pool::config() const { return impl_->config; }

}  // namespace vekt::pdf
