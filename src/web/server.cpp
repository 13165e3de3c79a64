#include "web/server.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <spdlog/spdlog.h>

#include "base/error.hpp"
#include "base/strings.hpp"
#include "web/framing.hpp"

namespace vekt::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

struct Loop;
thread_local Loop* t_loop = nullptr;

// One connection's state as the shutdown sweeps see it.
struct SessionSlot {
  enum class Stage {
    Idle,       // waiting for the first byte of a request: closed at once on a stop
    Reading,    // a request is arriving: it is read and answered
    Handling,   // the handler has it
    Answering,  // its answer is being written
  };
  beast::tcp_stream* stream = nullptr;
  Stage stage = Stage::Idle;
  unsigned version = 11;  // of the request in hand, for an answer written in its handler's place
  bool head = false;
  OriginScope scope = OriginScope::listed;
  // The grace ran out with this request in hand: "shutting down" goes (or went) out in its place.
  bool overdue = false;
  // Set while that answer is being written beside a handler still running; the session waits on
  // `refused` before it lets the stream go.
  bool refusing = false;
  asio::steady_timer* refused = nullptr;
};

// Seconds a client refused by a stopping server is asked to wait: about a restart's time.
constexpr int SHUTDOWN_RETRY_AFTER_SECONDS = 5;

// The answer to a request the server can no longer finish. Nothing may keep it.
Response shutting_down_response() {
  Response r = error_response(HttpError(503, "The server is shutting down"));
  r.headers.set("Retry-After", std::to_string(SHUTDOWN_RETRY_AFTER_SECONDS));
  r.headers.set("Cache-Control", "no-store");
  return r;
}

struct Loop {
  unsigned index = 0;
  asio::io_context ioc{1};
  std::optional<tcp::acceptor> acceptor;
  std::list<SessionSlot> sessions;  // touched only on this loop's thread
};

bool safe_header_text(std::string_view s) {
  for (char c : s)
    if (c == '\r' || c == '\n' || c == '\0') return false;
  return true;
}

std::string peer_text(const tcp::socket& s) {
  boost::system::error_code ec;
  auto ep = s.remote_endpoint(ec);
  if (ec) return {};
  auto addr = ep.address();
  if (addr.is_v6() && addr.to_v6().is_v4_mapped())
    addr = asio::ip::make_address_v4(asio::ip::v4_mapped, addr.to_v6());
  return addr.to_string();
}

tcp::endpoint resolve_endpoint(const std::string& host, std::uint16_t port) {
  boost::system::error_code ec;
  auto addr = asio::ip::make_address(host, ec);
  if (!ec) return {addr, port};
  asio::io_context ioc;
  tcp::resolver resolver(ioc);
  auto results = resolver.resolve(host, std::to_string(port), ec);
  if (ec || results.empty()) throw base::Error("cannot resolve VEKT_HOST " + host + ": " + ec.message());
  return results.begin()->endpoint();
}

// The client link of one connection: a look at the socket without reading from it. The peer has
// gone when the socket reports a hang-up or an error, or when its next byte is the end of the
// stream; bytes of a next request waiting unread mean it is still there. The session closes the
// link before it closes the socket, so a late question never touches a descriptor reused since.
class SocketLink : public ClientLink {
 public:
  explicit SocketLink(int fd) : fd_(fd) {}
  bool gone() const override {
    std::lock_guard lk(mu_);
    if (fd_ < 0) return true;
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if ((p.revents & (POLLHUP | POLLERR | POLLRDHUP)) != 0) return true;
    char c;
    const ssize_t n = ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
  }
  void close() {
    std::lock_guard lk(mu_);
    fd_ = -1;
  }

 private:
  mutable std::mutex mu_;
  int fd_;
};

// A read that ended because the peer went quiet, closed or reset, or the server stopped: nothing
// to answer, the connection just ends.
bool peer_gone(const boost::system::error_code& ec) {
  return ec == beast::error::timeout || ec == asio::error::eof || ec == http::error::end_of_stream ||
         ec == asio::error::operation_aborted || ec == asio::error::connection_reset;
}

}  // namespace


struct Server::Impl {
  const App& app;
  ServerConfig cfg;
  std::vector<std::unique_ptr<Loop>> loops;
  std::vector<std::thread> threads;
  std::atomic<std::size_t> connections{0};
  std::atomic<bool> stopping{false};
  // The grace is over: an answer not yet written is replaced by "shutting down".
  std::atomic<bool> grace_over{false};
  std::uint16_t port = 0;
  bool started = false;

  std::mutex mu;
  std::condition_variable cv;
  unsigned loops_running = 0;
  std::thread watchdog;

  Impl(const App& a, ServerConfig c) : app(a), cfg(std::move(c)) {}

  void bind_all();
  asio::awaitable<void> accept_loop(Loop& loop);
  // One request as read from the stream: the whole of it, or the refusal to answer it with
  // before closing; neither when the peer went quiet, closed or reset first. A refusal made on
  // the request's head keeps that head, so its answer earns the CORS fields the request's
  // origin may see.
  struct ReadOutcome {
    std::optional<Request> request;
    unsigned version = 11;
    bool keep_alive = false;
    std::optional<Response> refusal;
    Headers refused_head;
    std::string refused_path;
  };

  asio::awaitable<void> session(Loop& loop, tcp::socket socket);
  asio::awaitable<bool> await_request(beast::tcp_stream& stream, beast::flat_buffer& buffer);
  asio::awaitable<ReadOutcome> read_request(Loop& loop, beast::tcp_stream& stream, beast::flat_buffer& buffer,
                                            const std::string& peer);
  // The refusal of a request whose head was read, before its body is: its framing, a
  // request-target that is no path, or the App's admission (the route, the caller, the body's type).
  std::optional<Response> refuse_head(const http::request_parser<http::string_body>& parser, const Request& req) const;
  asio::awaitable<bool> read_body(beast::tcp_stream& stream, beast::flat_buffer& buffer,
                                  http::request_parser<http::string_body>& parser, ReadOutcome& out);
  asio::awaitable<void> refuse(beast::tcp_stream& stream, ReadOutcome refused);
  asio::awaitable<void> lingering_close(beast::tcp_stream& stream);
  static std::string_view origin_form(std::string_view target);
  // The decoded path of a request refused before it was read whole ("" when there is none).
  static std::string refused_path(const http::request_parser<http::string_body>& parser,
                                  const beast::flat_buffer& buffer);
  // The request as its head describes it (no body yet).
  Request request_of(Loop& loop, const http::request<http::string_body>& head, const std::string& peer) const;
  // Handles one whole request and writes its answer; false when the connection ends after it.
  asio::awaitable<bool> answer(Loop& loop, SessionSlot& slot, ReadOutcome read, std::shared_ptr<const ClientLink> link);
  asio::awaitable<void> answer_overdue(SessionSlot& slot);
  asio::awaitable<void> until_refused(Loop& loop, SessionSlot& slot);
  asio::awaitable<bool> write_response(beast::tcp_stream& stream, Response r, unsigned version, bool keep_alive,
                                       bool head);
  void sweep(Loop& loop);
  void refuse_overdue(Loop& loop);
};

void Server::Impl::bind_all() {
  unsigned n = cfg.threads != 0 ? cfg.threads : std::max(1u, std::thread::hardware_concurrency());
  tcp::endpoint ep = resolve_endpoint(cfg.host, cfg.port);
  // Probe without SO_REUSEPORT first: a port another process holds is an error, not a port we
  // silently share; with port 0 the probe also picks the port every loop then binds.
  {
    asio::io_context probe_ctx;
    tcp::acceptor probe(probe_ctx);
    boost::system::error_code ec;
    probe.open(ep.protocol(), ec);
    if (!ec) probe.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) probe.bind(ep, ec);
    if (ec)
      throw base::Error("cannot listen on " + cfg.host + ":" + std::to_string(cfg.port) + ": " + ec.message());
    port = probe.local_endpoint().port();
  }
  ep.port(port);
  for (unsigned i = 0; i < n; ++i) {
    auto loop = std::make_unique<Loop>();
    loop->index = i;
    loop->acceptor.emplace(loop->ioc);
    boost::system::error_code ec;
    auto& a = *loop->acceptor;
    a.open(ep.protocol(), ec);
    if (!ec) a.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) {
      int one = 1;
      if (::setsockopt(a.native_handle(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0)
        ec.assign(errno, boost::system::system_category());
    }
    if (!ec) a.bind(ep, ec);
    if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
      throw base::Error("cannot listen on " + cfg.host + ":" + std::to_string(port) + ": " + ec.message());
    loops.push_back(std::move(loop));
  }
}

asio::awaitable<void> Server::Impl::accept_loop(Loop& loop) {
  for (;;) {
    auto [ec, socket] = co_await loop.acceptor->async_accept(use_tuple);
    if (stopping.load()) co_return;
    if (ec) {
      if (ec == asio::error::operation_aborted) co_return;
      // Out of descriptors or a transient failure: back off briefly instead of spinning.
      asio::steady_timer pause(loop.ioc, std::chrono::milliseconds(50));
      co_await pause.async_wait(use_tuple);
      continue;
    }
    if (connections.load() >= cfg.max_connections) {
      // At the cap: told to come back in a moment, not left hanging.
      static constexpr std::string_view busy =
          "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nRetry-After: 1\r\nConnection: close\r\n\r\n";
      boost::system::error_code wec;
      socket.non_blocking(true, wec);
      socket.write_some(asio::buffer(busy), wec);
      socket.close(wec);
      continue;
    }
    connections.fetch_add(1);
    asio::co_spawn(loop.ioc, session(loop, std::move(socket)), asio::detached);
  }
}

asio::awaitable<bool> Server::Impl::write_response(beast::tcp_stream& stream, Response r, unsigned version,
                                                   bool keep_alive, bool head) {
  // A handler's status outside the final-answer range would break the stream: answer 500.
  const bool valid_status = r.status >= 200 && r.status <= 599;
  if (!valid_status) {
    Response fallback = text_response(500, "Internal Server Error");
    fallback.headers = std::move(r.headers);  // the CORS fields already added stay
    r = std::move(fallback);
  }
  unsigned status = r.status;
  bool no_body = status / 100 == 1 || status == 204 || status == 304;
  http::response<http::string_body> res;
  res.version(version);
  res.result(status);
  if (!r.content_type.empty() && safe_header_text(r.content_type)) res.set(http::field::content_type, r.content_type);
  for (const auto& [k, v] : r.headers.fields()) {
    if (k.empty() || !safe_header_text(k) || !safe_header_text(v)) continue;
    res.insert(k, v);
  }
  res.keep_alive(keep_alive);
  stream.expires_after(cfg.write_timeout);
  if (head) {
    // The answer to HEAD carries the length of the body it would have had, but no body.
    http::response<http::empty_body> hres{res.base()};
    if (!no_body) hres.content_length(r.body.size());
    auto [ec, n] = co_await http::async_write(stream, hres, use_tuple);
    co_return !ec;
  }
  if (!no_body) res.body() = std::move(r.body);  // a tile's bytes are moved, not copied
  res.prepare_payload();
  // 1xx, 204 and 304 carry no Content-Length (prepare_payload writes "0" for an empty body).
  if (no_body) res.erase(http::field::content_length);
  auto [ec, n] = co_await http::async_write(stream, res, use_tuple);
  co_return !ec;
}

// Idle keep-alive wait for the first byte of the next request; false when none came.
asio::awaitable<bool> Server::Impl::await_request(beast::tcp_stream& stream, beast::flat_buffer& buffer) {
  if (buffer.size() != 0) co_return true;
  stream.expires_after(cfg.idle_timeout);
  auto [ec, n] = co_await stream.async_read_some(buffer.prepare(4096), use_tuple);
  if (ec) co_return false;
  buffer.commit(n);
  co_return true;
}

asio::awaitable<Server::Impl::ReadOutcome> Server::Impl::read_request(Loop& loop, beast::tcp_stream& stream,
                                                                      beast::flat_buffer& buffer,
                                                                      const std::string& peer) {
  ReadOutcome out;
  http::request_parser<http::string_body> parser;
  parser.header_limit(static_cast<std::uint32_t>(cfg.max_header_bytes));
  parser.body_limit(cfg.max_body_bytes);
  // The whole head must arrive within the header deadline, however slowly it trickles.
  stream.expires_after(cfg.header_timeout);
  auto [hec, hn] = co_await http::async_read_header(stream, buffer, parser, use_tuple);
  if (hec == http::error::header_limit) {
    out.refusal = error_response(HttpError(431, "Request Header Fields Too Large"));
  } else if (hec == http::error::body_limit) {
    out.refusal = error_response(HttpError(413, "Request Entity Too Large"));
  } else if (hec) {
    if (peer_gone(hec)) co_return out;
    out.refusal = text_response(400, "Bad Request");
  }
  if (!out.refusal) {
    Request req = request_of(loop, parser.get(), peer);
    out.refusal = refuse_head(parser, req);
    if (out.refusal) {
      out.refused_head = req.headers;
    } else if (!parser.is_done()) {
      // Two statements, as in refuse(): GCC 12 mis-compiles a co_await inside the condition.
      const bool arrived = co_await read_body(stream, buffer, parser, out);
      if (!arrived) co_return out;
    }
    if (!out.refusal) {
      out.version = parser.get().version();
      out.keep_alive = keeps_alive(req.headers, out.version);
      req.body = std::move(parser.get().body());
      out.request = std::move(req);
      co_return out;
    }
  }
  out.refused_path = refused_path(parser, buffer);
  app.add_answer_fields(out.refused_path, *out.refusal);
  co_return out;
}

std::optional<Response> Server::Impl::refuse_head(const http::request_parser<http::string_body>& parser,
                                                  const Request& req) const {
  const unsigned version = parser.get().version();
  if (std::optional<HttpError> fault = framing_fault(req.headers, version)) return error_response(*fault);
  // HTTP/1.1 requires Host; a request without one is malformed.
  if (version == 11 && !req.headers.contains("Host")) return text_response(400, "Bad Request");
  const std::string_view target = origin_form(req.target);
  if (target.empty() || target.front() != '/') return text_response(400, "Bad Request");
  // A request the App would refuse anyway is refused before its body is read or invited.
  if (!parser.is_done()) return app.admit(req);
  return std::nullopt;
}

// The body of an admitted request, after "100 Continue" when the client waits for it; false when
// the peer went quiet, closed or reset first.
asio::awaitable<bool> Server::Impl::read_body(beast::tcp_stream& stream, beast::flat_buffer& buffer,
                                              http::request_parser<http::string_body>& parser, ReadOutcome& out) {
  if (beast::iequals(parser.get()[http::field::expect], "100-continue")) {
    static constexpr std::string_view cont = "HTTP/1.1 100 Continue\r\n\r\n";
    stream.expires_after(cfg.write_timeout);
    auto [cec, cn] = co_await asio::async_write(stream, asio::buffer(cont), use_tuple);
    if (cec) co_return false;
  }
  stream.expires_after(cfg.body_timeout);
  auto [bec, bn] = co_await http::async_read(stream, buffer, parser, use_tuple);
  if (bec == http::error::body_limit) {
    out.refusal = error_response(HttpError(413, "Request Entity Too Large"));
  } else if (bec) {
    if (peer_gone(bec)) co_return false;
    out.refusal = text_response(400, "Bad Request");
  }
  co_return true;
}

std::string Server::Impl::refused_path(const http::request_parser<http::string_body>& parser,
                                       const beast::flat_buffer& buffer) {
  // From the parsed head when the parser got that far, else from the request line still unread in
  // the buffer (a head past its limit is never parsed).
  std::string_view target = parser.get().target();
  if (target.empty()) {
    const std::string_view data(static_cast<const char*>(buffer.data().data()), buffer.size());
    const std::string_view line = data.substr(0, data.find_first_of("\r\n"));
    const std::size_t blank = line.find(' ');
    if (blank != std::string_view::npos) target = line.substr(blank + 1, line.find(' ', blank + 1) - blank - 1);
  }
  return parse_target(origin_form(target)).path;
}

asio::awaitable<void> Server::Impl::refuse(beast::tcp_stream& stream, ReadOutcome refused) {
  Response refusal = std::move(*refused.refusal);
  add_cors_headers(cfg.cors, refused.refused_head, refusal, app.origin_scope(refused.refused_path));
  // The rest of the stream cannot be trusted to hold a request boundary: answer and close.
  // Two statements on purpose: GCC 12 compiles `if (co_await ...) co_await ...;` here into a trap.
  const bool written = co_await write_response(stream, std::move(refusal), 11, false, false);
  if (written) co_await lingering_close(stream);
}

asio::awaitable<void> Server::Impl::lingering_close(beast::tcp_stream& stream) {
  // Stop sending, then read and drop what the client still sends for a moment, so that closing
  // with unread data (a reset) cannot destroy the answer in flight.
  boost::system::error_code sec;
  stream.socket().shutdown(tcp::socket::shutdown_send, sec);
  std::size_t drained = 0;
  char sink[4096];
  stream.expires_after(std::chrono::milliseconds(1000));  // one deadline for the whole drain
  while (drained < cfg.max_body_bytes + cfg.max_header_bytes) {
    auto [dec, dn] = co_await stream.async_read_some(asio::buffer(sink), use_tuple);
    if (dec) break;
    drained += dn;
  }
}

// Absolute-form targets (from proxies) are reduced to their path and query.
std::string_view Server::Impl::origin_form(std::string_view target) {
  if (target.starts_with("http://") || target.starts_with("https://")) {
    std::size_t slash = target.find('/', target.find("//") + 2);
    target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
  }
  return target;
}

Request Server::Impl::request_of(Loop& loop, const http::request<http::string_body>& head,
                                 const std::string& peer) const {
  Request req;
  req.method = std::string(head.method_string());
  req.target = std::string(head.target());
  ParsedTarget parsed = parse_target(origin_form(req.target));
  req.path = std::move(parsed.path);
  req.query_string = std::move(parsed.query_string);
  req.query = std::move(parsed.query);
  for (const auto& f : head) req.headers.add(std::string(f.name_string()), std::string(f.value()));
  req.peer_address = peer;
  req.executor = loop.ioc.get_executor();
  const std::optional<std::string> forwarded_for = req.headers.joined("X-Forwarded-For");
  req.client = resolve_client_host(peer, forwarded_for ? &*forwarded_for : nullptr, cfg.trusted_proxies);
  req.local = is_local_request(peer, req.headers, cfg.trusted_proxies, cfg.host);
  // Behind a trusted TLS-terminating proxy, redirects must keep the client's scheme.
  if (const std::string* proto = req.headers.find("X-Forwarded-Proto");
      proto != nullptr && is_trusted_proxy(cfg.trusted_proxies, peer)) {
    const std::string p = base::trim_blanks(base::ascii_lower(*proto));
    if (p == "http" || p == "https") req.scheme = p;
  }
  return req;
}

asio::awaitable<bool> Server::Impl::answer(Loop& loop, SessionSlot& slot, ReadOutcome read,
                                           std::shared_ptr<const ClientLink> link) {
  beast::tcp_stream& stream = *slot.stream;
  Request& req = *read.request;
  slot.stage = SessionSlot::Stage::Handling;
  slot.version = read.version;
  slot.head = req.method == "HEAD";
  // Which origins a route shares with matters only when CORS is on; tiles need not pay for it otherwise.
  slot.scope = cfg.cors.enabled() ? app.origin_scope(req.path) : OriginScope::listed;
  req.link = std::move(link);
  Response response;
  if (auto preflight = cors_preflight(cfg.cors, req.method, req.headers, slot.scope)) {
    response = std::move(*preflight);
    app.add_answer_fields(req.path, response);
  } else {
    // Runs to completion even when the client has gone; a handler that is about to start
    // long work asks req.link first.
    response = co_await app.dispatch(req);
  }
  if (slot.overdue) {
    // "Shutting down" went out in this answer's place; the connection ends once it is written.
    co_await until_refused(loop, slot);
    co_return false;
  }
  slot.stage = SessionSlot::Stage::Answering;
  if (grace_over.load()) response = shutting_down_response();
  add_cors_headers(cfg.cors, req.headers, response, slot.scope);
  const bool keep_alive = read.keep_alive && !stopping.load();
  bool ok = co_await write_response(stream, std::move(response), read.version, keep_alive, slot.head);
  co_return ok && keep_alive;
}

// Written beside a handler that is still running once the grace is over, so that its client has
// an answer whenever (or whether) the handler ends.
asio::awaitable<void> Server::Impl::answer_overdue(SessionSlot& slot) {
  Response r = shutting_down_response();
  add_cors_headers(cfg.cors, Headers{}, r, slot.scope);
  const bool written = co_await write_response(*slot.stream, std::move(r), slot.version, false, slot.head);
  boost::system::error_code ec;
  if (written) slot.stream->socket().shutdown(tcp::socket::shutdown_send, ec);
  slot.refusing = false;
  if (slot.refused) slot.refused->cancel();
}

asio::awaitable<void> Server::Impl::until_refused(Loop& loop, SessionSlot& slot) {
  if (!slot.refusing) co_return;
  asio::steady_timer done(loop.ioc, asio::steady_timer::time_point::max());
  slot.refused = &done;
  co_await done.async_wait(use_tuple);
  slot.refused = nullptr;
}

// Read, handle, write, for as long as the connection stays usable.
asio::awaitable<void> Server::Impl::session(Loop& loop, tcp::socket socket) {
  std::string peer = peer_text(socket);
  beast::tcp_stream stream(std::move(socket));
  auto slot = loop.sessions.insert(loop.sessions.end(), SessionSlot{.stream = &stream});
  beast::flat_buffer buffer;
  auto link = std::make_shared<SocketLink>(stream.socket().native_handle());
  try {
    for (;;) {
      slot->stage = SessionSlot::Stage::Idle;
      if (stopping.load() || !co_await await_request(stream, buffer)) break;
      slot->stage = SessionSlot::Stage::Reading;
      ReadOutcome read = co_await read_request(loop, stream, buffer, peer);
      // A request still arriving when the grace ran out was cut short: it is told why.
      if (!read.request && !read.refusal && slot->overdue) read.refusal = shutting_down_response();
      if (!read.request && !read.refusal) break;
      if (read.refusal) {
        slot->stage = SessionSlot::Stage::Answering;
        co_await refuse(stream, std::move(read));
        break;
      }
      if (!co_await answer(loop, *slot, std::move(read), link)) break;
    }
  } catch (const std::exception& e) {
    app.logger()->error("Connection from {} failed: {}", peer.empty() ? "unknown" : peer, e.what());
  }
  co_await until_refused(loop, *slot);
  link->close();
  boost::system::error_code ec;
  stream.socket().shutdown(tcp::socket::shutdown_send, ec);
  stream.socket().close(ec);
  loop.sessions.erase(slot);
  connections.fetch_sub(1);
}

// A stop: no new connection, and those waiting for a next request close; a request arriving or
// in hand goes on.
void Server::Impl::sweep(Loop& loop) {
  boost::system::error_code ec;
  if (loop.acceptor) loop.acceptor->close(ec);
  for (auto& s : loop.sessions)
    if (s.stage == SessionSlot::Stage::Idle) s.stream->cancel();
}

// The grace is over: a request still arriving is cut short and one still with its handler is
// answered "shutting down" now; either way its client hears why the connection ends.
void Server::Impl::refuse_overdue(Loop& loop) {
  for (auto& s : loop.sessions) {
    if (s.stage == SessionSlot::Stage::Reading) {
      s.overdue = true;
      s.stream->cancel();
    } else if (s.stage == SessionSlot::Stage::Handling && !s.overdue) {
      s.overdue = true;
      s.refusing = true;  // from now: the session keeps the stream until the answer is out
      asio::co_spawn(loop.ioc, answer_overdue(s), asio::detached);
    }
  }
}

Server::Server(const App& app, ServerConfig config) : impl_(std::make_unique<Impl>(app, std::move(config))) {}

Server::~Server() {
  if (impl_->started) {
    stop();
    wait();
  }
}

void Server::start() {
  Impl& im = *impl_;
  if (im.started) return;
  im.bind_all();
  im.started = true;
  im.loops_running = static_cast<unsigned>(im.loops.size());
  for (auto& lp : im.loops) {
    Loop* loop = lp.get();
    asio::co_spawn(loop->ioc, im.accept_loop(*loop), asio::detached);
    im.threads.emplace_back([&im, loop] {
      t_loop = loop;
      for (;;) {
        try {
          loop->ioc.run();
          break;
        } catch (const std::exception& e) {
          im.app.logger()->error("Event loop {} caught: {}", loop->index, e.what());
        }
      }
      t_loop = nullptr;
      std::lock_guard lk(im.mu);
      --im.loops_running;
      im.cv.notify_all();
    });
  }
}

void Server::stop() {
  Impl& im = *impl_;
  if (!im.started || im.stopping.exchange(true)) return;
  for (auto& lp : im.loops) {
    Loop* loop = lp.get();
    asio::post(loop->ioc, [&im, loop] { im.sweep(*loop); });
  }
  // Requests in flight get the grace period. Past it, those still in hand are answered "shutting
  // down", and the work they wait for is ended so that their handlers unwind while the loops still
  // run; a loop still busy after that is stopped.
  im.watchdog = std::thread([&im] {
    std::unique_lock lk(im.mu);
    auto ended = [&] { return im.loops_running == 0; };
    if (im.cv.wait_for(lk, im.cfg.shutdown_grace, ended)) return;
    im.grace_over.store(true);
    for (auto& lp : im.loops) {
      Loop* loop = lp.get();
      asio::post(loop->ioc, [&im, loop] { im.refuse_overdue(*loop); });
    }
    if (im.cfg.on_grace_expired) {
      lk.unlock();
      try {
        im.cfg.on_grace_expired();
      } catch (const std::exception& e) {
        im.app.logger()->error("Shutdown: ending the remaining work failed: {}", e.what());
      }
      lk.lock();
    }
    if (im.cv.wait_for(lk, im.cfg.cancel_grace, ended)) return;
    for (auto& lp : im.loops) lp->ioc.stop();
  });
}

void Server::wait() {
  Impl& im = *impl_;
  for (auto& t : im.threads)
    if (t.joinable()) t.join();
  if (im.watchdog.joinable()) im.watchdog.join();
}

void Server::run_until_signal() {
  // Watch the signals before the loops start, so an early SIGTERM still stops gracefully. A hang-up
  // (the terminal that started us closed) stops the same way, unless whoever started us asked for
  // hang-ups to be ignored (nohup): that wish is kept.
  asio::io_context signals_ctx;
  asio::signal_set signals(signals_ctx, SIGINT, SIGTERM);
  struct sigaction hangup {};
  if (::sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler != SIG_IGN) signals.add(SIGHUP);
  start();
  signals.async_wait([this](const boost::system::error_code& ec, int) {
    if (!ec) stop();
  });
  std::thread waiter([&] { signals_ctx.run(); });
  {
    std::unique_lock lk(impl_->mu);
    impl_->cv.wait(lk, [&] { return impl_->loops_running == 0; });
  }
  signals.cancel();
  signals_ctx.stop();
  waiter.join();
  wait();
}

std::uint16_t Server::port() const { return impl_->port; }
unsigned Server::loop_count() const { return static_cast<unsigned>(impl_->loops.size()); }
std::size_t Server::open_connections() const { return impl_->connections.load(); }

asio::io_context* current_loop() { return t_loop != nullptr ? &t_loop->ioc : nullptr; }
unsigned current_loop_index() { return t_loop != nullptr ? t_loop->index : 0; }

}  // namespace vekt::web
