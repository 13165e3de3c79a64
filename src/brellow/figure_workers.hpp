#pragma once
// The plan figure is ordinary, blocking drawing code (seconds of CPU for a dense neighbourhood).
// It runs here, on a fixed number of worker threads (a base::BlockingPool of its own), never on
// an event loop: a document request awaits its figure while the loop keeps serving tiles. Figures
// beyond the thread count wait in line, first come first served.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include <boost/asio/awaitable.hpp>

#include "base/blocking_pool.hpp"
#include "brellow/errors.hpp"
#include "plots/records.hpp"

namespace vekt::brellow {

class FigureWorkers {
 public:
  // Threads of its own. `nice`: their scheduling niceness (0: the server's own); a positive value
  // lets the event loops run first when figures fill the cores.
  explicit FigureWorkers(std::size_t threads, int nice = 0);
  // The threads of `pool`, which its owner joins once the event loops have stopped (and which
  // must outlive these workers).
  explicit FigureWorkers(base::BlockingPool& pool);
  FigureWorkers(const FigureWorkers&) = delete;
  FigureWorkers& operator=(const FigureWorkers&) = delete;

  // Runs `draw` on a worker and resumes the awaiting coroutine on its own executor with the
  // figure, or with the exception `draw` threw. Throws FigureTimeout when the figure is not done
  // `limit` after it was handed in (time in line included). With `client_gone` given, the wait
  // ends with ClientGone as soon as it answers true (asked on this loop every fraction of a second);
  // a figure that has started runs on to its end and is dropped.
  boost::asio::awaitable<plots::FigureResult> run(std::function<plots::FigureResult()> draw,
                                                  std::chrono::milliseconds limit,
                                                  std::function<bool()> client_gone = {});

  std::size_t threads() const { return pool_.threads(); }
  // The threads themselves, for the rest of a document's CPU work (its page layout), which
  // should yield to the event loops as the figures do.
  base::BlockingPool& pool() { return pool_; }

 private:
  std::unique_ptr<base::BlockingPool> own_;  // none when the pool is lent
  base::BlockingPool& pool_;
};

}  // namespace vekt::brellow
