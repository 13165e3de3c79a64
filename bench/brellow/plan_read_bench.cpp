// Latency of one plan document read (the parcel, its neighbours and roads, its records) on loaded
// data, for a parcel in a dense block, against pgbench running the same statements bare with the
// same values, in the same BEGIN ... ROLLBACK shape, one after another on one connection.
//   vekt-bench-plan-read [reads=1000] [plot_id]
// Needs DATABASE_URL (scripts/services writes it) and data loaded (scripts/load-data large).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "bench_support.hpp"
#include "brellow/generator.hpp"

namespace asio = boost::asio;
using vekt::brellow::Boundaries;
using vekt::brellow::PlanImageGenerator;

namespace {

struct Percentiles {
  double p50, p99;
};

Percentiles percentiles(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<std::size_t>(q * static_cast<double>(us.size())))]; };
  return {at(0.50), at(0.99)};
}

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string s = "\\x";
  for (unsigned char c : bytes) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

std::string array_text(std::vector<std::int64_t> ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  std::string s = "{";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i) s += ',';
    s += std::to_string(ids[i]);
  }
  return s + "}";
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
  for (auto at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
}

template <class F>
void run_on(asio::io_context& io, F f) {
  std::exception_ptr error;
  asio::co_spawn(io, f(), [&](std::exception_ptr e) { error = e; });
  io.restart();
  io.run();
  if (error) std::rethrow_exception(error);
}

}  // namespace

int main(int argc, char** argv) try {
  const int reads = argc > 1 ? std::atoi(argv[1]) : 1000;
  std::int64_t plot_id = argc > 2 ? std::atoll(argv[2]) : 0;
  vekt::pg::DatabaseOptions options;
  if (const char* url = std::getenv("DATABASE_URL")) options.url = url;
  options.pool_size = 1;
  vekt::pg::Database db(options);
  asio::io_context io;

  // A parcel with many neighbours: the most crowded of a sample of parcels.
  if (!plot_id) {
    run_on(io, [&]() -> asio::awaitable<void> {
      vekt::pg::Session s(db);
      auto r = co_await s.execute(
          R"(SELECT p."ID" FROM (SELECT * FROM "GIS"."PLOT" WHERE "GEOMETRY" IS NOT NULL ORDER BY "ID" LIMIT 3000) p )"
          R"(ORDER BY (SELECT count(*) FROM "GIS"."PLOT" q WHERE ST_DWithin(q."GEOMETRY", p."GEOMETRY", 50)) DESC, p."ID" LIMIT 1)");
      plot_id = r.row(0)[0].as_int();
      co_await s.close();
    });
  }

  // What the statements of one read are, and their values, seen once.
  std::vector<std::string> statements;
  std::string outline, plot_ids, beacon_ids;
  std::size_t neighbours = 0, legs = 0;
  run_on(io, [&]() -> asio::awaitable<void> {
    vekt::pg::Session s(db);
    PlanImageGenerator g(s);
    g.observe_statements([&](std::string_view sql) { statements.emplace_back(sql); });
    auto reference = co_await g.plot_repository.get_by_id(plot_id);
    outline = reference.value().geometry.value().ewkb;
    statements.clear();
    auto n = co_await g.get_plot_with_nearby(s, plot_id, Boundaries::requested_only);
    neighbours = n.plots.size();
    std::vector<std::int64_t> beacons;
    for (const auto& p : n.plots) {
      for (const auto& b : p.boundary.value()) beacons.push_back(b.beacon_id.value());
      legs += p.boundary->size();
    }
    plot_ids = array_text({plot_id});
    beacon_ids = array_text(beacons);
    co_await s.close();
  });

  // vekt: a session, a generator, one document read, the session closed; timed one by one.
  std::vector<double> ours;
  ours.reserve(static_cast<std::size_t>(reads));
  run_on(io, [&]() -> asio::awaitable<void> {
    for (int i = -50; i < reads; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      vekt::pg::Session s(db);
      PlanImageGenerator g(s);
      auto n = co_await g.get_plot_with_nearby(s, plot_id, Boundaries::requested_only);
      co_await s.close();
      const auto t1 = std::chrono::steady_clock::now();
      if (n.plots.size() != neighbours) throw std::runtime_error("the read changed");
      if (i >= 0) ours.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
  });

  // The same statements through the session alone (no records): what the session layer costs.
  std::vector<double> session_only;
  run_on(io, [&]() -> asio::awaitable<void> {
    for (int i = -50; i < reads; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      vekt::pg::Session s(db);
      for (std::size_t k = 0; k < statements.size(); ++k) {
        vekt::pg::Params p;
        if (k == 0) p.emplace_back("id", vekt::pg::Value(plot_id));
        else if (k < 3) p.emplace_back("g", vekt::pg::Value(vekt::pg::Bytes{outline}));
        else p.emplace_back("ids", vekt::pg::Value(k == 3 ? plot_ids : beacon_ids));
        (void)co_await s.execute(statements[k], std::move(p), vekt::pg::Prepare::yes);
      }
      co_await s.close();
      const auto t1 = std::chrono::steady_clock::now();
      if (i >= 0) session_only.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
  });

  // pgbench: the same five statements with the same values, from a per-transaction log.
  const auto dir = std::filesystem::temp_directory_path() / ("vekt-bench-plan-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  {
    std::ofstream f(dir / "read.sql");
    f << "BEGIN;\n";
    for (std::size_t i = 0; i < statements.size(); ++i) {
      std::string sql = statements[i];
      replace_all(sql, ":ids", i == 3 ? ":plot_ids" : ":beacon_ids");
      f << sql << ";\n";
    }
    f << "ROLLBACK;\n";
  }
  const std::string cmd = "cd '" + dir.string() + "' && pgbench -n -M prepared -c 1 -j 1 -t " +
                          std::to_string(reads + 50) + " -l --log-prefix=tx -D id=" + std::to_string(plot_id) +
                          " -D 'g=" + hex(outline) + "' -D 'plot_ids=" + plot_ids + "' -D 'beacon_ids=" + beacon_ids +
                          "' -f read.sql '" + options.url + "' 2>&1";
  const std::string out = vekt::bench::capture(cmd);
  std::vector<double> bare;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind("tx", 0) != 0) continue;
    std::ifstream log(entry.path());
    std::string line;
    int k = 0;
    while (std::getline(log, line)) {
      std::istringstream fields(line);
      long client, tx;
      double latency_us;
      if (fields >> client >> tx >> latency_us && k++ >= 50) bare.push_back(latency_us);
    }
  }
  std::filesystem::remove_all(dir);
  if (bare.empty()) {
    std::cerr << "pgbench gave no transactions:\n" << out;
    return 1;
  }

  const Percentiles a = percentiles(ours), b = percentiles(bare), c = percentiles(session_only);
  std::cout << "plan document read of parcel " << plot_id << ": " << neighbours << " parcels, " << legs << " legs, "
            << statements.size() << " statements, " << reads << " reads\n";
  std::cout << "vekt:    p50 " << a.p50 << " us, p99 " << a.p99 << " us\n";
  std::cout << "session: p50 " << c.p50 << " us, p99 " << c.p99 << " us (the statements on a bare session)\n";
  std::cout << "pgbench: p50 " << b.p50 << " us, p99 " << b.p99 << " us (the same statements bare)\n";
  std::cout << "ratio vekt/pgbench: p50 " << a.p50 / b.p50 << ", p99 " << a.p99 / b.p99 << "\n";
  return 0;
} catch (const std::exception& e) {
  std::cerr << "vekt-bench-plan-read: " << e.what() << "\n";
  return 1;
}
