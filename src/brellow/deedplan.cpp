// The deed plan of a parcel: the particulars the caller gives, the parcel's own, the figure and
// the schedule of the short legs, on one A4 sheet while they fit there (continuation sheets
// beyond).
#include <string>
#include <utility>
#include <vector>

#include "brellow/case_mapping.hpp"
#include "brellow/document.hpp"
#include "brellow/generator.hpp"
#include "brellow/page.hpp"
#include "brellow/service.hpp"

namespace vekt::brellow {

namespace asio = boost::asio;

namespace document {

std::vector<Placeholder> deedplan_data(const Drawing& drawing, const std::string& district,
                                       const std::string& file_no, const std::string& person_name,
                                       const std::string& cadzone) {
  const plots::PlotRecord& selected_plot = drawing.selected_plot();
  const plots::BeaconRecord& select_beacon = drawing.first_beacon();
  const plots::FigureResult& figure = drawing.figure;
  const std::string tracing_no = text(selected_plot.plan_layout_no);
  const std::string address = upper_case(text(selected_plot.address));
  const std::string schedule_html = schedule_table_html(figure.schedule);

  // In the order the page is filled; values are escaped on the way in except our own markup.
  return {
      {"{{parcel_number}}", text(selected_plot.name)},
      {"{{image}}", figure.image, true},
      {"{{width}}", size_text(figure.size.first)},
      {"{{height}}", size_text(figure.size.second)},
      {"{{district}}", upper_case(district)},
      {"{{cadzone}}", upper_case(cadzone)},
      {"{{file_no}}", upper_case(file_no)},  // the caller's file number, not the record's
      {"{{person_name}}", upper_case(person_name)},
      {"{{date}}", date_text()},
      {"{{tracing_no}}", tracing_no},
      {"{{beacon_number}}", text(select_beacon.beacon_name)},
      {"{{beacon_longitude}}", coordinate_text(select_beacon.beacon_easting)},
      {"{{beacon_latitude}}", coordinate_text(select_beacon.beacon_northing)},
      {"{{surveyed_by}}", surveyed_by(selected_plot)},
      {"{{scale}}", std::to_string(figure.scale)},
      {"{{address}}", address},
      {"{{surveyor_general}}", std::string(SURVEYOR_GENERAL)},
      {"{{schedule_table}}", schedule_html, true},
  };
}

}  // namespace document

asio::awaitable<std::optional<std::string>> PlanImageGenerator::generate_deedplan_html(
    std::int64_t plot_id, std::string district, std::string file_no, std::string person_name, std::string cadzone,
    std::optional<plots::BoundingBox> bounding_box) {
  using namespace document;
  std::optional<Drawing> drawing = co_await draw(*this, "templates/deedplan.html", plot_id, bounding_box, timings_);
  if (!drawing) co_return std::nullopt;
  std::vector<Placeholder> data = deedplan_data(*drawing, district, file_no, person_name, cadzone);
  std::string page = co_await assemble_off_loop(services().figures.pool(), std::move(*drawing), std::move(data), deedplan_boxes());

  co_return co_await render_pdf(services().pdf, DEEDPLAN_CSS, std::move(page), timings_, client_gone_);
}

}  // namespace vekt::brellow
