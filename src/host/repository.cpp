#include "host/repository.hpp"

namespace vekt::host {

namespace {

boost::asio::awaitable<pg::Result> run_prepared(pg::Session& db, std::string sql, pg::Params params) {
  co_return co_await db.execute(std::move(sql), std::move(params), pg::Prepare::yes);
}

}  // namespace

StatementRunner prepared_runner() { return &run_prepared; }

}  // namespace vekt::host
