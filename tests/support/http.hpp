#pragma once
// The tests' HTTP client: a blocking loopback connection whose every wait is bounded, and one
// request on a fresh connection built on it.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vekt::testing {

// Which loopback address a connection comes from and goes to.
enum class Loopback { v4, v6 };  // 127.0.0.1, ::1

// A client socket to 127.0.0.1:`port` (or [::1]:`port`), for tests that speak the wire themselves
// (keep-alive, requests sent in pieces, a peer that closes).
class Connection {
 public:
  explicit Connection(int port, std::chrono::seconds wait = std::chrono::seconds(15), Loopback over = Loopback::v4);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void close();
  bool connected() const { return connected_; }
  bool send(std::string_view data);
  // One response: status line and headers, then Content-Length bytes (none for HEAD).
  struct Reply {
    int status = 0;
    std::string head;
    std::string body;
  };
  std::optional<Reply> read_reply(bool head_only = false);
  // Everything until the server closes the connection (or the bounded wait ends).
  std::string read_to_end();
  // True when the server closed the connection (EOF or reset) before the bounded wait ended.
  bool closed_by_peer();

 private:
  bool fill();
  int fd_ = -1;
  bool connected_ = false;
  std::string buf_;
};

struct HttpResponse {
  int status = 0;
  std::string head;  // the status line and the header lines, as they came
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // chunked bodies joined
  std::optional<std::string> header(const std::string& name) const;  // case-insensitive
};

// One request on a fresh connection ("Connection: close"); a body goes as JSON unless `headers`
// give its Content-Type.
HttpResponse http(int port, const std::string& method, const std::string& target,
                  const std::vector<std::pair<std::string, std::string>>& headers = {},
                  const std::string& body = {});

}  // namespace vekt::testing
