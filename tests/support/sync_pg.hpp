#pragma once
// A synchronous PostgreSQL connection (libpq) for setting up and looking from outside, its
// handles owned.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <libpq-fe.h>

namespace vekt::testing {

struct PgConnDeleter {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct PgResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using PgConn = std::unique_ptr<PGconn, PgConnDeleter>;
using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;

// A connection, or std::runtime_error naming why there is none.
PgConn connect_or_throw(const std::string& conninfo);
// Runs one statement; the result's status is left for the caller to judge.
PgResult exec(PGconn* c, const std::string& sql);
// Runs one statement; std::runtime_error when it fails.
PgResult exec_ok(PGconn* c, const std::string& sql);
// The single value of a one-row, one-column query, as text ("" for NULL).
std::string scalar(PGconn* c, const std::string& sql);
inline long long count(PGconn* c, const std::string& sql) { return std::stoll(scalar(c, sql)); }

// One connection that shows only warnings and worse.
class SyncPg {
 public:
  explicit SyncPg(const std::string& url);
  // Runs the statement; throws std::runtime_error on failure. Returns the first column of each row.
  std::vector<std::optional<std::string>> exec(const std::string& sql);
  PGconn* get() const { return c_.get(); }

 private:
  PgConn c_;
};

}  // namespace vekt::testing
