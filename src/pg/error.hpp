#pragma once
// The one error type of the PostgreSQL client.
#include <string>
#include <string_view>
#include <utility>

#include "base/error.hpp"

namespace vekt::pg {

// Every database failure: the server's message (primary text) and its SQLSTATE ("57014", ...); the
// SQLSTATE is empty for client-side failures (connection lost, pool exhausted, a time limit of the
// client's own, bad use).
class Error : public base::Error {
 public:
  // What went wrong on our side when there is no SQLSTATE: the database (unreachable, connection
  // lost, no connection free), one of the client's own time limits, or a caller's misuse of a
  // result or a parameter (no database fault at all).
  enum class Cause { database, timeout, misuse };

  explicit Error(const std::string& message, std::string sqlstate = {})
      : base::Error(message), sqlstate_(std::move(sqlstate)) {}
  // Connecting, or a read or write of a connection, passed the client's time limit.
  static Error timeout(const std::string& message) { return Error(message, Cause::timeout); }
  // A value read as what it is not, a missing column, row or parameter.
  static Error misuse(const std::string& message) { return Error(message, Cause::misuse); }

  const std::string& sqlstate() const { return sqlstate_; }
  bool timed_out() const { return cause_ == Cause::timeout; }
  bool misused() const { return cause_ == Cause::misuse; }
  // The database could not run the statement (its connection was lost, no connection was free in
  // time, the server is shutting down, out of resources or failing), as opposed to refusing it.
  bool unavailable() const {
    if (sqlstate_.empty()) return true;
    const std::string_view cls = std::string_view(sqlstate_).substr(0, 2);
    return cls == "08" || cls == "53" || cls == "57" || cls == "58";
  }

 private:
  Error(const std::string& message, Cause cause) : base::Error(message), cause_(cause) {}
  std::string sqlstate_;
  Cause cause_ = Cause::database;
};

}  // namespace vekt::pg
