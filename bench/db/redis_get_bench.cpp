// GET round trips per second: the vekt Redis client on one event loop against redis-benchmark
// (one thread) with the same number of concurrent connections, the same key and value size.
//   vekt-bench-redis [requests=100000] [connections=50]
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "bench_support.hpp"
#include "redis/client.hpp"

namespace asio = boost::asio;

int main(int argc, char** argv) {
  const long requests = argc > 1 ? std::atol(argv[1]) : 100000;
  const long conns = argc > 2 ? std::atol(argv[2]) : 50;
  // The server of the environment, as the tile service would find it (the redis library reads none).
  vekt::redis::Options o;
  if (const char* h = std::getenv("REDIS_HOST")) o.host = h;
  if (const char* p = std::getenv("REDIS_PORT")) o.port = std::atoi(p);
  if (const char* d = std::getenv("REDIS_DB")) o.db = std::atoi(d);
  if (const char* p = std::getenv("REDIS_PASSWORD")) o.password = p;
  o.pool_size = static_cast<std::size_t>(conns);
  vekt::redis::Client client(o);
  const std::string key = "key:__rand_int__";  // redis-benchmark's key without -r

  asio::io_context io;
  long failures = 0;
  asio::co_spawn(io, client.set(key, "xxx"), asio::detached);  // redis-benchmark's 3-byte value
  io.run();

  // Warm the pool, then measure.
  auto worker = [&](long n) -> asio::awaitable<void> {
    for (long i = 0; i < n; ++i) {
      auto v = co_await client.get(key);
      if (!v || v->size() != 3) ++failures;
    }
  };
  for (long c = 0; c < conns; ++c) asio::co_spawn(io, worker(10), asio::detached);
  io.restart();
  io.run();
  const auto t0 = std::chrono::steady_clock::now();
  for (long c = 0; c < conns; ++c) asio::co_spawn(io, worker(requests / conns), asio::detached);
  io.restart();
  io.run();
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double ours = static_cast<double>(requests / conns * conns) / secs;

  const std::string cmd = "redis-benchmark -h " + o.host + " -p " + std::to_string(o.port) + " -t get -n " +
                          std::to_string(requests) + " -c " + std::to_string(conns) + " -q 2>/dev/null";
  const std::string out = vekt::bench::capture(cmd);
  const auto base = vekt::bench::number_after(out, "GET: ");
  std::cout << "vekt redis GET: " << static_cast<long>(ours) << " requests/s (" << conns << " connections, one loop"
            << (failures ? ", FAILURES " + std::to_string(failures) : std::string()) << ")\n";
  if (!base) {
    std::cout << "redis-benchmark gave no GET figure:\n" << out;
    return 1;
  }
  std::cout << "redis-benchmark GET: " << static_cast<long>(*base) << " requests/s\n";
  std::cout << "ratio vekt/redis-benchmark: " << ours / *base << "\n";
  return failures ? 1 : 0;
}
