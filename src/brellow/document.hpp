#pragma once
// The steps the deed plan and the site plan share beyond the page helpers: picking the parcel to
// draw and checking that it can be drawn, the figure on the figure workers, the PDF on the PDF
// workers, and the text forms of the values the pages print.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "base/blocking_pool.hpp"
#include "brellow/generator.hpp"
#include "brellow/page.hpp"
#include "brellow/service.hpp"
#include "brellow/sheets.hpp"
#include "brellow/timings.hpp"
#include "plots/records.hpp"

namespace vekt::brellow::document {

// The surveyor printed when the parcel records none.
inline constexpr std::string_view AGENCY_TITLE = "ORBEL STATE GEOGRAPHIC INFORMATION SYSTEM SERVICE";
inline constexpr std::string_view SURVEYOR_GENERAL = "SURV. DALMO RENFIK .K.Mnis";
// The printable area of the figure on both documents, millimetres.
inline constexpr double MAX_WIDTH_MM = 190;
inline constexpr double MAX_HEIGHT_MM = 160;

// What both documents have in hand before they fill their page: the template text, the
// neighbourhood, the parcel's own record and its figure.
struct Drawing {
  std::filesystem::path template_path;  // as read, for what is said of the template
  std::string html_content;
  Neighbourhood plot_data;
  std::size_t selected = 0;  // index of the parcel's record in plot_data.plots
  plots::FigureResult figure;
  // False when the bounding box shows only part of the parcel.
  bool whole_parcel_in_view = true;
  const plots::PlotRecord& selected_plot() const { return plot_data.plots[selected]; }
  const plots::BeaconRecord& first_beacon() const { return selected_plot().boundary->front(); }
};

// The shared first steps, in their order, with the generator's services: the template
// `template_path` under their project root
// (read first, so a missing template fails also for an unknown parcel), the neighbourhood read
// through the generator's session, nullopt for an unknown parcel, the checks of drawable_plot,
// then the figure. A read that opened the session's transaction ends it before the figure, so the
// connection goes back to its pool while the figure and the PDF take their seconds.
boost::asio::awaitable<std::optional<Drawing>> draw(PlanImageGenerator& generator, std::string template_path,
                                                    std::int64_t plot_id,
                                                    std::optional<plots::BoundingBox> bounding_box,
                                                    DocumentTimings* timings);

// The placeholders of each page with their values, in the order the page is filled.
std::vector<Placeholder> deedplan_data(const Drawing& drawing, const std::string& district,
                                       const std::string& file_no, const std::string& person_name,
                                       const std::string& cadzone);
std::vector<Placeholder> siteplan_data(const Drawing& drawing);

// The boxes of the first sheet's texts, by placeholder: those of the deed plan and of the site
// plan (sizes in millimetres, as the layout places them).
const sheets::Page& deedplan_boxes();
const sheets::Page& siteplan_boxes();

// The filled pages of a document, its first sheet and any continuation sheets: each text of
// `boxes` set in its box (smaller, or moved in full to a continuation sheet, where it must), the
// schedule's rows that do not fit the first sheet on continuation sheets, every sheet numbered.
std::string assemble(const Drawing& drawing, std::vector<Placeholder> data,
                     const sheets::Page& boxes);
// assemble() on a thread of `threads` (the figure threads), off the event loop: measuring the
// texts with Pango takes milliseconds for long ones, and a thread's first measurement loads the
// fonts.
boost::asio::awaitable<std::string> assemble_off_loop(base::BlockingPool& threads, Drawing drawing,
                                                      std::vector<Placeholder> data, const sheets::Page& boxes);

// The record of `plot_id` among the plots (the first one), checked before anything is drawn:
// ParcelHasNoGeometry when it is missing or has no outline, ParcelHasNoBoundary when it has no
// boundary legs (so no beacon to print).
const plots::PlotRecord& drawable_plot(const std::vector<plots::PlotRecord>& plots, std::int64_t plot_id);

// The figure of the neighbourhood around `plot_id` at MAX_WIDTH_MM × MAX_HEIGHT_MM, drawn by the
// services' figure function on their figure workers. The box goes to the figure as it came.
// `client_gone`, when given, is asked as the figure starts: true drops it with ClientGone.
boost::asio::awaitable<plots::FigureResult> draw_figure(PlanServices& services, const Neighbourhood& n,
                                                        std::int64_t plot_id,
                                                        std::optional<plots::BoundingBox> bounding_box,
                                                        std::function<bool()> client_gone = {});

// The PDF of the filled page on the PDF workers `pdf` (its time added to timings->pdf); ClientGone
// when `client_gone` says so as a worker falls free for it.
boost::asio::awaitable<std::string> render_pdf(pdf::Pool& pdf, std::string_view css, std::string page, DocumentTimings* timings,
                                               std::function<bool()> client_gone = {});

// Text forms of record values: a missing value prints as "" (never "None").
std::string text(const std::optional<std::string>& value);
// Who surveyed the parcel: the recorded surveyor (even an empty one), else AGENCY_TITLE.
std::string surveyed_by(const plots::PlotRecord& plot);
// A coordinate with three decimals ("345678.124", "7.000"); "" when missing.
std::string coordinate_text(const std::optional<plots::Number>& value);
// A printable size as the figure gave it back: "190" for a whole number, else its shortest form.
std::string size_text(double mm);

// Adds the time since `start` to `slot` when timings are recorded.
void add_time(std::chrono::steady_clock::duration* slot, std::chrono::steady_clock::time_point start);

}  // namespace vekt::brellow::document
