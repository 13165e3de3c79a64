#include "brellow/document.hpp"

#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <utility>

#include "base/numfmt.hpp"
#include "brellow/errors.hpp"
#include "brellow/page.hpp"
#include "brellow/service.hpp"
#include "pdf/pool.hpp"

#include "geo/geometry.hpp"
#include "plots/number_text.hpp"
#include "plots/plan_layout.hpp"
#include "plots/plots.hpp"

namespace vekt::brellow::document {

namespace asio = boost::asio;

const plots::PlotRecord& drawable_plot(const std::vector<plots::PlotRecord>& plots, std::int64_t plot_id) {
  for (const plots::PlotRecord& p : plots) {
    if (p.id != plot_id) continue;
    if (!p.geometry) throw ParcelHasNoGeometry(plot_id);
    if (!p.boundary || p.boundary->empty()) throw ParcelHasNoBoundary(plot_id);
    return p;
  }
  // The neighbourhood is read around the parcel's own outline, so the parcel is missing from it only
  // when it was deleted between the two statements.
  throw PlotNotFound(plot_id);
}

asio::awaitable<plots::FigureResult> draw_figure(PlanServices& services, const Neighbourhood& n,
                                                 std::int64_t plot_id,
                                                 std::optional<plots::BoundingBox> bounding_box,
                                                 std::function<bool()> client_gone) {
  // The drawing gets a copy of what it reads: after a time-out it runs on to its end while this
  // request has long gone. A figure that waited in line for a worker is not drawn for a client
  // that hung up meanwhile.
  std::function<plots::FigureResult()> job = [figure = services.figure_function(), parcel_data = n.plots,
                                              road_data = n.roads, plot_id, bounding_box,
                                              client_gone = client_gone] {
    if (client_gone && client_gone()) throw ClientGone("figure was drawn");
    return figure(parcel_data, plots::ParcelNumber(plot_id), road_data, "id", bounding_box, MAX_WIDTH_MM,
                  MAX_HEIGHT_MM);
  };
  std::function<bool()> watch = std::move(client_gone);
  plots::FigureResult result = co_await services.figures.run(std::move(job), services.figure_timeout, watch);
  co_return result;
}

namespace {

// Whether the view that the bounding box gives the figure shows the whole parcel; FrameMissesParcel
// when it shows none of it.
bool whole_parcel_in_view(const plots::PlotRecord& plot, std::int64_t plot_id, const plots::BoundingBox& box) {
  const geo::Geometry parcel = plots::project_geometry(geo::Geometry::from_geojson(plot.geometry->text));
  if (parcel.is_empty()) return true;
  const plots::SurveyFrame f = plots::survey_frame(parcel, box, MAX_WIDTH_MM, MAX_HEIGHT_MM);
  const std::array<base::XY, 5> corners{{{f.xlim.first, f.ylim.first},
                                         {f.xlim.second, f.ylim.first},
                                         {f.xlim.second, f.ylim.second},
                                         {f.xlim.first, f.ylim.second},
                                         {f.xlim.first, f.ylim.first}}};
  const geo::Geometry view = geo::Geometry::polygon(corners);
  if (!view.intersects(parcel)) throw FrameMissesParcel(plot_id);
  const geo::Bounds b = parcel.bounds();
  return b.minx >= f.xlim.first && b.maxx <= f.xlim.second && b.miny >= f.ylim.first && b.maxy <= f.ylim.second;
}

}  // namespace

asio::awaitable<std::optional<Drawing>> draw(PlanImageGenerator& generator, std::string template_path,
                                             std::int64_t plot_id, std::optional<plots::BoundingBox> bounding_box,
                                             DocumentTimings* timings) {
  PlanServices& services = generator.services();
  Drawing d;
  d.template_path = services.project_root() / template_path;
  d.html_content =
      co_await read_template(services.files, services.project_root(), template_path, services.template_timeout);

  auto started = std::chrono::steady_clock::now();
  pg::Session& db = generator.db;
  const bool own_transaction = !db.in_transaction();
  d.plot_data = co_await generator.get_plot_with_nearby(db, plot_id, Boundaries::requested_only);
  if (own_transaction) co_await db.commit();
  add_time(timings ? &timings->data : nullptr, started);
  if (d.plot_data.plots.empty()) co_return std::nullopt;

  const plots::PlotRecord& selected = drawable_plot(d.plot_data.plots, plot_id);
  d.selected = static_cast<std::size_t>(&selected - d.plot_data.plots.data());
  if (bounding_box) d.whole_parcel_in_view = whole_parcel_in_view(selected, plot_id, *bounding_box);

  started = std::chrono::steady_clock::now();
  d.figure = co_await draw_figure(services, d.plot_data, plot_id, bounding_box, generator.client_watch());
  add_time(timings ? &timings->figure : nullptr, started);
  // The image goes into the page unescaped, inside a data: URL: it must be base64 text and
  // nothing else.
  if (!is_base64_text(d.figure.image)) throw base::Error("the plan figure is not base64 text");
  co_return d;
}

asio::awaitable<std::string> render_pdf(pdf::Pool& pdf_pool, std::string_view css, std::string page, DocumentTimings* timings,
                                        std::function<bool()> client_gone) {
  const auto started = std::chrono::steady_clock::now();
  std::string pdf;
  try {
    pdf = co_await pdf_pool.render(std::string(css), std::move(page), std::move(client_gone));
  } catch (const pdf::RenderAbandoned&) {
    throw ClientGone("PDF was rendered");
  }
  add_time(timings ? &timings->pdf : nullptr, started);
  co_return pdf;
}

std::string text(const std::optional<std::string>& value) { return value.value_or(std::string()); }

std::string surveyed_by(const plots::PlotRecord& plot) {
  return plot.surveyed_by ? *plot.surveyed_by : std::string(AGENCY_TITLE);
}

std::string coordinate_text(const std::optional<plots::Number>& value) {
  return value ? plots::fixed_text(*value, 3) : std::string();
}

std::string size_text(double mm) {
  if (std::isfinite(mm) && mm == std::floor(mm) && std::fabs(mm) < 1e15)
    return std::to_string(static_cast<long long>(mm));
  return base::py_float_str(mm);
}

void add_time(std::chrono::steady_clock::duration* slot, std::chrono::steady_clock::time_point start) {
  if (slot) *slot += std::chrono::steady_clock::now() - start;
}

}  // namespace vekt::brellow::document
