#pragma once
// The plan documents as the host sees them: start-up, the services the routes and document steps
// work with (the figure function, the project root with the templates under it, the figure
// workers, the PDF workers, the document queue, the limits), the accessors over them and the
// router "/plans".
//
// The host reads its settings once and hands them in through startup(); nothing here reads the
// environment.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/blocking_pool.hpp"
#include "brellow/document_queue.hpp"
#include "brellow/figure_workers.hpp"
#include "brellow/generator.hpp"
#include "brellow/page.hpp"
#include "pdf/pool.hpp"
#include "plots/records.hpp"
#include "web/router.hpp"

namespace vekt::brellow {

// The plan figure as the documents call it: parcel_data, selected_parcel_number, road_data,
// columnname, bounding_box, max_width_mm, max_height_mm.
using FigureFn = std::function<plots::FigureResult(
    const std::vector<plots::PlotRecord>&, const plots::ParcelNumber&, const std::optional<std::vector<plots::RoadRecord>>&,
    std::string_view, const std::optional<plots::BoundingBox>&, double, double)>;

struct Config {
  // The directory the templates lie under ("templates/deedplan.html"); must be absolute.
  std::filesystem::path project_root;
  // Documents in hand at once (rendering or waiting); beyond it requests are turned away.
  std::size_t plan_queue = 32;
  // Threads that draw figures (0: as many as there are PDF workers).
  std::size_t figure_threads = 0;
  // The limit of one figure, time in line included.
  std::chrono::milliseconds figure_timeout{30000};
  // Niceness of the figure threads and of the PDF workers: documents take the CPU the event loops
  // leave, so the map keeps its pace while plans render.
  int figure_nice = 10;
  int pdf_nice = 19;
  pdf::PoolConfig pdf{};
  // The bearer token a caller must present for a plan; none: clients on this machine only.
  std::optional<std::string> plan_token;
  // The limit on each statement of a plan read.
  std::chrono::milliseconds statement_timeout = STATEMENT_TIMEOUT;
};

// The threads that draw the figures: `figure_threads`, else as many as there are PDF workers.
std::size_t figure_thread_count(const Config& config);

// What the plan routes and the document steps work with, built once and handed to them, so that
// a route's signature says what it touches. vekt-server's main owns its PlanServices, shuts them
// down once the requests' grace is over and destroys them before its event loops go (the PDF pool
// hands its results to those loops). Programs and tests without loops of their own to outlive use
// the module's one PlanServices instead: startup() builds it, the accessors below hand out its parts.
class PlanServices {
 public:
  // Figures are drawn on `figure_threads` and templates read on `files`, both of which must
  // outlive the services. Throws base::ValueError for a relative project root or a queue of 0.
  PlanServices(const Config& config, base::BlockingPool& figure_threads, base::BlockingPool& files);
  PlanServices(const PlanServices&) = delete;
  PlanServices& operator=(const PlanServices&) = delete;

  // The PDF renders waiting and under way fail (503) and the PDF workers end, without waiting;
  // the figure threads are their owner's to join.
  void shut_down();
  // shut_down(), then waits until the PDF pool's thread has ended: from then on nothing of the
  // services reaches an event loop. No document may be asked for after it.
  void join();

  FigureWorkers figures;
  pdf::Pool pdf;
  DocumentQueue queue;
  base::BlockingPool& files;
  std::chrono::milliseconds figure_timeout;   // one figure, time in line included
  std::chrono::milliseconds template_timeout = TEMPLATE_READ_TIMEOUT;
  std::optional<std::string> plan_token;      // unset (never empty): loopback clients only

  // Read anew by every document; a test may change them while the server runs.
  // The figure function: vekt::plots::generate_plot unless another was set (empty: the default).
  FigureFn figure_function() const;
  void set_figure_function(FigureFn fn);
  // The templates' root; a new one must be absolute.
  std::filesystem::path project_root() const;
  void set_project_root(std::filesystem::path root);
  // The limit on each statement of the plans read from now on.
  std::chrono::milliseconds statement_timeout() const;
  void set_statement_timeout(std::chrono::milliseconds limit);

 private:
  mutable std::mutex mu_;
  FigureFn figure_fn_;
  std::filesystem::path root_;
  std::atomic<std::chrono::milliseconds::rep> statement_limit_;
};

// The two plan routes, each bound to `services` (which must outlive the router).
web::Router make_router(PlanServices& services);

// Builds the module's one PlanServices, with figure threads of its own (figure_thread_count(config)
// of them, at config.figure_nice) and templates read on base::shared_blocking_pool(): for programs
// and tests that own no event loops to outlive. Throws base::ValueError for a relative project
// root or a queue of 0. A second call does nothing.
void startup(Config config);
bool started();

// The one PlanServices (valid after startup()).
PlanServices& services();

// The router "/plans" with the tag "Plan documents" (valid after startup()).
const web::Router& brellow();

// The module accessors, over services() (valid after startup()).
// The figure function the documents call, read anew by every document. By default
// vekt::plots::generate_plot; an empty function restores that default.
FigureFn figure_function();
void set_figure_function(FigureFn fn);

// The templates' root, read anew by every document; a new one must be absolute.
std::filesystem::path project_root();
void set_project_root(std::filesystem::path root);

// The limit on each statement of the plans read from now on (tests shorten it).
std::chrono::milliseconds statement_timeout();
void set_statement_timeout(std::chrono::milliseconds limit);

FigureWorkers& figure_workers();
std::chrono::milliseconds figure_timeout();
pdf::Pool& pdf_pool();
DocumentQueue& document_queue();
const std::optional<std::string>& plan_token();

}  // namespace vekt::brellow
