#pragma once
// The hand-made parcels of the plan tests (tests/integration/brellow/plan_fixture.sql) in the
// database of DATABASE_URL: load them before a suite, clear them after it. Loading twice is safe.
// They lie far from the generated cadastre and use ids 101 to 999, which nothing else uses.
#include <stdexcept>
#include <string>

#include "support/command.hpp"
#include "support/env.hpp"

namespace vekt::testing {

inline void run_plan_sql(const std::string& file) {
  const auto url = shared_database_url();
  if (!url) throw std::runtime_error("DATABASE_URL is not set");
  const std::string cmd = "PGOPTIONS='-c client_min_messages=warning' psql -X -q -v ON_ERROR_STOP=1 -d " + sh_quote(*url) +
                          " -f " + sh_quote(std::string(VEKT_SOURCE_DIR) + "/tests/integration/brellow/" + file);
  const CommandResult r = run_command(cmd, Capture::OutOnly);
  if (r.status != 0) throw std::runtime_error("psql failed: " + cmd);
}

inline void load_plan_fixture() { run_plan_sql("plan_fixture.sql"); }
inline void clear_plan_fixture() { run_plan_sql("plan_fixture_clear.sql"); }

}  // namespace vekt::testing
