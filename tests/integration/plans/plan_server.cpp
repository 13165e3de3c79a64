#include "plan_server.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "brellow/service.hpp"
#include "host/database.hpp"
#include "host/logger.hpp"
#include "korvane/service.hpp"
#include "plots/plots.hpp"
#include "support/plan_fixture.hpp"
#include "web/router.hpp"
#include "web/server.hpp"

namespace plans_test {

const char* const TINY_PNG_BASE64 =
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR4nGNgYGD4DwABBAEAwS2OUAAAAABJRU5ErkJggg==";

namespace {

struct Running {
  vekt::web::App app{"vekt", "0.1.0"};
  std::unique_ptr<vekt::web::Server> server;
};

Running* running = nullptr;

const std::filesystem::path& templates_copy() {
  static const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("vekt-plan-templates-" + std::to_string(::getpid()));
  return root;
}

// Stops the server and removes the fixture when the test program ends.
class Environment : public ::testing::Environment {
 public:
  void TearDown() override {
    if (!running) return;
    running->server->stop();
    running->server->wait();
    vekt::testing::clear_plan_fixture();
    std::filesystem::remove_all(templates_copy());
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

Running& start() {
  auto* r = new Running;  // lives until the process ends: the module objects refer to its router
  vekt::testing::load_plan_fixture();
  vekt::host::configure_logging(spdlog::level::info);
  (void)vekt::host::database();
  vekt::korvane::startup();
  r->app.include_router(vekt::korvane::korvane());
  vekt::plots::init();
  vekt::brellow::Config config;
  std::filesystem::remove_all(templates_copy());
  std::filesystem::create_directories(templates_copy());
  std::filesystem::copy(std::filesystem::path(VEKT_SOURCE_DIR) / "templates", templates_copy() / "templates");
  config.project_root = templates_copy();
  config.plan_queue = PLAN_QUEUE;
  config.figure_threads = FIGURE_THREADS;
  config.figure_timeout = FIGURE_TIMEOUT;
  config.pdf.workers = PDF_WORKERS;
  config.pdf.timeout = PDF_TIMEOUT;
  // These tests run beside builds on shared machines: at the server's niceness (10 and 19) a figure
  // or a render can starve past its limit there. What the niceness does is tested with the pool.
  config.figure_nice = 0;
  config.pdf_nice = 0;
  vekt::brellow::startup(config);
  r->app.include_router(vekt::brellow::brellow());
  vekt::web::ServerConfig sc;
  sc.port = 0;
  sc.threads = 2;
  r->server = std::make_unique<vekt::web::Server>(r->app, sc);
  r->server->start();
  return *r;
}

}  // namespace

std::optional<int> server_port() {
  const char* url = std::getenv("DATABASE_URL");
  if (!url || !*url) return std::nullopt;
  static std::once_flag once;
  std::call_once(once, [] { running = &start(); });
  return running->server->port();
}

std::filesystem::path project_root() { return templates_copy(); }

struct StandInFigure::State {
  mutable std::mutex mu;
  std::vector<FigureCall> calls;
  std::vector<vekt::plots::ScheduleItem> schedule;
  std::chrono::milliseconds delay{0};
};

StandInFigure::StandInFigure(std::vector<vekt::plots::ScheduleItem> schedule, std::chrono::milliseconds delay)
    : state_(std::make_shared<State>()) {
  state_->schedule = std::move(schedule);
  state_->delay = delay;
  vekt::brellow::set_figure_function(
      [state = state_](const std::vector<vekt::plots::PlotRecord>& parcel_data,
                       const vekt::plots::ParcelNumber& selected,
                       const std::optional<std::vector<vekt::plots::RoadRecord>>& road_data,
                       std::string_view columnname, const std::optional<vekt::plots::BoundingBox>& bounding_box,
                       double max_width_mm, double max_height_mm) {
        {
          std::lock_guard lk(state->mu);
          state->calls.push_back(FigureCall{parcel_data, selected, road_data, std::string(columnname), bounding_box,
                                            max_width_mm, max_height_mm});
        }
        std::this_thread::sleep_for(state->delay);
        vekt::plots::FigureResult f;
        f.image = TINY_PNG_BASE64;
        f.size = {max_width_mm, max_height_mm};
        f.scale = 500;
        f.schedule = state->schedule;
        return f;
      });
}

StandInFigure::~StandInFigure() { vekt::brellow::set_figure_function(nullptr); }

std::vector<FigureCall> StandInFigure::calls() const {
  std::lock_guard lk(state_->mu);
  return state_->calls;
}

}  // namespace plans_test
