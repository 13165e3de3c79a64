#include "brellow/figure_workers.hpp"

#include <utility>

#include "base/with_timeout.hpp"

namespace vekt::brellow {

namespace asio = boost::asio;

namespace {

// How often a figure being waited for looks whether its client is still there: the client link
// can only be asked, it signals nothing.
constexpr std::chrono::milliseconds CLIENT_WATCH_INTERVAL{200};

}  // namespace

FigureWorkers::FigureWorkers(std::size_t threads, int nice)
    : own_(std::make_unique<base::BlockingPool>(threads == 0 ? 1 : threads, nice)), pool_(*own_) {}

FigureWorkers::FigureWorkers(base::BlockingPool& pool) : pool_(pool) {}

asio::awaitable<plots::FigureResult> FigureWorkers::run(std::function<plots::FigureResult()> draw,
                                                        std::chrono::milliseconds limit,
                                                        std::function<bool()> client_gone) {
  // With a client to watch, the wait looks now and then whether it is still there. When it has
  // gone the request ends at once and its place falls free: a figure still in line is skipped by
  // its worker (the drawing asks first), one under way runs on to its end and is let go.
  try {
    if (!client_gone) co_return co_await pool_.run(std::move(draw), limit);
    auto watch = [gone = std::move(client_gone)] {
      if (gone()) throw ClientGone("figure was drawn");
    };
    co_return co_await pool_.run(std::move(draw), limit, CLIENT_WATCH_INTERVAL, std::move(watch));
  } catch (const base::TimeoutError&) {
    throw FigureTimeout();
  }
}

}  // namespace vekt::brellow
