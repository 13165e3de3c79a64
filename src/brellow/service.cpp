#include "brellow/service.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "base/error.hpp"
#include "plots/plots.hpp"

namespace vekt::brellow {

web::Router make_router();  // routes.cpp

namespace {

pdf::PoolConfig with_nice(pdf::PoolConfig config, int nice) {
  config.nice = nice;
  return config;
}

struct Module {
  explicit Module(const Config& c)
      : workers(c.figure_threads != 0 ? c.figure_threads : std::max<std::size_t>(1, c.pdf.workers), c.figure_nice),
        figure_timeout(c.figure_timeout),
        pdf(with_nice(c.pdf, c.pdf_nice)),
        queue(c.plan_queue),
        plan_token(c.plan_token && !c.plan_token->empty() ? c.plan_token : std::nullopt),
        router(make_router()) {}
  FigureWorkers workers;
  std::chrono::milliseconds figure_timeout;
  pdf::Pool pdf;
  DocumentQueue queue;
  std::optional<std::string> plan_token;
  web::Router router;
};

std::mutex mu;
std::unique_ptr<Module> module_;  // lives as long as the process
FigureFn figure_fn;
std::filesystem::path root;
std::atomic<std::chrono::milliseconds::rep> statement_limit{std::chrono::milliseconds(STATEMENT_TIMEOUT).count()};

Module& module() {
  std::lock_guard lk(mu);
  if (!module_) throw base::Error("brellow: startup() has not run");
  return *module_;
}

void check_root(const std::filesystem::path& p) {
  if (!p.is_absolute()) throw base::ValueError("project root must be an absolute path: '" + p.string() + "'");
}

}  // namespace

void startup(Config config) {
  std::lock_guard lk(mu);
  if (module_) return;
  check_root(config.project_root);
  if (config.plan_queue == 0) throw base::ValueError("the plan document queue must take at least one document");
  root = config.project_root.lexically_normal();
  statement_limit.store(config.statement_timeout.count());
  module_ = std::make_unique<Module>(config);
}

bool started() {
  std::lock_guard lk(mu);
  return module_ != nullptr;
}

const web::Router& brellow() { return module().router; }

FigureFn figure_function() {
  std::lock_guard lk(mu);
  if (figure_fn) return figure_fn;
  return [](const std::vector<plots::PlotRecord>& parcel_data, const plots::ParcelNumber& selected,
            const std::optional<std::vector<plots::RoadRecord>>& road_data, std::string_view columnname,
            const std::optional<plots::BoundingBox>& bounding_box, double max_width_mm, double max_height_mm) {
    return plots::generate_plot(parcel_data, selected, road_data, columnname, bounding_box, max_width_mm,
                                max_height_mm);
  };
}

void set_figure_function(FigureFn fn) {
  std::lock_guard lk(mu);
  figure_fn = std::move(fn);
}

std::filesystem::path project_root() {
  std::lock_guard lk(mu);
  return root;
}

void set_project_root(std::filesystem::path p) {
  check_root(p);
  std::lock_guard lk(mu);
  root = p.lexically_normal();
}

std::chrono::milliseconds statement_timeout() { return std::chrono::milliseconds(statement_limit.load()); }
void set_statement_timeout(std::chrono::milliseconds limit) { statement_limit.store(limit.count()); }

FigureWorkers& figure_workers() { return module().workers; }
std::chrono::milliseconds figure_timeout() { return module().figure_timeout; }
pdf::Pool& pdf_pool() { return module().pdf; }
DocumentQueue& document_queue() { return module().queue; }
const std::optional<std::string>& plan_token() { return module().plan_token; }

}  // namespace vekt::brellow
