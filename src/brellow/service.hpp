#pragma once
// The plan documents as the host sees them: start-up, the module objects the document methods
// read when they run (the figure function, the project root with the templates under it, the
// figure workers, the PDF workers, the document queue) and the router "/plans".
//
// The host reads its settings once and hands them in through startup(); nothing here reads the
// environment.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brellow/document_queue.hpp"
#include "brellow/figure_workers.hpp"
#include "brellow/generator.hpp"
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

// Run once by the host before it listens. Throws base::ValueError for a relative project root or
// a queue of 0. A second call does nothing.
void startup(Config config);
bool started();

// The router "/plans" with the tag "Plan documents" (valid after startup()).
const web::Router& brellow();

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

// Module objects (valid after startup()).
FigureWorkers& figure_workers();
std::chrono::milliseconds figure_timeout();
pdf::Pool& pdf_pool();
DocumentQueue& document_queue();
const std::optional<std::string>& plan_token();

}  // namespace vekt::brellow
