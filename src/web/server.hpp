#pragma once
// HTTP/1.1 server: N event loops, one io_context and one SO_REUSEPORT acceptor per thread, no
// locks inside a loop. Limits keep any one client from holding it: header size, body size,
// header-read deadline, idle keep-alive timeout, maximum connections. stop() is graceful.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "web/router.hpp"

namespace vekt::web {

struct ServerConfig {
  std::string host = "127.0.0.1";
  std::uint16_t port = 8000;  // 0: any free port (see Server::port())
  unsigned threads = 0;       // 0: the number of cores
  std::size_t max_header_bytes = 16 * 1024;
  std::size_t max_body_bytes = 1024 * 1024;
  std::chrono::milliseconds header_timeout{10'000};  // whole request head, from its first byte
  std::chrono::milliseconds body_timeout{30'000};
  std::chrono::milliseconds idle_timeout{5'000};     // keep-alive wait for the next request
  std::chrono::milliseconds write_timeout{30'000};
  // Over all loops; beyond it a new connection is answered 503 with Retry-After and closed. The
  // server sets it below its descriptor limit, with room for its own descriptors.
  std::size_t max_connections = 10'000;
  // After a stop, requests in hand may finish within this. Past it, each one still in hand is
  // answered 503 "The server is shutting down" (Retry-After, Connection: close) in its handler's
  // place, and a request still arriving is cut short with the same answer.
  std::chrono::milliseconds shutdown_grace{10'000};
  // Called (off the loops) right after those answers when requests are still running after the
  // grace period: it ends the work they wait for (PDF renders, statements still running on a
  // database server), so that their handlers unwind while the loops run and nothing of ours
  // outlives the process. The loops then get `cancel_grace` more to end before they are stopped.
  std::function<void()> on_grace_expired;
  std::chrono::milliseconds cancel_grace{5'000};
  std::vector<std::string> trusted_proxies{"127.0.0.1"};  // "*": every peer
  CorsPolicy cors;                                           // off unless origins are given
};

class Server {
 public:
  Server(const App& app, ServerConfig config);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Bind every acceptor and start the loop threads; returns once listening.
  // Throws base::Error when the address cannot be bound.
  void start();
  // Stop accepting, close idle connections, let requests in flight finish (up to shutdown_grace),
  // answer those still in hand "shutting down", call on_grace_expired for what still runs, then
  // end the loops. Safe from any thread and from a signal watcher.
  void stop();
  // Block until the loops have ended (after stop()).
  void wait();
  // start(), then serve until SIGINT, SIGTERM or SIGHUP (a hang-up only when it was not ignored
  // when the server started, as nohup does), then stop() and wait().
  void run_until_signal();

  std::uint16_t port() const;     // the bound port
  unsigned loop_count() const;
  std::size_t open_connections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The io_context of the event loop running on this thread, or nullptr off the loops.
boost::asio::io_context* current_loop();
// 0-based index of the loop running on this thread (0 off the loops).
unsigned current_loop_index();

}  // namespace vekt::web
