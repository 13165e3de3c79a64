#pragma once
// AsyncBaseRepository: the rows of one model's table, read through a request's session.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/awaitable.hpp>

#include "pg/session.hpp"

namespace vekt::host {

// How a repository sends a statement. The default runs it prepared on the session; a caller that
// needs more around each statement (a time limit, a count) passes its own.
using StatementRunner =
    std::function<boost::asio::awaitable<pg::Result>(pg::Session& db, std::string sql, pg::Params params)>;

StatementRunner prepared_runner();

template <class Model>
class AsyncBaseRepository {
 public:
  // Keeps the session, which must outlive the repository; runs nothing.
  explicit AsyncBaseRepository(pg::Session& db, StatementRunner run = prepared_runner())
      : db_(db), run_(std::move(run)) {}

  static std::string by_id_sql() {
    return "SELECT " + Model::columns() + " FROM " + std::string(Model::TABLE) + " WHERE \"ID\" = :id";
  }

  // The row with that id, or nullopt.
  boost::asio::awaitable<std::optional<Model>> get_by_id(std::int64_t id) {
    pg::Params params;
    params.emplace_back("id", pg::Value(id));
    pg::Result r = co_await run_(db_, by_id_sql(), std::move(params));
    if (r.empty()) co_return std::nullopt;
    co_return Model::from_row(r.row(0));
  }

 private:
  pg::Session& db_;
  StatementRunner run_;
};

}  // namespace vekt::host
