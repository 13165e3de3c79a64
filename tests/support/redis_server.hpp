#pragma once
// A private redis-server for tests that need their own (ACL users, stopping it mid-run).
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/command.hpp"
#include "support/free_port.hpp"
#include "support/process.hpp"

namespace vekt::testing {

class RedisServer {
 public:
  explicit RedisServer(std::string extra_args = {})
      : port_(free_port()), extra_(std::move(extra_args)), scratch_("vekt-redis-test"), dir_(scratch_.path()) {
    start();
  }
  ~RedisServer() { stop(); }
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
    if (run_command(cmd).status != 0) throw std::runtime_error("redis-server did not start");
    for (int i = 0; i < 100; ++i) {
      std::string ping = "redis-cli -h 127.0.0.1 -p " + std::to_string(port_) + " ping 2>/dev/null | grep -q -e PONG -e NOAUTH";
      if (run_command(ping).status == 0) return;
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
  ScratchDir scratch_;
  std::string dir_;
};

}  // namespace vekt::testing
