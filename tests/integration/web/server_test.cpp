// The server over real sockets: keep-alive, limits, slow and idle clients, graceful shutdown.
#include "web/server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "base/error.hpp"
#include "support/http.hpp"

namespace {

using namespace vekt::web;
namespace asio = boost::asio;
using namespace std::chrono_literals;

// A blocking client socket whose every wait is bounded.
using Client = vekt::testing::Connection;

std::string get(const std::string& path, const std::string& extra = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: t\r\n" + extra + "\r\n";
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Router r;
    r.add({.method = "GET", .path = "/ping", .name = "ping", .handler = [](Request&) -> asio::awaitable<Response> {
             co_return text_response(200, "pong");
           }});
    r.add({.method = "GET", .path = "/slow", .name = "slow", .handler = [this](Request& req) -> asio::awaitable<Response> {
             started_.store(true);
             asio::steady_timer t(req.executor, 700ms);
             co_await t.async_wait(asio::use_awaitable);
             finished_.store(true);
             co_return text_response(200, "done");
           }});
    r.add({.method = "POST", .path = "/echo", .name = "echo", .handler = [](Request& req) -> asio::awaitable<Response> {
             co_return bytes_response(200, req.body, "application/octet-stream");
           }});
    // Takes JSON only, and only from the bearer of "ok".
    r.add({.method = "POST",
           .path = "/guarded",
           .name = "guarded",
           .handler = [](Request& req) -> asio::awaitable<Response> {
             co_return bytes_response(200, req.body, "application/json");
           },
           .json_body = true,
           .guard = [](const Request& req) {
             if (req.headers.get("Authorization") != "Bearer ok") throw HttpError(401, "Not authenticated");
           }});
    r.add({.method = "GET", .path = "/client", .name = "client", .handler = [](Request& req) -> asio::awaitable<Response> {
             co_return text_response(200, req.client_host());
           }});
    r.add({.method = "GET", .path = "/loop", .name = "loop", .handler = [](Request& req) -> asio::awaitable<Response> {
             bool same = current_loop() != nullptr && req.executor == current_loop()->get_executor();
             co_return text_response(200, same ? "same" : "other");
           }});
    r.add({.method = "GET", .path = "/empty", .name = "empty",
           .handler = [](Request&) -> asio::awaitable<Response> { co_return empty_response(204); }});
    r.add({.method = "GET", .path = "/bad-status", .name = "bad_status",
           .handler = [](Request&) -> asio::awaitable<Response> { co_return empty_response(42); }});
    app_.include_router(r);
    start(config());
  }
  static ServerConfig config() {
    ServerConfig cfg;
    cfg.port = 0;
    cfg.threads = 2;
    cfg.max_header_bytes = 2048;
    cfg.max_body_bytes = 1024;
    cfg.header_timeout = 1000ms;
    cfg.idle_timeout = 2500ms;
    cfg.body_timeout = 1000ms;
    cfg.max_connections = 24;
    cfg.shutdown_grace = 5000ms;
    return cfg;
  }
  void start(const ServerConfig& cfg) {
    if (server_) stop();
    server_ = std::make_unique<Server>(app_, cfg);
    server_->start();
    port_ = server_->port();
  }
  void stop() {
    server_->stop();
    server_->wait();
    server_.reset();
  }
  void TearDown() override { stop(); }

  std::optional<Client::Reply> once(const std::string& request) {
    Client c(port_);
    if (!c.connected() || !c.send(request)) return std::nullopt;
    return c.read_reply();
  }

  App app_;
  std::unique_ptr<Server> server_;
  std::uint16_t port_ = 0;
  std::atomic<bool> started_{false}, finished_{false};
};

TEST_F(ServerTest, KeepAliveAndPipelinedRequests) {
  Client c(port_);
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.send(get("/ping") + get("/gis/nothing") + get("/ping")));
  auto a = c.read_reply(), b = c.read_reply(), d = c.read_reply();
  ASSERT_TRUE(a && b && d);
  EXPECT_EQ(a->status, 200);
  EXPECT_EQ(a->body, "pong");
  EXPECT_NE(a->head.find("Content-Type: text/plain; charset=utf-8"), std::string::npos);
  EXPECT_EQ(b->status, 404);
  EXPECT_EQ(b->body, "{\"detail\":\"Not Found\"}");
  EXPECT_EQ(d->body, "pong");
}

TEST_F(ServerTest, EmptyAnswerHasNoFields) {
  Client c(port_);
  ASSERT_TRUE(c.send(get("/empty") + get("/ping")));
  auto e = c.read_reply();
  ASSERT_TRUE(e);
  EXPECT_EQ(e->status, 204);
  EXPECT_EQ(e->head.find("Content-Length"), std::string::npos) << e->head;
  EXPECT_EQ(e->head.find("Content-Type"), std::string::npos) << e->head;
  EXPECT_EQ(c.read_reply()->body, "pong");
}

TEST_F(ServerTest, HeadAnswersCarryNoBody) {
  Client c(port_);
  ASSERT_TRUE(c.send("HEAD /openapi.json HTTP/1.1\r\nHost: t\r\n\r\n" + get("/ping")));
  auto h = c.read_reply(true);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->status, 200);
  EXPECT_NE(h->head.find("Content-Length: "), std::string::npos);
  auto p = c.read_reply();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->body, "pong");  // the stream stayed in step
  ASSERT_TRUE(c.send("HEAD /ping HTTP/1.1\r\nHost: t\r\n\r\n" + get("/ping")));
  auto refused = c.read_reply(true);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 405);
  EXPECT_NE(refused->head.find("Allow: GET"), std::string::npos);
  EXPECT_EQ(c.read_reply()->body, "pong");
}

TEST_F(ServerTest, BodiesWithinAndBeyondTheLimit) {
  std::string body(1000, 'x');
  auto ok = once("POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 1000\r\n\r\n" + body);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  EXPECT_EQ(ok->body, body);

  auto cont = [&] {
    Client c(port_);
    c.send("POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\n");
    auto interim = c.read_reply();
    c.send("abc");
    auto final_reply = c.read_reply();
    return std::make_pair(interim, final_reply);
  }();
  ASSERT_TRUE(cont.first && cont.second);
  EXPECT_EQ(cont.first->status, 100);
  EXPECT_EQ(cont.second->body, "abc");

  auto big = once("POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'y'));
  ASSERT_TRUE(big);
  EXPECT_EQ(big->status, 413);
  auto chunked = once("POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n" "800\r\n" +
                      std::string(2048, 'z') + "\r\n0\r\n\r\n");
  ASSERT_TRUE(chunked);
  EXPECT_EQ(chunked->status, 413);
}

TEST_F(ServerTest, OversizedAndMalformedHeads) {
  auto big = once(get("/ping", "X-Big: " + std::string(4000, 'h') + "\r\n"));
  ASSERT_TRUE(big);
  EXPECT_EQ(big->status, 431);
  auto bad = once("NOT HTTP AT ALL\r\n\r\n");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  auto star = once("OPTIONS * HTTP/1.1\r\nHost: t\r\n\r\n");
  ASSERT_TRUE(star);
  EXPECT_EQ(star->status, 400);
  auto bad_status = once(get("/bad-status"));
  ASSERT_TRUE(bad_status);
  EXPECT_EQ(bad_status->status, 500);
  EXPECT_EQ(bad_status->body, "Internal Server Error");
  auto absolute = once("GET http://t/ping HTTP/1.1\r\nHost: t\r\n\r\n");
  ASSERT_TRUE(absolute);
  EXPECT_EQ(absolute->body, "pong");
  // HTTP/1.1 requires Host; HTTP/1.0 does not.
  auto no_host = once("GET /ping HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(no_host);
  EXPECT_EQ(no_host->status, 400);
  auto http10 = once("GET /ping HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(http10);
  EXPECT_EQ(http10->body, "pong");
}

// A head whose framing a proxy in front could read otherwise than we do is refused and its
// connection closed: the bytes after it (here a whole request) are never answered.
TEST_F(ServerTest, AmbiguousFramingIsRefusedAndNothingAfterItIsAnswered) {
  const std::string smuggled = get("/ping");
  struct Case {
    const char* head;  // after the request line
    int status;
  };
  const Case cases[] = {
      {"Transfer-Encoding: gzip\r\n", 400},
      {"Transfer-Encoding: identity\r\n", 400},
      {"Transfer-Encoding: chunked, identity\r\n", 400},
      {"Transfer-Encoding: chunked, chunked\r\n", 400},
      {"Transfer-Encoding: xchunked\r\n", 400},
      {"Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n", 400},
      {"Transfer-Encoding: gzip, chunked\r\n", 501},
      {"Transfer-Encoding: gzip\r\nContent-Length: 5\r\n", 400},
      {"Content-Length: 5\r\nTransfer-Encoding: gzip\r\n", 400},
      {"Transfer-Encoding: chunked\r\nContent-Length: 5\r\n", 400},
      {"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", 400},
      {"Content-Length: 3\r\nContent-Length: 5\r\n", 400},
      {"Content-Length: 3, 5\r\n", 400},
      {"Host: u\r\n", 400},
      {"X-Host: u\r\nHOST: u\r\n", 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    Client client(port_);
    ASSERT_TRUE(client.send(std::string("POST /echo HTTP/1.1\r\nHost: t\r\n") + c.head + "\r\n" + smuggled));
    auto r = client.read_reply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->head << r->body;
    EXPECT_NE(r->head.find("Connection: close\r\n"), std::string::npos) << r->head;
    EXPECT_EQ(client.read_to_end(), "");
  }
  // HTTP/1.0 knows no transfer codings; a Host must be one.
  const std::string others[] = {
      "POST /echo HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
      "GET /ping/ HTTP/1.1\r\nHost: evil.example/path?\r\n\r\n",
      "GET /ping/ HTTP/1.1\r\nHost: a b\r\n\r\n",
      "GET /ping HTTP/1.1\r\nHost: t:80x\r\n\r\n",
      "GET /ping HTTP/1.1\r\nHost: [::1\r\n\r\n",
      "GET /ping HTTP/1.1\r\nHost: u@t\r\n\r\n",
  };
  for (const std::string& request : others) {
    SCOPED_TRACE(request);
    Client client(port_);
    ASSERT_TRUE(client.send(request + smuggled));
    auto r = client.read_reply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << r->head << r->body;
    EXPECT_EQ(r->head.find("Location"), std::string::npos) << r->head;
    EXPECT_EQ(client.read_to_end(), "");
  }
  // Framing that is clear is still served: a chunked body, and one Content-Length given twice.
  auto chunked = once("POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: Chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n");
  ASSERT_TRUE(chunked);
  EXPECT_EQ(chunked->body, "abc");
  auto twice = once("POST /echo HTTP/1.1\r\nHost: [::1]:80\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc");
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->body, "abc");
}

// "close" ends the connection whichever Connection line carries it.
TEST_F(ServerTest, ConnectionIsReadAsAListOverEveryLine) {
  struct Case {
    const char* request;
    bool stays_open;
  };
  const Case cases[] = {
      {"GET /ping HTTP/1.1\r\nHost: t\r\nConnection: keep-alive\r\nConnection: close\r\n\r\n", false},
      {"GET /ping HTTP/1.1\r\nHost: t\r\nConnection: te\r\nConnection: keep-alive, Close\r\n\r\n", false},
      {"GET /ping HTTP/1.0\r\nConnection: x-other\r\nConnection: keep-alive\r\n\r\n", true},
      {"GET /ping HTTP/1.0\r\n\r\n", false},
      {"GET /ping HTTP/1.1\r\nHost: t\r\nConnection: keep-alive\r\n\r\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    Client client(port_);
    ASSERT_TRUE(client.send(std::string(c.request) + get("/ping")));
    auto first = client.read_reply();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->body, "pong");
    if (c.stays_open) {
      auto second = client.read_reply();
      ASSERT_TRUE(second);
      EXPECT_EQ(second->body, "pong");
    } else {
      // HTTP/1.0 closes unless asked otherwise; HTTP/1.1 says so.
      if (first->head.starts_with("HTTP/1.1")) {
        EXPECT_NE(first->head.find("Connection: close\r\n"), std::string::npos) << first->head;
      }
      EXPECT_EQ(client.read_to_end(), "");
    }
  }
}

// A request the server refuses on its head gets that answer at once, not "100 Continue": its body
// is never invited nor read, and its connection ends.
TEST_F(ServerTest, ExpectContinueOnlyForARequestThatWillBeRead) {
  struct Case {
    const char* head;
    int status;
  };
  const Case cases[] = {
      {"POST /guarded HTTP/1.1\r\nHost: t\r\nContent-Type: application/json\r\n", 401},
      {"POST /nowhere HTTP/1.1\r\nHost: t\r\n", 404},
      {"POST /ping HTTP/1.1\r\nHost: t\r\n", 405},
      {"POST /guarded HTTP/1.1\r\nHost: t\r\nAuthorization: Bearer ok\r\nContent-Type: text/plain\r\n", 415},
      {"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 5000\r\n", 413},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    Client client(port_);
    std::string head = c.head;
    if (head.find("Content-Length") == std::string::npos) head += "Content-Length: 3\r\n";
    ASSERT_TRUE(client.send(head + "Expect: 100-continue\r\n\r\n"));
    auto r = client.read_reply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->head << r->body;
    EXPECT_NE(r->head.find("Connection: close\r\n"), std::string::npos) << r->head;
    EXPECT_TRUE(client.closed_by_peer());
  }
  Client welcome(port_);
  ASSERT_TRUE(welcome.send("POST /guarded HTTP/1.1\r\nHost: t\r\nAuthorization: Bearer ok\r\n"
                           "Content-Type: application/json; charset=utf-8\r\nContent-Length: 2\r\n"
                           "Expect: 100-continue\r\n\r\n"));
  auto interim = welcome.read_reply();
  ASSERT_TRUE(interim);
  EXPECT_EQ(interim->status, 100);
  ASSERT_TRUE(welcome.send("{}"));
  auto done = welcome.read_reply();
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 200);
  EXPECT_EQ(done->body, "{}");
}

TEST_F(ServerTest, SlowClientIsCutOffWhileOthersAreServed) {
  Client slow(port_);
  ASSERT_TRUE(slow.send("GET /ping HTTP/1.1\r\n"));
  std::atomic<bool> stop{false};
  std::thread trickle([&] {
    // One header byte at a time: never completes the head, never idle long enough to look idle.
    while (!stop.load() && slow.send("X")) std::this_thread::sleep_for(100ms);
  });
  for (int i = 0; i < 5; ++i) {
    auto r = once(get("/ping"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "pong");
  }
  EXPECT_TRUE(slow.closed_by_peer());
  stop.store(true);
  trickle.join();
}

TEST_F(ServerTest, IdleConnectionsAreClosedAndTheLimitHolds) {
  // Deadlines long enough that the flood is still open when the limit is probed on a loaded machine:
  // a connection that never sends a byte is cut at the header deadline.
  ServerConfig cfg = config();
  cfg.header_timeout = 4000ms;
  cfg.idle_timeout = 4000ms;
  start(cfg);
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 20; ++i) {
    idle.push_back(std::make_unique<Client>(port_));
    ASSERT_TRUE(idle.back()->connected());
  }
  // Below the limit, other clients are still served.
  auto r = once(get("/ping"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "pong");
  // Fill up to the limit: a further connection is refused with 503, not queued.
  for (int i = 0; i < 10; ++i) idle.push_back(std::make_unique<Client>(port_));
  // Connections complete in the kernel before the server accepts them: wait until it holds the limit.
  for (int attempt = 0; attempt < 100 && server_->open_connections() < cfg.max_connections; ++attempt)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(server_->open_connections(), cfg.max_connections);
  {
    Client extra(port_);
    extra.send(get("/ping"));
    auto refused = extra.read_reply();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);
  }
  // The idle ones are closed by the server, which then serves again.
  for (auto& c : idle) EXPECT_TRUE(c->closed_by_peer());
  idle.clear();
  for (int attempt = 0; attempt < 50 && server_->open_connections() != 0; ++attempt)
    std::this_thread::sleep_for(50ms);
  auto again = once(get("/ping"));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->body, "pong");
}

TEST_F(ServerTest, GracefulShutdownFinishesTheRequestInFlight) {
  Client c(port_);
  ASSERT_TRUE(c.send(get("/slow")));
  Client idle(port_);
  ASSERT_TRUE(idle.connected());
  for (int i = 0; i < 200 && !started_.load(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(started_.load());
  server_->stop();
  auto r = c.read_reply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "done");
  EXPECT_NE(r->head.find("Connection: close"), std::string::npos);
  EXPECT_TRUE(c.closed_by_peer());
  EXPECT_TRUE(idle.closed_by_peer());
  server_->wait();
  Client late(port_);
  EXPECT_FALSE(late.connected());
}

// A request still with its handler when the grace runs out, and one still arriving, are both
// answered "shutting down" and closed; the handler runs on to its end before the loops stop, and
// its own answer is never written after that one.
TEST_F(ServerTest, GracefulShutdownAnswersWhatCannotFinishWithinTheGrace) {
  ServerConfig cfg = config();
  cfg.shutdown_grace = 200ms;
  start(cfg);
  Client arriving(port_);
  ASSERT_TRUE(arriving.send("GET /ping HTTP/1.1\r\nHost: t\r\n"));  // the head is not complete yet
  Client handling(port_);
  ASSERT_TRUE(handling.send(get("/slow")));
  for (int i = 0; i < 200 && !started_.load(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(started_.load());
  std::this_thread::sleep_for(50ms);  // the partial head has reached its loop
  server_->stop();
  for (Client* c : {&handling, &arriving}) {
    SCOPED_TRACE(c == &handling ? "handling" : "arriving");
    auto r = c->read_reply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503);
    EXPECT_EQ(r->body, R"({"detail":"The server is shutting down"})");
    EXPECT_NE(r->head.find("Retry-After: 5\r\n"), std::string::npos) << r->head;
    EXPECT_NE(r->head.find("Connection: close\r\n"), std::string::npos) << r->head;
    EXPECT_NE(r->head.find("Cache-Control: no-store\r\n"), std::string::npos) << r->head;
    EXPECT_TRUE(c->closed_by_peer());
  }
  server_->wait();
  EXPECT_TRUE(finished_.load());
}

TEST_F(ServerTest, HandlerRunsToCompletionWhenTheClientLeaves) {
  {
    Client c(port_);
    ASSERT_TRUE(c.send(get("/slow")));
    for (int i = 0; i < 200 && !started_.load(); ++i) std::this_thread::sleep_for(10ms);
  }
  for (int i = 0; i < 300 && !finished_.load(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(finished_.load());
  auto r = once(get("/ping"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "pong");
}

TEST_F(ServerTest, ClientAddressAndLoopExecutor) {
  EXPECT_EQ(once(get("/client"))->body, "127.0.0.1");
  EXPECT_EQ(once(get("/client", "X-Forwarded-For: 6.6.6.6, 203.0.113.7\r\n"))->body, "203.0.113.7");
  EXPECT_EQ(once(get("/client", "X-Forwarded-For: 6.6.6.6\r\nX-Forwarded-For: 203.0.113.8\r\n"))->body,
            "203.0.113.8");
  EXPECT_EQ(once(get("/loop"))->body, "same");
  // The trailing-slash redirect names the host the client used, and the scheme a trusted proxy saw.
  auto redirect = once(get("/ping/?a=1", "X-Forwarded-Proto: HTTPS\r\n"));
  ASSERT_TRUE(redirect);
  EXPECT_EQ(redirect->status, 307);
  EXPECT_NE(redirect->head.find("Location: https://t/ping?a=1\r\n"), std::string::npos) << redirect->head;
  EXPECT_EQ(server_->loop_count(), 2u);
}

TEST(ServerBind, PortInUseIsAnError) {
  App app;
  ServerConfig cfg;
  cfg.port = 0;
  cfg.threads = 1;
  Server first(app, cfg);
  first.start();
  cfg.port = first.port();
  Server second(app, cfg);
  EXPECT_THROW(second.start(), vekt::base::Error);
}

}  // namespace
