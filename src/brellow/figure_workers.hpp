#pragma once
// The plan figure is ordinary, blocking drawing code (seconds of CPU for a dense neighbourhood).
// It runs here, on a fixed number of worker threads, never on an event loop: a document request
// awaits its figure while the loop keeps serving tiles. Figures beyond the thread count wait in
// line, first come first served.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include <boost/asio/awaitable.hpp>

#include "base/error.hpp"
#include "plots/records.hpp"

namespace vekt::brellow {

// The figure was not finished within the time limit. The drawing itself cannot be interrupted:
// it runs on to its end on its worker and its result is dropped.
class FigureTimeout : public base::Error {
 public:
  FigureTimeout();
};

class FigureWorkers {
 public:
  // `nice`: the scheduling niceness of the worker threads (0: the server's own); a positive value
  // lets the event loops run first when figures fill the cores.
  explicit FigureWorkers(std::size_t threads, int nice = 0);
  // Lets the figures in hand finish, then joins the threads.
  ~FigureWorkers();
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

  std::size_t threads() const { return threads_; }

 private:
  struct Impl;
  std::size_t threads_;
  int nice_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vekt::brellow
