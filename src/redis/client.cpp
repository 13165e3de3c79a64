#include "redis/client.hpp"

#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>
#include <hiredis/hiredis.h>

#include "base/c_handle.hpp"
#include "base/conn_pool.hpp"
#include "base/lookup.hpp"
#include "base/timer_race.hpp"
#include "redis/script.hpp"

namespace vekt::redis {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// The reader builds our Reply objects itself: a value's bytes are copied once, from the reader's
// buffer into the Reply, with no hiredis reply in between. An array's members are made in place in
// their parent, which the reader sizes before it reads them.
Reply* place(const redisReadTask* task) {
  if (task->parent == nullptr) return new Reply;
  auto* parent = static_cast<Reply*>(task->parent->obj);
  return &parent->elements[static_cast<size_t>(task->idx)];
}

void* create_string(const redisReadTask* task, char* str, size_t len) {
  Reply* r = place(task);
  r->type = task->type == REDIS_REPLY_ERROR    ? Reply::Type::Error
            : task->type == REDIS_REPLY_STATUS ? Reply::Type::Status
                                               : Reply::Type::String;
  r->str.assign(str, len);
  return r;
}

void* create_array(const redisReadTask* task, int elements) {
  Reply* r = place(task);
  r->type = Reply::Type::Array;
  r->elements.resize(elements > 0 ? static_cast<size_t>(elements) : 0);
  return r;
}

void* create_integer(const redisReadTask* task, long long value) {
  Reply* r = place(task);
  r->type = Reply::Type::Integer;
  r->integer = value;
  return r;
}

void* create_nil(const redisReadTask* task) {
  Reply* r = place(task);
  r->type = Reply::Type::Nil;
  return r;
}

// The reader frees only a whole reply it still holds (after a protocol error, or when it is freed).
void free_reply(void* reply) { delete static_cast<Reply*>(reply); }

redisReplyObjectFunctions REPLY_FUNCTIONS{create_string, create_array, create_integer, create_nil, free_reply};

redisReader* make_reader() {
  redisReader* r = redisReaderCreateWithFunctions(&REPLY_FUNCTIONS);
  // Keep the reader's buffer between replies: tiles are tens of kilobytes, and the default would
  // free and grow it again for every one of them.
  if (r != nullptr) r->maxbuf = 0;
  return r;
}

std::string format_command(const Argv& argv) {
  std::vector<const char*> ptrs;
  std::vector<size_t> lens;
  ptrs.reserve(argv.size());
  lens.reserve(argv.size());
  for (const auto& a : argv) {
    ptrs.push_back(a.data());
    lens.push_back(a.size());
  }
  char* cmd = nullptr;
  int n = redisFormatCommandArgv(&cmd, static_cast<int>(argv.size()), ptrs.data(), lens.data());
  if (n < 0 || cmd == nullptr) throw Error("Could not format the Redis command");
  std::string out(cmd, static_cast<size_t>(n));
  redisFreeCommand(cmd);
  return out;
}

[[noreturn]] void throw_cancelled() {
  throw boost::system::system_error(asio::error::operation_aborted);
}

}  // namespace

// One connection: its socket, its reply reader and a timer for the socket time-out.
struct Connection {
  explicit Connection(const asio::any_io_executor& ex)
      : sock(ex), timer(ex), reader(make_reader()) {
    if (!reader) throw Error("Could not create a Redis reply reader");
  }
  tcp::socket sock;
  asio::steady_timer timer;
  base::CHandle<redisReader, redisReaderFree> reader;
  std::array<char, 32768> buf{};
};

namespace {

// An idle pooled connection is usable when its peer has not closed it and nothing is waiting to be
// read (a reply nobody asked for means the stream is out of step).
bool idle_alive(Connection& c) {
  if (!c.sock.is_open()) return false;
  char b;
  ssize_t n = ::recv(c.sock.native_handle(), &b, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return false;
  if (n > 0) return false;
  return errno == EAGAIN || errno == EWOULDBLOCK;
}

using RedisPool = base::Pool<Connection>;

}  // namespace

struct Client::Impl {
  Options options;
  base::BlockingPool* helpers = nullptr;
  std::uint64_t id = base::next_pool_owner_id();
  std::string endpoint;  // "host:port" for messages

  // The failure back-off: until `closed_until` (steady clock, ns; 0 when no failure is pending)
  // commands are refused; after it, the first command to arrive claims `probing` and goes through.
  std::atomic<std::int64_t> closed_until{0};
  std::atomic<bool> probing{false};

  static std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
  }

  // Throws when this command must not reach the server now.
  void gate() {
    if (options.failure_backoff.count() <= 0) return;
    const std::int64_t until = closed_until.load(std::memory_order_acquire);
    if (until == 0) return;
    if (now_ns() >= until && !probing.exchange(true, std::memory_order_acq_rel)) return;
    throw Error("Redis unavailable after a failure at " + endpoint + "; retrying shortly");
  }
  void succeeded() {
    if (options.failure_backoff.count() <= 0) return;
    if (closed_until.load(std::memory_order_relaxed) != 0) {
      closed_until.store(0, std::memory_order_release);
      probing.store(false, std::memory_order_release);
    }
  }
  void failed() {
    if (options.failure_backoff.count() <= 0) return;
    closed_until.store(now_ns() + std::chrono::duration_cast<std::chrono::nanoseconds>(options.failure_backoff).count(),
                       std::memory_order_release);
    probing.store(false, std::memory_order_release);
  }

  std::shared_ptr<RedisPool> pool(const asio::any_io_executor& ex) {
    std::size_t n = options.pool_size;
    return base::loop_pool<RedisPool>(
        ex, id, [n] { return std::make_shared<RedisPool>(n, [](Connection& c) { return idle_alive(c); }); });
  }

  // Writes `data` within the socket time-out.
  asio::awaitable<void> write(Connection& c, const std::string& data) {
    c.timer.expires_after(options.socket_timeout);
    const auto raced = co_await base::race_timer(asio::async_write(c.sock, asio::buffer(data), asio::deferred), c.timer);
    if (raced.cancelled()) throw_cancelled();
    if (raced.timed_out()) throw Error("Timeout writing to socket");
    if (const auto ec = std::get<0>(raced.results)) throw Error("Error while writing to socket. " + ec.message() + ".");
  }

  // Reads one complete reply; each read waits at most the socket time-out.
  asio::awaitable<Reply> read_reply(Connection& c) {
    for (;;) {
      void* raw = nullptr;
      if (redisReaderGetReply(c.reader.get(), &raw) != REDIS_OK) {
        throw Error(std::string("Protocol error: ") + c.reader->errstr);
      }
      if (raw != nullptr) {
        std::unique_ptr<Reply> r(static_cast<Reply*>(raw));
        co_return std::move(*r);
      }
      c.timer.expires_after(options.socket_timeout);
      const auto raced = co_await base::race_timer(c.sock.async_read_some(asio::buffer(c.buf), asio::deferred), c.timer);
      if (raced.cancelled()) throw_cancelled();
      if (raced.timed_out()) throw Error("Timeout reading from socket");
      const auto [ec, n] = raced.results;
      if (ec == asio::error::eof) throw Error("Connection closed by server.");
      if (ec) throw Error("Error while reading from socket: " + ec.message());
      if (redisReaderFeed(c.reader.get(), c.buf.data(), n) != REDIS_OK) {
        throw Error(std::string("Protocol error: ") + c.reader->errstr);
      }
    }
  }

  asio::awaitable<Reply> roundtrip(Connection& c, const Argv& argv) {
    co_await write(c, format_command(argv));
    co_return co_await read_reply(c);
  }

  asio::awaitable<std::unique_ptr<Connection>> connect() {
    auto ex = co_await asio::this_coro::executor;
    auto c = std::make_unique<Connection>(ex);
    asio::steady_timer deadline(ex, options.connect_timeout);
    {
      // The name is looked up off the loop, within the connect limit (the timer above runs meanwhile).
      std::vector<tcp::endpoint> endpoints;
      if (options.port < 0 || options.port > 65535)
        throw Error("Error connecting to " + endpoint + ". Invalid port.");
      try {
        for (const auto& a : co_await base::lookup_host(*helpers, options.host, options.connect_timeout))
          endpoints.emplace_back(a, static_cast<unsigned short>(options.port));
      } catch (const base::LookupError& e) {
        if (e.timed_out) throw Error("Timeout connecting to server");
        throw Error("Error connecting to " + endpoint + ". " + e.what() + ".");
      }
      const auto raced = co_await base::race_timer(asio::async_connect(c->sock, endpoints, asio::deferred), deadline);
      if (raced.cancelled()) throw_cancelled();
      if (raced.timed_out()) throw Error("Timeout connecting to server");
      if (const auto ec2 = std::get<0>(raced.results)) {
        throw Error("Error " + std::to_string(ec2.value()) + " connecting to " + endpoint + ". " +
                    ec2.message() + ".");
      }
    }
    c->sock.set_option(tcp::no_delay(true));
    // A user name or a password (either non-empty) authenticates: as that user (with an empty password
    // when none is given), or as the default user with the password alone. A server older than ACLs
    // knows only the one-argument form, so a user name it cannot take falls back to the password.
    const bool has_user = options.username && !options.username->empty();
    const bool has_password = options.password && !options.password->empty();
    if (has_user || has_password) {
      const std::string password = options.password.value_or("");
      Argv auth{"AUTH"};
      if (has_user) auth.push_back(*options.username);
      auth.push_back(password);
      Reply r = co_await roundtrip(*c, auth);
      if (has_user && r.is_error() && r.str.find("wrong number of arguments") != std::string::npos) {
        Argv legacy{"AUTH", password};
        r = co_await roundtrip(*c, legacy);
      }
      if (r.is_error()) throw Error(r.str);
    }
    if (options.db != 0) {
      Argv select{"SELECT", std::to_string(options.db)};
      Reply r = co_await roundtrip(*c, select);
      if (r.is_error()) throw Error(r.str);
    }
    co_return c;
  }

  asio::awaitable<RedisPool::Lease> lease() {
    auto ex = co_await asio::this_coro::executor;
    auto p = pool(ex);
    RedisPool::Lease l = co_await p->acquire(options.connect_timeout, [] { throw Error("Too many connections"); });
    if (!l.has_connection()) l.set(co_await connect());
    co_return l;
  }
};

Client::Client(Options options, base::BlockingPool& helpers) : impl_(std::make_shared<Impl>()) {
  impl_->options = std::move(options);
  impl_->helpers = &helpers;
  impl_->endpoint = impl_->options.host + ":" + std::to_string(impl_->options.port);
}

Client::Client(Options options) : Client(std::move(options), base::shared_blocking_pool()) {}

Client::~Client() = default;

const Options& Client::options() const { return impl_->options; }

bool Client::backing_off() const { return impl_->closed_until.load(std::memory_order_acquire) != 0; }

asio::awaitable<Reply> Client::command(Argv argv) {
  auto impl = impl_;
  std::vector<Argv> one;
  one.push_back(std::move(argv));
  std::vector<Reply> replies = co_await pipeline(std::move(one));
  if (replies.front().is_error()) throw Error(replies.front().str);
  co_return std::move(replies.front());
}

asio::awaitable<std::vector<Reply>> Client::pipeline(std::vector<Argv> commands) {
  auto impl = impl_;
  std::vector<Reply> out;
  if (commands.empty()) co_return out;
  std::string data;
  for (const auto& a : commands) data += format_command(a);
  impl->gate();
  try {
    auto l = co_await impl->lease();
    co_await impl->write(*l, data);
    out.reserve(commands.size());
    for (size_t i = 0; i < commands.size(); ++i) out.push_back(co_await impl->read_reply(*l));
    l.give_back();
  } catch (...) {
    impl->failed();
    throw;
  }
  impl->succeeded();
  co_return out;
}

asio::awaitable<std::optional<std::string>> Client::get(std::string key) {
  Argv argv{"GET", std::move(key)};
  Reply r = co_await command(std::move(argv));
  if (r.is_nil()) co_return std::nullopt;
  if (r.type != Reply::Type::String) throw Error("Unexpected reply to GET");
  co_return std::move(r.str);
}

asio::awaitable<void> Client::set(std::string key, std::string value, std::optional<long long> ex_seconds) {
  Argv argv{"SET", std::move(key), std::move(value)};
  if (ex_seconds) {
    argv.emplace_back("EX");
    argv.push_back(std::to_string(*ex_seconds));
  }
  co_await command(std::move(argv));
}

asio::awaitable<long long> Client::del(std::vector<std::string> keys) {
  if (keys.empty()) co_return 0;
  Argv argv;
  argv.reserve(keys.size() + 1);
  argv.emplace_back("DEL");
  for (auto& k : keys) argv.push_back(std::move(k));
  Reply r = co_await command(std::move(argv));
  co_return r.integer;
}

asio::awaitable<long long> Client::incr(std::string key) {
  Argv argv{"INCR", std::move(key)};
  Reply r = co_await command(std::move(argv));
  co_return r.integer;
}

asio::awaitable<bool> Client::expire(std::string key, long long seconds) {
  Argv argv{"EXPIRE", std::move(key), std::to_string(seconds)};
  Reply r = co_await command(std::move(argv));
  co_return r.integer == 1;
}

asio::awaitable<ScanPage> Client::scan(std::string cursor, std::string match, long long count) {
  Argv argv{"SCAN", std::move(cursor)};
  if (!match.empty()) {
    argv.emplace_back("MATCH");
    argv.push_back(std::move(match));
  }
  if (count > 0) {
    argv.emplace_back("COUNT");
    argv.push_back(std::to_string(count));
  }
  Reply r = co_await command(std::move(argv));
  if (r.type != Reply::Type::Array || r.elements.size() != 2 ||
      r.elements[1].type != Reply::Type::Array)
    throw Error("Unexpected reply to SCAN");
  ScanPage page;
  page.cursor = std::move(r.elements[0].str);
  page.keys.reserve(r.elements[1].elements.size());
  for (auto& k : r.elements[1].elements) page.keys.push_back(std::move(k.str));
  co_return page;
}

asio::awaitable<Reply> Client::eval(std::string script, std::vector<std::string> keys,
                                    std::vector<std::string> args) {
  co_return co_await command(script_command("EVAL", script, keys, args));
}

}  // namespace vekt::redis
