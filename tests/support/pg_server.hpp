#pragma once
// A private PostgreSQL cluster for the test that stops the server mid-run.
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "support/command.hpp"
#include "support/free_port.hpp"
#include "support/process.hpp"

namespace vekt::testing {

class PgServer {
 public:
  PgServer() : port_(free_port()), scratch_("vekt-pg-test"), dir_(scratch_.path()) {
    sh("chmod 755 " + dir_ + " && mkdir -p " + dir_ + "/data " + dir_ + "/sock && " + own(dir_));
    sh(as_pg(bin("initdb") + " -D " + dir_ + "/data -U postgres -A trust -E UTF8 --locale=C.UTF-8 >" + dir_ +
             "/initdb.log 2>&1"));
    start();
  }
  ~PgServer() { stop(); }
  std::string url() const { return "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/postgres"; }

  void start() {
    sh(as_pg(bin("pg_ctl") + " -D " + dir_ + "/data -l " + dir_ + "/pg.log -w -t 60 -o \"-p " + std::to_string(port_) +
             " -k " + dir_ + "/sock -c listen_addresses=127.0.0.1 -c fsync=off\" start >/dev/null"));
  }
  // A fast restart, as an operator does it: every connection to the server ends.
  void restart() {
    sh(as_pg(bin("pg_ctl") + " -D " + dir_ + "/data -l " + dir_ + "/pg.log -m fast -w -t 60 -o \"-p " +
             std::to_string(port_) + " -k " + dir_ + "/sock -c listen_addresses=127.0.0.1 -c fsync=off\" restart >/dev/null"));
  }
  void stop() { run_command(as_pg(bin("pg_ctl") + " -D " + dir_ + "/data -m fast -w -t 30 stop >/dev/null 2>&1")); }

 private:
  static std::string bin(const std::string& n) { return "/usr/lib/postgresql/15/bin/" + n; }
  static std::string as_pg(const std::string& cmd) {
    if (::geteuid() == 0) return "runuser -u postgres -- sh -c '" + cmd + "'";
    return cmd;
  }
  static std::string own(const std::string& d) {
    return ::geteuid() == 0 ? "chown -R postgres:postgres " + d : "true";
  }
  static void sh(const std::string& cmd) {
    if (run_command(cmd).status != 0) throw std::runtime_error("command failed: " + cmd);
  }
  int port_;
  ScratchDir scratch_;
  std::string dir_;
};

}  // namespace vekt::testing
