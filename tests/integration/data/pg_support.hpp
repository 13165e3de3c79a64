#pragma once
// A throw-away database per test for the data tests, over the shared libpq and shell helpers.
#include <libpq-fe.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/command.hpp"
#include "support/env.hpp"
#include "support/sync_pg.hpp"

namespace vekt::test {

using vekt::testing::CommandResult;
using vekt::testing::connect_or_throw;
using vekt::testing::count;
using vekt::testing::exec;
using vekt::testing::exec_ok;
using vekt::testing::PgConn;
using vekt::testing::PgResult;
using vekt::testing::run_command;
using vekt::testing::scalar;
using vekt::testing::sh_quote;

// Creates a fresh database with PostGIS on the server of DATABASE_URL and drops it at the end.
class ScratchDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto url = vekt::testing::shared_database_url();
    if (!url) GTEST_SKIP() << "DATABASE_URL is not set; start scripts/services and source its env file";
    admin_info_ = *url;
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
