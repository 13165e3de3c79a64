// Throughput of a tile-sized statement (ST_AsMVT over a few thousand polygons, tens of kB of bytea):
// the vekt session on one event loop against pgbench (one thread) running the same statement in the
// same BEGIN / statement / COMMIT shape, with the same number of connections.
//   vekt-bench-pg [seconds=5] [connections=8]
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "bench_support.hpp"
#include "pg/session.hpp"

namespace asio = boost::asio;
using vekt::pg::Params;
using vekt::pg::Session;

namespace {

const char* kSetup[] = {
    "CREATE EXTENSION IF NOT EXISTS postgis",
    "CREATE TABLE IF NOT EXISTS vekt_bench_tile(id serial PRIMARY KEY, name text, geom geometry(Polygon, 3857))",
    "INSERT INTO vekt_bench_tile(name, geom) "
    "SELECT 'parcel ' || g, ST_Expand(ST_SetSRID(ST_MakePoint(-38850.0 + (g % 60) * 650.0, "
    "6692500.0 + (g / 60) * 650.0), 3857), 250) FROM generate_series(0, 2999) g "
    "WHERE NOT EXISTS (SELECT 1 FROM vekt_bench_tile)",
    "CREATE INDEX IF NOT EXISTS vekt_bench_tile_geom ON vekt_bench_tile USING gist(geom)",
    "ANALYZE vekt_bench_tile",
};

std::string tile_sql(const std::string& z, const std::string& x, const std::string& y) {
  return "WITH b AS (SELECT ST_TileEnvelope(" + z + ", " + x + ", " + y + ") AS env), "
         "m AS (SELECT t.id, t.name, ST_AsMVTGeom(t.geom, b.env, 4096, 64, true) AS geom "
         "FROM vekt_bench_tile t, b WHERE t.geom && b.env) "
         "SELECT ST_AsMVT(m.*, 'bench', 4096, 'geom') AS mvt FROM m";
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
  const int conns = argc > 2 ? std::atoi(argv[2]) : 8;
  vekt::pg::DatabaseOptions options;
  if (const char* url = std::getenv("DATABASE_URL")) options.url = url;
  options.pool_size = static_cast<std::size_t>(conns);
  vekt::pg::Database db(options);
  asio::io_context io;

  std::size_t tile_bytes = 0;
  bool failed = false;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        for (const char* sql : kSetup) {
          Session s(db);
          co_await s.execute(sql);
          co_await s.commit();
        }
        Session s(db);
        Params p = {{"z", std::int32_t{10}}, {"x", std::int32_t{511}}, {"y", std::int32_t{340}}};
        auto r = co_await s.execute(tile_sql(":z", ":x", ":y"), p);
        tile_bytes = r.scalar_one_or_none() ? r.scalar_one_or_none()->raw().size() : 0;
        co_await s.close();
      },
      [&](std::exception_ptr e) {
        if (e) {
          failed = true;
          try {
            std::rethrow_exception(e);
          } catch (const std::exception& x) {
            std::cerr << "set-up failed: " << x.what() << "\n";
          }
        }
      });
  io.run();
  if (failed) return 1;

  long done = 0, errors = 0;
  const auto t0 = std::chrono::steady_clock::now();
  const auto until = t0 + std::chrono::seconds(seconds);
  const std::string sql = tile_sql(":z", ":x", ":y");
  auto worker = [&]() -> asio::awaitable<void> {
    while (std::chrono::steady_clock::now() < until) {
      try {
        Session s(db);
        Params p = {{"z", std::int32_t{10}}, {"x", std::int32_t{511}}, {"y", std::int32_t{340}}};
        auto r = co_await s.execute(sql, p);
        auto v = r.scalar_one_or_none();
        if (!v || v->raw().size() != tile_bytes) ++errors;
        co_await s.commit();
        ++done;
      } catch (...) {
        ++errors;
      }
    }
  };
  for (int c = 0; c < conns; ++c) asio::co_spawn(io, worker(), asio::detached);
  io.restart();
  io.run();
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double ours = static_cast<double>(done) / secs;

  char path[] = "/tmp/vekt-bench-pg.XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return 1;
  ::close(fd);
  {
    std::ofstream f(path);
    f << "\\set z 10\n\\set x 511\n\\set y 340\nBEGIN;\n" << tile_sql(":z", ":x", ":y") << ";\nCOMMIT;\n";
  }
  const std::string cmd = "pgbench -n -M extended -c " + std::to_string(conns) + " -j 1 -T " +
                          std::to_string(seconds) + " -f " + path + " '" + options.url + "' 2>&1";
  const std::string out = vekt::bench::capture(cmd);
  std::remove(path);
  const auto base = vekt::bench::number_after(out, "tps = ");
  std::cout << "tile statement: " << tile_bytes << " bytes of MVT per answer\n";
  std::cout << "vekt pg: " << static_cast<long>(ours) << " statements/s (" << conns << " connections, one loop"
            << (errors ? ", ERRORS " + std::to_string(errors) : std::string()) << ")\n";
  if (!base) {
    std::cout << "pgbench gave no tps figure:\n" << out;
    return 1;
  }
  std::cout << "pgbench: " << static_cast<long>(*base) << " statements/s\n";
  std::cout << "ratio vekt/pgbench: " << ours / *base << "\n";
  return errors ? 1 : 0;
}
