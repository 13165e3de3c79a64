// PlanImageGenerator: construction and the one way its reads send statements.
#include "brellow/generator.hpp"

#include <utility>

#include "base/with_timeout.hpp"

namespace vekt::brellow {

PlanImageGenerator::PlanImageGenerator(pg::Session& session)
    : db(session),
      plot_repository(session, runner()),
      beacon_repository(session, runner()),
      boundary_repository(session, runner()),
      land_purpose_repository(session, runner()),
      road_repository(session, runner()) {}

void PlanImageGenerator::observe_statements(StatementObserver observer) { observer_ = std::move(observer); }

void PlanImageGenerator::set_statement_timeout(std::chrono::milliseconds limit) { statement_timeout_ = limit; }

host::StatementRunner PlanImageGenerator::runner() {
  return [this](pg::Session& session, std::string sql, pg::Params params) {
    return run(session, std::move(sql), std::move(params));
  };
}

boost::asio::awaitable<pg::Result> PlanImageGenerator::run(pg::Session& session, std::string sql,
                                                           pg::Params params) {
  if (observer_) observer_(sql);
  // Prepared once per connection: a document read sends the same few texts every time. When the
  // limit passes, the statement is cancelled on the server and its connection cleaned up before
  // base::TimeoutError reaches the caller.
  co_return co_await base::with_timeout(session.execute(std::move(sql), std::move(params), pg::Prepare::yes),
                                        statement_timeout_);
}

}  // namespace vekt::brellow
