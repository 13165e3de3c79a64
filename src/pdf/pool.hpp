#pragma once
// HTML to PDF on a pool of long-lived WeasyPrint worker processes.
//
// Each worker is `python -I pdf_worker.py` with its memory capped; it reads one length-prefixed
// request (stylesheet text, page text) from its stdin and answers one frame with the PDF bytes or
// an error text on its stdout. A request waits (first come, first served) for an idle worker,
// within its time limit; a render that outlasts the time limit kills its worker, and a worker that
// dies, is killed or is retired is replaced at once, so one bad page never holds the pool. A worker
// that does not get ready within the start limit is killed and replaced; starts that keep failing
// (a worker that dies right after it became ready counts as one) wait longer each time, up to a
// few seconds, and while no worker runs the requests are turned away (WorkerUnavailable). Every answer carries the id of its request, and a worker is only
// ever handed on after its answer has been read in full, so an answer cannot reach another request.
//
// The pool runs its own I/O thread; render() may be awaited from any number of event loops at once
// and never blocks the awaiting loop.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "base/error.hpp"

namespace vekt::pdf {

// The page could not be rendered (the renderer's own error text, a worker that died, a worker
// that could not start).
class RenderError : public base::Error {
 public:
  using base::Error::Error;
};

// The render took longer than the pool's time limit; its worker was killed.
class RenderTimeout : public RenderError {
 public:
  using RenderError::RenderError;
};

// No worker could render the page: the one it was handed died (or answered out of step) and so did
// the fresh one it was handed to next, or no worker could be started. The page itself is not at
// fault; the caller may try again shortly.
class WorkerUnavailable : public RenderError {
 public:
  using RenderError::RenderError;
};

// Its caller had gone when a worker fell free for the page; nothing was rendered.
class RenderAbandoned : public base::Error {
 public:
  RenderAbandoned() : base::Error("the caller had gone before its page was rendered") {}
};

// The worker script as installed beside the build (found first) or in the source tree.
std::filesystem::path default_worker_script();

// Half the cores, at least one.
unsigned default_worker_count();

struct PoolConfig {
  unsigned workers = default_worker_count();
  // The limit of one render, from handing the page to a worker to its last answer byte; the
  // wait for a worker before that has the same limit.
  std::chrono::milliseconds timeout{30000};
  // The limit for a new worker to import the renderer and report ready (about a second when the
  // machine is quiet); past it the worker is killed and another started.
  std::chrono::milliseconds start_timeout{20000};
  // Address-space cap of each worker process, bytes (0: none).
  std::size_t memory_limit = std::size_t{2} << 30;
  // A worker is replaced by a fresh one after this many renders (0: never) ...
  unsigned max_documents = 200;
  // ... or after a render that leaves it with more resident memory than this, bytes (0: no limit),
  // so what one large page took comes back.
  std::size_t max_resident = std::size_t{320} << 20;
  // Workers started with the pool, before any render asks for one, so the first page does not pay
  // the renderer's start-up (at most `workers`).
  unsigned warm_workers = 1;
  // Scheduling niceness of each worker process (0: the server's own). A positive value lets the
  // server's event loops run first when renders fill the cores.
  int nice = 0;
  // Debian's interpreter, which sees the weasyprint package.
  std::filesystem::path python = "/usr/bin/python3";
  std::filesystem::path worker_script = default_worker_script();
};

class Pool {
 public:
  // Starts the I/O thread and the warm workers; further workers start when renders need them.
  // Every worker started stays: one that ends for any reason is replaced at once.
  explicit Pool(PoolConfig config);
  // join().
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // The PDF of `html` under the user stylesheet `css`. A render whose worker dies is run once
  // more on another worker. `caller_gone`, when given, is asked when a worker falls free for the
  // page (from the pool's thread): true drops the page with RenderAbandoned. Throws RenderTimeout
  // past the time limit (waiting for a worker, or rendering), WorkerUnavailable when no worker
  // could render it (also once the pool shuts down), RenderError for the renderer's own failure.
  boost::asio::awaitable<std::string> render(std::string css, std::string html,
                                             std::function<bool()> caller_gone = {});

  // Fails the renders waiting and under way (WorkerUnavailable) and ends every worker; a later
  // render fails at once. Returns without waiting; safe from any thread, and more than once.
  void shut_down();
  // shut_down(), then waits for the I/O thread to end: the completions of every render have been
  // handed to their callers' executors by then. A later render fails at once.
  void join();

  // Process ids of the running workers (for tests and diagnostics).
  std::vector<int> worker_pids() const;

  const PoolConfig& config() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace vekt::pdf
