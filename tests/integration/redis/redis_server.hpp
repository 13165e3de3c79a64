#pragma once
// A private redis-server for tests that need their own (ACL users, stopping it mid-run).
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/free_port.hpp"

namespace vekt::testing {

class RedisServer {
 public:
  explicit RedisServer(std::string extra_args = {}) : port_(free_port()), extra_(std::move(extra_args)) {
    char tmpl[] = "/tmp/vekt-redis-test.XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    start();
  }
  ~RedisServer() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  int port() const { return port_; }
  // The server's process id (0 when it is not running), to pause it with SIGSTOP.
  pid_t pid() const {
    std::ifstream f(dir_ + "/redis.pid");
    pid_t pid = 0;
    f >> pid;
    return pid;
  }

  void start() {
    std::string cmd = "redis-server --bind 127.0.0.1 --port " + std::to_string(port_) +
                      " --save '' --appendonly no --daemonize yes --pidfile " + dir_ + "/redis.pid --logfile " +
                      dir_ + "/redis.log --dir " + dir_ + " " + extra_;
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("redis-server did not start");
    for (int i = 0; i < 100; ++i) {
      std::string ping = "redis-cli -h 127.0.0.1 -p " + std::to_string(port_) + " ping 2>/dev/null | grep -q -e PONG -e NOAUTH";
      if (std::system(ping.c_str()) == 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("redis-server did not answer");
  }

  void stop() {
    std::ifstream f(dir_ + "/redis.pid");
    pid_t pid = 0;
    if (!(f >> pid) || pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    std::filesystem::remove(dir_ + "/redis.pid");
  }

 private:
  int port_;
  std::string extra_;
  std::string dir_;
};

}  // namespace vekt::testing
