#pragma once
// HTML to PDF on a pool of long-lived WeasyPrint worker processes.
//
// Each worker is `python -I pdf_worker.py` with its memory capped; it reads one length-prefixed
// request (stylesheet text, page text) from its stdin and answers one frame with the PDF bytes or
// an error text on its stdout. A request waits (first come, first served) for an idle worker; a
// render that outlasts the time limit kills its worker, and a worker that dies is replaced, so one
// bad page never holds the pool. Every answer carries the id of its request, and a worker is only
// ever handed on after its answer has been read in full, so an answer cannot reach another request.
//
// The pool runs its own I/O thread; render() may be awaited from any number of event loops at once
// and never blocks the awaiting loop.
#include <chrono>
#include <cstddef>
#include <filesystem>
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

// The worker script as installed beside the build (found first) or in the source tree.
std::filesystem::path default_worker_script();

// Half the cores, at least one.
unsigned default_worker_count();

struct PoolConfig {
  unsigned workers = default_worker_count();
  // The limit of one render, from handing the page to a worker to its last answer byte.
  std::chrono::milliseconds timeout{30000};
  // The limit for a new worker to import the renderer and report ready.
  std::chrono::milliseconds start_timeout{60000};
  // Address-space cap of each worker process, bytes (0: none).
  std::size_t memory_limit = std::size_t{2} << 30;
  // Debian's interpreter, which sees the weasyprint package.
  std::filesystem::path python = "/usr/bin/python3";
  std::filesystem::path worker_script = default_worker_script();
};

class Pool {
 public:
  // Starts the I/O thread; workers start when the first renders need them.
  explicit Pool(PoolConfig config);
  // Fails the renders still waiting, kills the workers and joins the I/O thread.
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // The PDF of `html` under the user stylesheet `css`. Throws RenderTimeout past the time limit,
  // RenderError for any other failure.
  boost::asio::awaitable<std::string> render(std::string css, std::string html);

  // Process ids of the running workers (for tests and diagnostics).
  std::vector<int> worker_pids() const;

  const PoolConfig& config() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace vekt::pdf
