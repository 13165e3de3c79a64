#include "brellow/service.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "base/error.hpp"
#include "plots/plots.hpp"

namespace vekt::brellow {

namespace {

pdf::PoolConfig with_nice(pdf::PoolConfig config, int nice) {
  config.nice = nice;
  return config;
}

std::filesystem::path checked_root(const std::filesystem::path& p) {
  if (!p.is_absolute()) throw base::ValueError("project root must be an absolute path: '" + p.string() + "'");
  return p.lexically_normal();
}

const Config& checked(const Config& c) {
  (void)checked_root(c.project_root);
  if (c.plan_queue == 0) throw base::ValueError("the plan document queue must take at least one document");
  return c;
}

}  // namespace

std::size_t figure_thread_count(const Config& c) {
  return c.figure_threads != 0 ? c.figure_threads : std::max<std::size_t>(1, c.pdf.workers);
}

PlanServices::PlanServices(const Config& c, base::BlockingPool& figure_threads, base::BlockingPool& file_threads)
    : figures(figure_threads),
      pdf(with_nice(checked(c).pdf, c.pdf_nice)),
      queue(c.plan_queue),
      files(file_threads),
      figure_timeout(c.figure_timeout),
      plan_token(c.plan_token && !c.plan_token->empty() ? c.plan_token : std::nullopt),
      root_(checked_root(c.project_root)),
      statement_limit_(c.statement_timeout.count()) {}

void PlanServices::shut_down() { pdf.shut_down(); }

void PlanServices::join() { pdf.join(); }

FigureFn PlanServices::figure_function() const {
  std::lock_guard lk(mu_);
  if (figure_fn_) return figure_fn_;
  return [](const std::vector<plots::PlotRecord>& parcel_data, const plots::ParcelNumber& selected,
            const std::optional<std::vector<plots::RoadRecord>>& road_data, std::string_view columnname,
            const std::optional<plots::BoundingBox>& bounding_box, double max_width_mm, double max_height_mm) {
    return plots::generate_plot(parcel_data, selected, road_data, columnname, bounding_box, max_width_mm,
                                max_height_mm);
  };
}

void PlanServices::set_figure_function(FigureFn fn) {
  std::lock_guard lk(mu_);
  figure_fn_ = std::move(fn);
}

std::filesystem::path PlanServices::project_root() const {
  std::lock_guard lk(mu_);
  return root_;
}

void PlanServices::set_project_root(std::filesystem::path p) {
  std::filesystem::path root = checked_root(p);
  std::lock_guard lk(mu_);
  root_ = std::move(root);
}

std::chrono::milliseconds PlanServices::statement_timeout() const {
  return std::chrono::milliseconds(statement_limit_.load());
}

void PlanServices::set_statement_timeout(std::chrono::milliseconds limit) { statement_limit_.store(limit.count()); }

namespace {

// The module's one set of plan services, with figure threads of its own.
struct Module {
  explicit Module(const Config& c)
      : figure_threads(figure_thread_count(c), c.figure_nice),
        services(c, figure_threads, base::shared_blocking_pool()),
        router(make_router(services)) {}
  base::BlockingPool figure_threads;
  PlanServices services;
  web::Router router;
};

std::mutex mu;
std::unique_ptr<Module> module_;  // lives as long as the process

Module& module() {
  std::lock_guard lk(mu);
  if (!module_) throw base::Error("brellow: startup() has not run");
  return *module_;
}

}  // namespace

void startup(Config config) {
  std::lock_guard lk(mu);
  if (module_) return;
  module_ = std::make_unique<Module>(config);
}

bool started() {
  std::lock_guard lk(mu);
  return module_ != nullptr;
}

PlanServices& services() { return module().services; }
const web::Router& brellow() { return module().router; }

FigureFn figure_function() { return services().figure_function(); }
void set_figure_function(FigureFn fn) { services().set_figure_function(std::move(fn)); }
std::filesystem::path project_root() { return services().project_root(); }
void set_project_root(std::filesystem::path root) { services().set_project_root(std::move(root)); }
std::chrono::milliseconds statement_timeout() { return services().statement_timeout(); }
void set_statement_timeout(std::chrono::milliseconds limit) { services().set_statement_timeout(limit); }

FigureWorkers& figure_workers() { return services().figures; }
std::chrono::milliseconds figure_timeout() { return services().figure_timeout; }
pdf::Pool& pdf_pool() { return services().pdf; }
DocumentQueue& document_queue() { return services().queue; }
const std::optional<std::string>& plan_token() { return services().plan_token; }

}  // namespace vekt::brellow
