#include "brellow/figure_workers.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "brellow/errors.hpp"

namespace vekt::brellow {

namespace asio = boost::asio;

namespace {

// How often a figure waiting for a worker looks whether its client is still there.
constexpr std::chrono::milliseconds CLIENT_WATCH_INTERVAL{200};

}  // namespace

FigureTimeout::FigureTimeout() : base::Error("the plan figure took longer than its time limit") {}

struct FigureWorkers::Impl {
  explicit Impl(std::size_t n) : pool(n) {}
  asio::thread_pool pool;
};

FigureWorkers::FigureWorkers(std::size_t threads, int nice)
    : threads_(threads == 0 ? 1 : threads), nice_(nice), impl_(std::make_unique<Impl>(threads_)) {}

FigureWorkers::~FigureWorkers() { impl_->pool.join(); }

namespace {

// What a finished drawing hands back to the loop that asked for it. Written on the worker, read
// on the loop only after the hand-over that the post back to the loop makes.
struct Outcome {
  std::optional<plots::FigureResult> figure;
  std::exception_ptr error;
  bool done = false;  // touched on the requesting loop only
};

}  // namespace

asio::awaitable<plots::FigureResult> FigureWorkers::run(std::function<plots::FigureResult()> draw,
                                                        std::chrono::milliseconds limit,
                                                        std::function<bool()> client_gone) {
  auto ex = co_await asio::this_coro::executor;
  // The timer is both the time limit and the wake-up call: the worker cancels it when the figure
  // is done. The work guard keeps the requesting loop alive until the worker has reported back,
  // so a late figure never posts to a loop that has gone.
  auto timer = std::make_shared<asio::steady_timer>(ex, limit);
  auto outcome = std::make_shared<Outcome>();
  asio::post(impl_->pool, [draw = std::move(draw), timer, outcome, guard = asio::make_work_guard(ex),
                           nice = nice_]() mutable {
    // Each worker thread takes its niceness once, with its first figure (on Linux it is per thread).
    thread_local const bool reniced =
        nice == 0 || ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice) == 0;
    (void)reniced;
    try {
      outcome->figure.emplace(draw());
    } catch (...) {
      outcome->error = std::current_exception();
    }
    draw = nullptr;  // what the drawing held is let go here, before the loop hears of the result
    // Everything that belongs to the loop moves into the hand-over, so the worker keeps no last
    // reference to a timer of a loop that may be gone once the hand-over has run.
    auto loop = guard.get_executor();
    asio::post(loop, [timer = std::move(timer), outcome = std::move(outcome), guard = std::move(guard)]() mutable {
      outcome->done = true;
      timer->cancel();
      guard.reset();
    });
  });
  // With a client to watch, the wait wakes now and then to see whether it is still there. When it
  // has gone the request ends at once and its place falls free: a figure still in line is skipped
  // by its worker, one under way runs on to its end and is let go.
  // The hand-over runs on this loop, so it cannot slip in between a look at `done` and the next wait.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (client_gone) timer->expires_at(std::min(deadline, std::chrono::steady_clock::now() + CLIENT_WATCH_INTERVAL));
    boost::system::error_code ec;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (outcome->done || std::chrono::steady_clock::now() >= deadline) break;
    if (client_gone && client_gone()) throw ClientGone("figure was drawn");
  }
  if (!outcome->done) throw FigureTimeout();
  if (outcome->error) std::rethrow_exception(outcome->error);
  co_return std::move(*outcome->figure);
}

}  // namespace vekt::brellow
