#include "support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <hiredis.h>
#include <libpq-fe.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

namespace korvane_test {

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

SyncRedis::SyncRedis(const std::string& host, int port) {
  c_ = redisConnect(host.c_str(), port);
  if (!c_ || c_->err) throw std::runtime_error("cannot connect to Redis");
}
SyncRedis::~SyncRedis() {
  if (c_) redisFree(c_);
}

namespace {
redisReply* run(redisContext* c, const std::vector<std::string>& argv) {
  std::vector<const char*> args;
  std::vector<size_t> lens;
  for (const auto& a : argv) {
    args.push_back(a.data());
    lens.push_back(a.size());
  }
  auto* r = static_cast<redisReply*>(redisCommandArgv(c, static_cast<int>(args.size()), args.data(), lens.data()));
  if (!r) throw std::runtime_error("Redis command failed");
  return r;
}
}  // namespace

std::optional<std::string> SyncRedis::cmd(const std::vector<std::string>& argv) {
  redisReply* r = run(c_, argv);
  std::optional<std::string> out;
  if (r->type == REDIS_REPLY_INTEGER)
    out = std::to_string(r->integer);
  else if (r->type != REDIS_REPLY_NIL && r->str)
    out = std::string(r->str, r->len);
  freeReplyObject(r);
  return out;
}

long long SyncRedis::integer(const std::vector<std::string>& argv) {
  redisReply* r = run(c_, argv);
  long long v = r->type == REDIS_REPLY_INTEGER ? r->integer : -999;
  freeReplyObject(r);
  return v;
}

std::vector<std::string> SyncRedis::keys(const std::string& pattern) {
  redisReply* r = run(c_, {"KEYS", pattern});
  std::vector<std::string> out;
  for (size_t i = 0; i < r->elements; ++i) out.emplace_back(r->element[i]->str, r->element[i]->len);
  freeReplyObject(r);
  std::sort(out.begin(), out.end());
  return out;
}

SyncPg::SyncPg(const std::string& url) {
  c_ = PQconnectdb(url.c_str());
  if (PQstatus(c_) != CONNECTION_OK) throw std::runtime_error(std::string("PG: ") + PQerrorMessage(c_));
  PQclear(PQexec(c_, "SET client_min_messages = warning"));
}
SyncPg::~SyncPg() { PQfinish(c_); }

std::vector<std::optional<std::string>> SyncPg::exec(const std::string& sql) {
  PGresult* r = PQexec(c_, sql.c_str());
  auto st = PQresultStatus(r);
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
    std::string msg = PQresultErrorMessage(r);
    PQclear(r);
    throw std::runtime_error("PG: " + msg + " in: " + sql);
  }
  std::vector<std::optional<std::string>> out;
  if (st == PGRES_TUPLES_OK)
    for (int i = 0; i < PQntuples(r); ++i)
      out.push_back(PQgetisnull(r, i, 0) ? std::nullopt : std::optional<std::string>(PQgetvalue(r, i, 0)));
  PQclear(r);
  return out;
}

struct LogRecorder::Sink : spdlog::sinks::base_sink<spdlog::details::null_mutex> {
  std::mutex m;
  std::vector<std::pair<std::string, std::string>> lines;
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::lock_guard<std::mutex> g(m);
    static const char* names[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL", "OFF"};
    lines.emplace_back(names[msg.level], std::string(msg.payload.data(), msg.payload.size()));
  }
  void flush_() override {}
};

LogRecorder::LogRecorder(const std::shared_ptr<spdlog::logger>& logger) : logger_(logger), sink_(std::make_shared<Sink>()) {
  logger_->sinks().push_back(sink_);
}
LogRecorder::~LogRecorder() {
  auto& s = logger_->sinks();
  s.erase(std::remove(s.begin(), s.end(), sink_), s.end());
}
std::vector<std::pair<std::string, std::string>> LogRecorder::lines() const {
  std::lock_guard<std::mutex> g(sink_->m);
  return sink_->lines;
}
void LogRecorder::clear() {
  std::lock_guard<std::mutex> g(sink_->m);
  sink_->lines.clear();
}

std::optional<std::string> HttpResponse::header(const std::string& name) const {
  for (const auto& [k, v] : headers)
    if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
  return std::nullopt;
}

HttpResponse http(int port, const std::string& method, const std::string& target,
                  const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    throw std::runtime_error("cannot connect to the server");
  }
  timeval tv{120, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string req = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\nConnection: close\r\n";
  for (const auto& [k, v] : headers) req += k + ": " + v + "\r\n";
  if (!body.empty()) req += "Content-Type: application/json\r\n";
  if (method == "POST" || !body.empty()) req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  req += "\r\n" + body;
  for (std::size_t sent = 0; sent < req.size();) {
    ssize_t n = ::send(fd, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  std::string raw;
  char buf[65536];
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    raw.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  HttpResponse r;
  auto end = raw.find("\r\n\r\n");
  if (end == std::string::npos) throw std::runtime_error("no response head");
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
  std::string content = raw.substr(end + 4);
  auto te = r.header("Transfer-Encoding");
  if (te && *te == "chunked") {
    std::string out;
    size_t pos = 0;
    for (;;) {
      auto nl = content.find("\r\n", pos);
      size_t len = std::stoul(content.substr(pos, nl - pos), nullptr, 16);
      if (len == 0) break;
      out += content.substr(nl + 2, len);
      pos = nl + 2 + len + 2;
    }
    content = out;
  }
  r.body = content;
  return r;
}

std::string server_binary() {
  for (auto dir : {env("VEKT_BUILD_DIR"), std::optional<std::string>(VEKT_BINARY_DIR)}) {
    if (!dir) continue;
    std::string p = *dir + "/bin/vekt-server";
    if (std::filesystem::exists(p)) return p;
  }
  return std::string(VEKT_BINARY_DIR) + "/bin/vekt-server";
}

namespace {

// Forks vekt-server in `dir` on 127.0.0.1:`port`, its stdout and stderr in dir/stdout and
// dir/stderr, with these variables set (a value of "<unset>" removes the variable).
pid_t spawn_server(const std::string& dir, int port, const std::map<std::string, std::string>& env) {
  std::string bin = server_binary();
  pid_t pid = fork();
  if (pid == 0) {
    chdir(dir.c_str());
    int out = open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    setenv("VEKT_HOST", "127.0.0.1", 1);
    setenv("VEKT_PORT", std::to_string(port).c_str(), 1);
    for (const auto& [k, v] : env) {
      if (v == "<unset>")
        unsetenv(k.c_str());
      else
        setenv(k.c_str(), v.c_str(), 1);
    }
    execl(bin.c_str(), bin.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace

ServerProcess::ServerProcess(std::map<std::string, std::string> extra_env) {
  char tmpl[] = "/tmp/korvane-server.XXXXXX";
  dir_ = mkdtemp(tmpl);
  port_ = free_port();
  extra_env.try_emplace("VEKT_THREADS", "2");
  pid_ = spawn_server(dir_, port_, extra_env);
  for (int i = 0; i < 300; ++i) {
    if (!running()) throw std::runtime_error("vekt-server exited early: " + stderr_text());
    try {
      if (http(port_, "GET", "/gis/layers/").status == 200) return;
    } catch (...) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("vekt-server did not start: " + stderr_text());
}

int ServerProcess::terminate(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + limit;
  int st = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int st = 0;
    for (int i = 0; i < 200; ++i) {
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &st, 0);
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

ExitOutcome run_server_to_exit(const std::map<std::string, std::string>& extra_env) {
  char tmpl[] = "/tmp/korvane-exit.XXXXXX";
  std::string dir = mkdtemp(tmpl);
  pid_t pid = spawn_server(dir, free_port(), extra_env);
  ExitOutcome o;
  int st = 0;
  for (int i = 0; i < 400; ++i) {
    if (waitpid(pid, &st, WNOHANG) == pid) {
      o.exit_code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (o.exit_code == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
  }
  auto slurp = [](const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  };
  o.out = slurp(dir + "/stdout");
  o.err = slurp(dir + "/stderr");
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return o;
}

bool ServerProcess::running() const {
  int st = 0;
  return pid_ > 0 && waitpid(pid_, &st, WNOHANG) == 0;
}

static std::string read_file(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}
std::string ServerProcess::stdout_text() const { return read_file(dir_ + "/stdout"); }
std::string ServerProcess::stderr_text() const { return read_file(dir_ + "/stderr"); }

long long info_number(const std::string& info, const std::string& prefix) {
  const std::string needle = "\n" + prefix;
  const auto at = ("\n" + info).find(needle);
  if (at == std::string::npos) return 0;
  return std::stoll(info.substr(at + prefix.size()));
}

}  // namespace korvane_test
