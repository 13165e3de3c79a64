// PlanImageGenerator: construction and the one way its reads send statements.
#include "brellow/generator.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "base/with_timeout.hpp"
#include "brellow/errors.hpp"

namespace vekt::brellow {

PlanImageGenerator::PlanImageGenerator(pg::Session& session)
    : db(session),
      plot_repository(session, runner()),
      beacon_repository(session, runner()),
      boundary_repository(session, runner()),
      land_purpose_repository(session, runner()),
      road_repository(session, runner()) {}

namespace {

// The table a statement reads, as its text names it after FROM ("\"GIS\".\"BOUNDARY\""), for the
// log line of a read that timed out.
std::string read_name(std::string_view sql) {
  const auto from = sql.find(" FROM ");
  if (from == std::string_view::npos) return "a plan statement";
  std::string_view rest = sql.substr(from + 6);
  return std::string(rest.substr(0, rest.find(' ')));
}

}  // namespace

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
  std::string read = read_name(sql);
  try {
    co_return co_await base::with_timeout(session.execute(std::move(sql), std::move(params), pg::Prepare::yes),
                                          statement_timeout_);
  } catch (const base::TimeoutError&) {
    throw ReadTimeout(std::move(read), statement_timeout_);
  }
}

}  // namespace vekt::brellow
