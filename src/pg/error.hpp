#pragma once
// The one error type of the PostgreSQL client.
#include <string>
#include <string_view>
#include <utility>

#include "base/error.hpp"

namespace vekt::pg {

// Every database failure: the server's message (primary text) and its SQLSTATE ("57014", ...); the
// SQLSTATE is empty for client-side failures (connection lost, pool exhausted, bad use).
class Error : public base::Error {
 public:
  explicit Error(const std::string& message, std::string sqlstate = {})
      : base::Error(message), sqlstate_(std::move(sqlstate)) {}
  const std::string& sqlstate() const { return sqlstate_; }
  // The database could not run the statement (its connection was lost, no connection was free in
  // time, the server is shutting down, out of resources or failing), as opposed to refusing it.
  bool unavailable() const {
    if (sqlstate_.empty()) return true;
    const std::string_view cls = std::string_view(sqlstate_).substr(0, 2);
    return cls == "08" || cls == "53" || cls == "57" || cls == "58";
  }

 private:
  std::string sqlstate_;
};

}  // namespace vekt::pg
