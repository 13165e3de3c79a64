#pragma once
// A throw-away database per test, libpq queries and shell commands for the data tests.
#include <libpq-fe.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vekt::test {

struct PgConnDeleter {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct PgResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgConn = std::unique_ptr<PGconn, PgConnDeleter>;
using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;

inline std::string sh_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q.push_back(c);
  }
  return q + "'";
}

struct CommandResult {
  int status;  // exit status, or -1 when the command did not exit normally
  std::string output;  // standard output and standard error together
};

inline CommandResult run_command(const std::string& cmd) {
  std::string full = cmd + " 2>&1";
  FILE* p = ::popen(full.c_str(), "r");
  if (!p) throw std::runtime_error("cannot run: " + cmd);
  CommandResult r{-1, {}};
  std::array<char, 4096> buf{};
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.output.append(buf.data(), n);
  int st = ::pclose(p);
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  return r;
}

inline PgConn connect_or_throw(const std::string& conninfo) {
  PgConn c(PQconnectdb(conninfo.c_str()));
  if (PQstatus(c.get()) != CONNECTION_OK)
    throw std::runtime_error(std::string("cannot connect: ") + PQerrorMessage(c.get()));
  return c;
}

// Runs one statement; the result's status is left for the caller to judge.
inline PgResult exec(PGconn* c, const std::string& sql) { return PgResult(PQexec(c, sql.c_str())); }

inline void exec_ok(PGconn* c, const std::string& sql) {
  PgResult r = exec(c, sql);
  auto st = PQresultStatus(r.get());
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK)
    throw std::runtime_error("statement failed: " + sql + "\n" + PQresultErrorMessage(r.get()));
}

// The single value of a one-row, one-column query, as text ("" for NULL).
inline std::string scalar(PGconn* c, const std::string& sql) {
  PgResult r = exec(c, sql);
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK || PQntuples(r.get()) != 1 || PQnfields(r.get()) != 1)
    throw std::runtime_error("query did not give one value: " + sql + "\n" + PQresultErrorMessage(r.get()));
  return PQgetvalue(r.get(), 0, 0);
}

inline long long count(PGconn* c, const std::string& sql) { return std::stoll(scalar(c, sql)); }

// Creates a fresh database with PostGIS on the server of DATABASE_URL and drops it at the end.
class ScratchDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* url = std::getenv("DATABASE_URL");
    if (!url || !*url) GTEST_SKIP() << "DATABASE_URL is not set; start scripts/services and source its env file";
    admin_info_ = url;
    admin_ = connect_or_throw(admin_info_);
    exec_ok(admin_.get(), "SET client_min_messages = warning");
    name_ = "vekt_data_test_" + std::to_string(::getpid()) + "_" + std::to_string(++serial_);
    exec_ok(admin_.get(), "DROP DATABASE IF EXISTS " + name_);
    exec_ok(admin_.get(), "CREATE DATABASE " + name_);
    conninfo_ = with_dbname(name_);
    db_ = connect_or_throw(conninfo_);
    exec_ok(db_.get(), "CREATE EXTENSION IF NOT EXISTS postgis");
    exec_ok(db_.get(), "SET client_min_messages = warning");
  }

  void TearDown() override {
    db_.reset();
    if (admin_) {
      PgResult r = exec(admin_.get(), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
      (void)r;
    }
  }

  // A shell prefix that points psql and scripts/load-data at the scratch database.
  std::string env_prefix(const std::string& build_dir = VEKT_BINARY_DIR) const {
    return "DATABASE_URL=" + sh_quote(conninfo_) + " VEKT_BUILD_DIR=" + sh_quote(build_dir) +
           " PGOPTIONS='-c client_min_messages=warning' ";
  }
  std::string psql() const { return env_prefix() + "psql -X -q -d " + sh_quote(conninfo_) + " "; }
  // scripts/load-data with the vekt-gen of `build_dir`/bin.
  std::string load_data(const std::string& args, const std::string& build_dir = VEKT_BINARY_DIR) const {
    return env_prefix(build_dir) + sh_quote(std::string(VEKT_SOURCE_DIR) + "/scripts/load-data") + " " + args;
  }
  static std::string source(const std::string& rel) { return std::string(VEKT_SOURCE_DIR) + "/" + rel; }

  PGconn* db() { return db_.get(); }

 private:
  // The admin connection's parameters with another database name, as a key=value string.
  std::string with_dbname(const std::string& dbname) const {
    char* err = nullptr;
    PQconninfoOption* opts = PQconninfoParse(admin_info_.c_str(), &err);
    if (!opts) {
      std::string m = err ? err : "bad DATABASE_URL";
      PQfreemem(err);
      throw std::runtime_error(m);
    }
    std::string out;
    for (PQconninfoOption* o = opts; o->keyword; ++o) {
      if (!o->val || std::string(o->keyword) == "dbname") continue;
      std::string v;
      for (char ch : std::string(o->val)) {
        if (ch == '\\' || ch == '\'') v.push_back('\\');
        v.push_back(ch);
      }
      out += std::string(o->keyword) + "='" + v + "' ";
    }
    PQconninfoFree(opts);
    return out + "dbname='" + dbname + "'";
  }

  static inline int serial_ = 0;
  std::string admin_info_, name_, conninfo_;
  PgConn admin_, db_;
};

}  // namespace vekt::test
