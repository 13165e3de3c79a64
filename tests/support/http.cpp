#include "support/http.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <sstream>
#include <stdexcept>

namespace vekt::testing {

Connection::Connection(int port, std::chrono::seconds wait, Loopback over) {
  fd_ = ::socket(over == Loopback::v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  timeval tv{static_cast<time_t>(wait.count()), 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (over == Loopback::v6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<std::uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    return;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

Connection::~Connection() { close(); }

void Connection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Connection::send(std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<Connection::Reply> Connection::read_reply(bool head_only) {
  std::size_t end;
  while ((end = buf_.find("\r\n\r\n")) == std::string::npos)
    if (!fill()) return std::nullopt;
  Reply r;
  r.head = buf_.substr(0, end + 4);
  buf_.erase(0, end + 4);
  r.status = std::stoi(r.head.substr(9, 3));
  std::size_t len = 0;
  std::string lower = r.head;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (auto p = lower.find("content-length: "); p != std::string::npos) len = std::stoul(lower.substr(p + 16));
  if (head_only) len = 0;
  while (buf_.size() < len)
    if (!fill()) return std::nullopt;
  r.body = buf_.substr(0, len);
  buf_.erase(0, len);
  return r;
}

std::string Connection::read_to_end() {
  while (fill()) {
  }
  return std::exchange(buf_, {});
}

bool Connection::closed_by_peer() {
  for (;;) {
    char tmp[512];
    ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
    if (n == 0) return true;
    if (n < 0) return errno == ECONNRESET;
  }
}

bool Connection::fill() {
  char tmp[65536];
  ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
  if (n <= 0) return false;
  buf_.append(tmp, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> HttpResponse::header(const std::string& name) const {
  for (const auto& [k, v] : headers)
    if (::strcasecmp(k.c_str(), name.c_str()) == 0) return v;
  return std::nullopt;
}

namespace {

std::string unchunked(const std::string& content) {
  std::string out;
  std::size_t pos = 0;
  for (;;) {
    auto nl = content.find("\r\n", pos);
    std::size_t len = std::stoul(content.substr(pos, nl - pos), nullptr, 16);
    if (len == 0) break;
    out += content.substr(nl + 2, len);
    pos = nl + 2 + len + 2;
  }
  return out;
}

}  // namespace

HttpResponse http(int port, const std::string& method, const std::string& target,
                  const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body) {
  // A whole tile or document may take long under the sanitizers: the wait is generous, not endless.
  Connection c(port, std::chrono::seconds(120));
  if (!c.connected()) throw std::runtime_error("cannot connect to the server");
  std::string req = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nConnection: close\r\n";
  bool typed = false;
  for (const auto& [k, v] : headers) {
    req += k + ": " + v + "\r\n";
    typed = typed || ::strcasecmp(k.c_str(), "Content-Type") == 0;
  }
  if (!body.empty() && !typed) req += "Content-Type: application/json\r\n";
  if (method == "POST" || !body.empty()) req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  req += "\r\n" + body;
  c.send(req);
  const std::string raw = c.read_to_end();
  HttpResponse r;
  auto end = raw.find("\r\n\r\n");
  if (end == std::string::npos) throw std::runtime_error("no response head");
  r.head = raw.substr(0, end + 2);
  std::istringstream head(raw.substr(0, end));
  std::string line;
  std::getline(head, line);
  r.status = std::stoi(line.substr(9, 3));
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string v = line.substr(colon + 1);
    while (!v.empty() && v.front() == ' ') v.erase(0, 1);
    r.headers.emplace_back(line.substr(0, colon), v);
  }
  r.body = raw.substr(end + 4);
  auto te = r.header("Transfer-Encoding");
  if (te && *te == "chunked") r.body = unchunked(r.body);
  return r;
}

}  // namespace vekt::testing
