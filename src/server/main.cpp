// vekt-server: reads its settings, runs each deliverable's start-up once, mounts the routers and
// serves until SIGINT, SIGTERM or SIGHUP. A stop lets the requests in hand finish within the grace
// (VEKT_SHUTDOWN_GRACE); past it they are answered "shutting down", the plan services and the
// database statements still running are ended, and the process exits 0 once every loop is done.
#include <signal.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <iostream>
#include <stdexcept>

#include <fmt/format.h>
#include <malloc.h>

#include "base/blocking_pool.hpp"
#include "base/descriptors.hpp"
#include "base/dotenv.hpp"
#include "host/database.hpp"
#include "host/logger.hpp"
#include "host/settings.hpp"
#include "host/utils.hpp"
#include "web/router.hpp"
#include "web/server.hpp"

// ---- deliverable headers -------------------------------------------------------------------
#include "brellow/service.hpp"
#include "korvane/service.hpp"
#include "plots/plots.hpp"

namespace {

using namespace vekt;

// Threads for host-name look-ups and cancel requests, and apart from them for template reads: a
// file that never answers then holds up only the documents that read it.
constexpr std::size_t HELPER_THREADS = 6;
constexpr std::size_t FILE_THREADS = 4;

// Below this many client connections a server is not worth starting.
constexpr std::size_t MIN_CONNECTIONS = 64;

// The plan documents' settings as the plan services take them.
brellow::Config plan_config(const host::Settings& settings) {
  brellow::Config plans;
  plans.project_root = settings.project_root;
  plans.plan_queue = settings.plan_queue;
  if (settings.pdf_workers != 0) plans.pdf.workers = settings.pdf_workers;
  plans.pdf.timeout = std::chrono::milliseconds(static_cast<long long>(settings.pdf_timeout * 1000));
  plans.figure_timeout = plans.pdf.timeout;
  plans.pdf.max_documents = settings.pdf_worker_documents;
  plans.pdf.max_resident = std::size_t{settings.pdf_worker_memory_mb} << 20;
  plans.plan_token = settings.plan_token;
  return plans;
}

korvane::ServiceOptions tile_options(const host::Settings& settings) {
  return {settings.admin_token, pg::connections_per_loop(settings.database), settings.redis_pool};
}

// The descriptors the server may hold for itself at once, beside its client connections.
std::size_t descriptors_of_our_own(const host::Settings& s, const brellow::Config& plans) {
  const std::size_t loops = s.database.loops;
  return 64                                          // standard streams, signals, fonts, PROJ, files
         + 8 * loops                                 // each loop's poller, wake-up, timers, acceptor
         + s.database.pool_size + 4                  // database connections; cancels at a stop
         + s.redis_pool * loops                      // Redis connections
         + 4 * plans.pdf.workers                     // PDF workers' pipes, a successor's beside them
         + 4 * brellow::figure_thread_count(plans)   // what drawing a figure opens
         + 2 * s.plan_queue                          // each plan's waits on the figure and file threads
         + HELPER_THREADS + FILE_THREADS;            // the waits on helper threads and file reads
}

// Raises the descriptor limit as far as it goes and caps the client connections below it, with
// room for the server's own descriptors; one log line gives the figures.
std::size_t connection_cap(const host::Settings& settings, const brellow::Config& plans, spdlog::logger& log) {
  const base::DescriptorLimit fds = base::raise_descriptor_limit();
  const std::size_t own = descriptors_of_our_own(settings, plans);
  const std::size_t cap = base::connections_within(fds.limit, own, web::ServerConfig{}.max_connections);
  if (cap < MIN_CONNECTIONS)
    throw std::runtime_error(fmt::format(
        "the descriptor limit of {} leaves room for {} client connections beside the {} the server keeps for "
        "itself (at least {} are needed): raise the hard limit (ulimit -Hn) or lower VEKT_REDIS_POOL, "
        "VEKT_THREADS or VEKT_DB_POOL_SIZE",
        fds.limit, cap, own, MIN_CONNECTIONS));
  log.info("Descriptor limit {} (raised from {}), {} kept for the server's own use: at most {} client connections",
           fds.limit, fds.before, own, cap);
  return cap;
}

web::ServerConfig server_config(const host::Settings& settings, std::size_t max_connections) {
  web::ServerConfig config;
  config.host = settings.host;
  config.port = settings.port;
  config.threads = static_cast<unsigned>(settings.database.loops);
  config.max_connections = max_connections;
  config.trusted_proxies = settings.trusted_proxies;
  config.cors.allow_origins = settings.cors_allow_origins;
  config.shutdown_grace = std::chrono::seconds(settings.shutdown_grace);
  return config;
}

// glibc returns a thread's free heap top to the system as soon as it passes the trim threshold, and
// serves large blocks (above a threshold that starts at 128 KiB) from fresh mappings. Tile answers of
// a few hundred kilobytes, copied through the Redis reader, the handler and the socket buffer, would
// then pay for new pages on every cache hit. Fixed thresholds keep that working set mapped; each
// arena still returns what it holds free beyond 32 MiB.
void keep_working_memory() {
  mallopt(M_MMAP_THRESHOLD, 8 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
}

// Every long-lived service, each declared after those it uses, so that leaving this scope destroys
// them in the stop order: the loops' contexts (server), the routes (app), the plan services, the
// tile service, the database, then the thread pools. Before any of that, once the loops have
// ended, the PDF pool's thread and the thread pools are joined while the contexts still exist, so
// that nothing can reach a context that is gone.
void serve(const host::Settings& settings, spdlog::logger& log) {
  const brellow::Config plan_settings = plan_config(settings);
  const std::size_t max_connections = connection_cap(settings, plan_settings, log);
  base::BlockingPool helpers(HELPER_THREADS);
  base::BlockingPool file_threads(FILE_THREADS);
  base::BlockingPool figure_threads(brellow::figure_thread_count(plan_settings), plan_settings.figure_nice);
  pg::Database database(settings.database, helpers);
  host::use_database(database);
  korvane::Service tiles(korvane::redis_options(settings.redis, settings.redis_pool), tile_options(settings), helpers);
  korvane::startup(settings.redis, tiles);
  plots::init();  // fonts, coordinate constants, its start-up line
  brellow::PlanServices plans(plan_settings, figure_threads, file_threads);
  web::App app("vekt", "0.1.0");
  app.set_logger(host::get_logger("vekt.web"));
  app.include_router(korvane::korvane());
  app.include_router(brellow::make_router(plans));

  web::ServerConfig config = server_config(settings, max_connections);
  // Once the requests' grace is over (and they have been answered), what they still wait for
  // ends: the PDF renders, the statements running on the database server, the figures in line
  // (a figure being drawn runs to its end), so that their handlers unwind on the running loops.
  config.on_grace_expired = [&database, &plans, &figure_threads] {
    plans.shut_down();
    database.shut_down();
    figure_threads.join();
  };
  web::Server server(app, std::move(config));
  server.start();
  log.info("Listening on http://{}:{} with {} event loops", settings.host, server.port(), server.loop_count());
  server.run_until_signal();
  plans.join();
  figure_threads.join();
  file_threads.join();
  helpers.join();
}

}  // namespace

int main() {
  keep_working_memory();
  // Standard error may be a pipe (a log shipper, tee) whose reader goes away: a log line that
  // cannot be written is lost, but it must never end the process.
  ::signal(SIGPIPE, SIG_IGN);
  try {
    base::load_dotenv();
    host::configure_logging(spdlog::level::info);
    const host::Settings settings = host::load_settings();
    // Dates on documents are local dates of the configured zone; set before any thread starts.
    host::set_time_zone(settings.time_zone);
    auto log = host::get_logger("vekt.server");
    serve(settings, *log);
    log->info("Stopped");
    return 0;
  } catch (const host::SettingsError& e) {
    std::fflush(stdout);
    std::cerr << "vekt-server: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::cerr << "vekt-server: start-up failed: " << e.what() << "\n";
    return 1;
  }
}
