// vekt-server: reads its settings, runs each deliverable's start-up once, mounts the routers and
// serves until SIGINT or SIGTERM. A stop lets the requests in hand finish within the grace
// (VEKT_SHUTDOWN_GRACE); past it they are answered "shutting down", the plan services and the
// database statements still running are ended, and the process exits 0 once every loop is done.
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>

#include <malloc.h>

#include "base/blocking_pool.hpp"
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

// glibc returns a thread's free heap top to the system as soon as it passes the trim threshold, and
// serves large blocks (above a threshold that starts at 128 KiB) from fresh mappings. Tile answers of
// a few hundred kilobytes, copied through the Redis reader, the handler and the socket buffer, would
// then pay for new pages on every cache hit. Fixed thresholds keep that working set mapped; each
// arena still returns what it holds free beyond 32 MiB.
void keep_working_memory() {
  mallopt(M_MMAP_THRESHOLD, 8 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
}

}  // namespace

int main() {
  keep_working_memory();
  try {
    base::load_dotenv();
    host::configure_logging(spdlog::level::info);
    const host::Settings settings = host::load_settings();
    // Dates on documents are local dates of the configured zone; set before any thread starts.
    host::set_time_zone(settings.time_zone);
    auto log = host::get_logger("vekt.server");
    // Threads for the calls that block (host-name look-ups, cancel requests), handed to everything
    // built here that makes them. Joined once the event loops have stopped, while their contexts
    // still exist.
    base::BlockingPool helpers(6);
    pg::Database database(settings.database, helpers);
    host::use_database(database);

    web::App app("vekt", "0.1.0");
    app.set_logger(host::get_logger("vekt.web"));

    // ---- deliverables: start-up hooks and routers, in mounting order ------------------------
    // Tile service (runs its start-up, then mounts "/gis"):
    app.on_startup([&app, &settings, &helpers] {
      korvane::startup(settings.redis, {settings.admin_token, pg::connections_per_loop(settings.database), settings.redis_pool},
                       helpers);
      app.include_router(korvane::korvane());
    });
    // Plan figure module (fonts, coordinate constants, its start-up line):
    app.on_startup([] { plots::init(); });
    // Plan documents (figure threads, PDF workers, document queue; then mounts "/plans"), owned
    // here: the figures are drawn on threads of their own, sized and niced by the plan settings.
    // The PDF pool hands its results to the event loops, so the services are shut down while the
    // loops still run and destroyed before the loops and their contexts go.
    std::optional<base::BlockingPool> figure_threads;
    std::optional<brellow::PlanServices> plans;
    app.on_startup([&app, &settings, &helpers, &figure_threads, &plans] {
      const brellow::Config config = plan_config(settings);
      figure_threads.emplace(brellow::figure_thread_count(config), config.figure_nice);
      plans.emplace(config, *figure_threads, helpers);
      app.include_router(brellow::make_router(*plans));
    });

    app.run_startup();

    web::ServerConfig config;
    config.host = settings.host;
    config.port = settings.port;
    config.threads = settings.threads;
    config.trusted_proxies = settings.trusted_proxies;
    config.cors.allow_origins = settings.cors_allow_origins;
    config.shutdown_grace = std::chrono::seconds(settings.shutdown_grace);
    // Once the requests' grace is over (and they have been answered), what they still wait for
    // ends: the PDF renders, the statements running on the database server, the figures in line
    // (a figure being drawn runs to its end), so that their handlers unwind on the running loops.
    config.on_grace_expired = [&database, &plans, &figure_threads] {
      if (plans) plans->shut_down();
      database.shut_down();
      if (figure_threads) figure_threads->join();
    };
    std::optional<web::Server> server;
    server.emplace(app, config);
    server->start();
    log->info("Listening on http://{}:{} with {} event loops", settings.host, server->port(), server->loop_count());
    server->run_until_signal();
    // The loops have ended. Nothing may reach their contexts once those go: the PDF pool's thread
    // ends first, then the threads of blocking calls, while the contexts still exist. The contexts
    // go before the plan services, since work a forced stop left in them may still hold a place
    // in those.
    if (plans) plans->join();
    if (figure_threads) figure_threads->join();
    helpers.join();
    server.reset();
    plans.reset();
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
