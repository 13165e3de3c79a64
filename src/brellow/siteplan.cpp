// The site plan of a parcel: the parcel's own particulars, the figure and the schedule of the
// short legs on one A4 page, handed back in the response envelope as "SitePlan_<id>.pdf".
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "brellow/document.hpp"
#include "brellow/generator.hpp"
#include "brellow/page.hpp"
#include "brellow/service.hpp"

namespace vekt::brellow {

namespace asio = boost::asio;

namespace document {

std::vector<Placeholder> siteplan_data(const Drawing& drawing) {
  const plots::PlotRecord& selected_plot = drawing.selected_plot();
  const plots::BeaconRecord& select_beacon = drawing.first_beacon();
  const plots::FigureResult& figure = drawing.figure;
  const std::string schedule_html = schedule_table_html(figure.schedule);

  // In the order the page is filled; values are escaped on the way in except our own markup.
  return {
      {"{{file_no}}", text(selected_plot.file_no)},  // the record's file number
      {"{{image}}", figure.image, true},
      {"{{width}}", size_text(figure.size.first)},
      {"{{height}}", size_text(figure.size.second)},
      {"{{scale}}", std::to_string(figure.scale)},
      {"{{parcel_number}}", text(selected_plot.name)},
      {"{{date}}", date_text()},
      {"{{beacon_number}}", text(select_beacon.beacon_name)},
      {"{{beacon_longitude}}", coordinate_text(select_beacon.beacon_easting)},
      {"{{beacon_latitude}}", coordinate_text(select_beacon.beacon_northing)},
      {"{{surveyor_general}}", std::string(SURVEYOR_GENERAL)},
      {"{{surveyed_by}}", surveyed_by(selected_plot)},
      {"{{schedule_table}}", schedule_html, true},
  };
}

}  // namespace document

asio::awaitable<std::optional<host::ApiResponse>> PlanImageGenerator::generate_siteplan_html(
    std::int64_t plot_id, std::optional<plots::BoundingBox> bounding_box) {
  using namespace document;
  std::optional<Drawing> drawing = co_await draw(*this, "templates/siteplan.html", plot_id, bounding_box, timings_);
  if (!drawing) co_return std::nullopt;
  std::vector<Placeholder> data = siteplan_data(*drawing);
  std::string page = co_await assemble_off_loop(services().figures.pool(), std::move(*drawing), std::move(data), siteplan_boxes());

  std::string pdf_bytes = co_await render_pdf(services().pdf, SITEPLAN_CSS, std::move(page), timings_, client_gone_);
  co_return host::api_response({.file = std::move(pdf_bytes), .filename = fmt::format("SitePlan_{}.pdf", plot_id)});
}

}  // namespace vekt::brellow
