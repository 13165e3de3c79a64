#pragma once
// An asynchronous Redis client on Asio. hiredis does the protocol (binary-safe command formatting
// with explicit lengths, the reply reader); Asio owns the sockets.
//
// One Client is created at start-up and shared by every coroutine of every event loop: it keeps one
// connection pool per loop (per io_context), so commands take no lock. The pool grows on demand up to
// `pool_size` connections per loop; no connection is opened until the first command.
//
// On connect: AUTH when a password is given (AUTH user password with a user name, else AUTH password),
// then SELECT when db is not 0. Values are bytes (std::string) in and out, never decoded.
//
// Failures are redis::Error: an error reply carries Redis's own message; connect failures, time-outs
// and protocol errors say what failed. A connection whose command failed at the connection level,
// timed out, was cancelled or read a malformed reply is closed and never reused, so a late reply can
// never answer another command. Waiting for a free connection counts against the caller's time limit
// (cancel the command, e.g. with base::with_timeout) and is bounded by connect_timeout.
//
// With a failure back-off set, a command that fails at the connection level (including one its caller
// cancelled because it waited too long) makes the client refuse every command at once, without I/O,
// for that long; then one command goes through as a probe, and its outcome closes the back-off or
// starts it again. The state is shared by every loop: there is one server behind them all.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "base/blocking_pool.hpp"
#include "base/error.hpp"

namespace vekt::redis {

class Error : public base::Error {
 public:
  using base::Error::Error;
};

// A reply's value, converted out of hiredis. `str` holds the bytes of a bulk string, a status or an
// error text; `integer` an integer reply; `elements` an array's members.
struct Reply {
  enum class Type { String, Array, Integer, Nil, Status, Error };
  Type type = Type::Nil;
  std::string str;
  long long integer = 0;
  std::vector<Reply> elements;

  bool is_nil() const { return type == Type::Nil; }
  bool is_error() const { return type == Type::Error; }
};

struct Options {
  std::string host = "localhost";
  int port = 6379;
  int db = 0;
  std::optional<std::string> username;
  std::optional<std::string> password;
  std::chrono::milliseconds connect_timeout{5000};  // resolve + connect; also bounds a wait for the pool
  std::chrono::milliseconds socket_timeout{5000};   // each write and each read (AUTH and SELECT too)
  std::size_t pool_size = 256;                      // connections per event loop
  std::chrono::milliseconds failure_backoff{0};     // 0: every command tries the server
};

struct ScanPage {
  std::string cursor;              // "0" when the iteration is complete
  std::vector<std::string> keys;
};

using Argv = std::vector<std::string>;

class Client {
 public:
  // `helpers` looks host names up off the event loops; it must outlive the Client. Without one,
  // base::shared_blocking_pool().
  Client(Options options, base::BlockingPool& helpers);
  explicit Client(Options options = {});
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const Options& options() const;

  // True while commands are refused after a failure (the probe not yet answered).
  bool backing_off() const;

  // Every command must be awaited on the event loop whose pool it uses (the current executor's).
  // Arguments are taken by value (coroutine parameters).

  // One command, its reply; an error reply throws redis::Error with Redis's message.
  boost::asio::awaitable<Reply> command(Argv argv);

  // Several commands written in one go and their replies read in order (one round trip). Error
  // replies stay in the vector (Reply::Type::Error); only connection-level failures throw.
  boost::asio::awaitable<std::vector<Reply>> pipeline(std::vector<Argv> commands);

  boost::asio::awaitable<std::optional<std::string>> get(std::string key);
  // SET key value [EX seconds]; returns nothing (the "OK" is not passed on).
  boost::asio::awaitable<void> set(std::string key, std::string value,
                                   std::optional<long long> ex_seconds = std::nullopt);
  boost::asio::awaitable<long long> del(std::vector<std::string> keys);
  boost::asio::awaitable<long long> incr(std::string key);
  // EXPIRE key seconds; true when the expiry was set (reply 1).
  boost::asio::awaitable<bool> expire(std::string key, long long seconds);
  // SCAN cursor [MATCH pattern] [COUNT count] (an empty match or a count of 0 leaves that option out).
  boost::asio::awaitable<ScanPage> scan(std::string cursor, std::string match = {}, long long count = 0);
  boost::asio::awaitable<Reply> eval(std::string script, std::vector<std::string> keys,
                                     std::vector<std::string> args);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace vekt::redis
