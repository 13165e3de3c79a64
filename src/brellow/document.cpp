#include "brellow/document.hpp"

#include <cmath>
#include <string>
#include <utility>
#include <variant>

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "base/numfmt.hpp"
#include "brellow/errors.hpp"
#include "brellow/page.hpp"
#include "brellow/service.hpp"

namespace vekt::brellow::document {

namespace asio = boost::asio;

const plots::PlotRecord& drawable_plot(const std::vector<plots::PlotRecord>& plots, std::int64_t plot_id) {
  for (const plots::PlotRecord& p : plots) {
    if (p.id != plot_id) continue;
    if (!p.geometry) throw ParcelHasNoGeometry(plot_id);
    if (!p.boundary || p.boundary->empty()) throw ParcelHasNoBoundary(plot_id);
    return p;
  }
  // The neighbourhood holds every parcel within reach of the requested one, so the parcel itself
  // is missing only when it has no outline to be near anything.
  throw ParcelHasNoGeometry(plot_id);
}

asio::awaitable<plots::FigureResult> draw_figure(const Neighbourhood& n, std::int64_t plot_id,
                                                 std::optional<plots::BoundingBox> bounding_box) {
  // The worker reads the records in place: this frame stays suspended, the neighbourhood alive,
  // until the worker has reported back or the wait has timed out; after a time-out the drawing
  // may still run, so it gets its own copy of what it reads.
  auto parcel_data = std::make_shared<const std::vector<plots::PlotRecord>>(n.plots);
  auto road_data = std::make_shared<const std::optional<std::vector<plots::RoadRecord>>>(n.roads);
  FigureFn figure = figure_function();
  co_return co_await figure_workers().run(
      [figure = std::move(figure), parcel_data, road_data, plot_id, bounding_box] {
        return figure(*parcel_data, plots::ParcelNumber(plot_id), *road_data, "id", bounding_box, MAX_WIDTH_MM,
                      MAX_HEIGHT_MM);
      },
      figure_timeout());
}

asio::awaitable<std::optional<Drawing>> draw(PlanImageGenerator& generator, std::string template_path,
                                             std::int64_t plot_id, std::optional<plots::BoundingBox> bounding_box,
                                             DocumentTimings* timings) {
  Drawing d;
  d.html_content = co_await read_template(project_root(), template_path);

  auto started = std::chrono::steady_clock::now();
  pg::Session& db = generator.db;
  const bool own_transaction = !db.in_transaction();
  d.plot_data = co_await generator.get_plot_with_nearby(db, plot_id, Boundaries::requested_only);
  if (own_transaction) co_await db.commit();
  add_time(timings ? &timings->data : nullptr, started);
  if (d.plot_data.plots.empty()) co_return std::nullopt;

  const plots::PlotRecord& selected = drawable_plot(d.plot_data.plots, plot_id);
  d.selected = static_cast<std::size_t>(&selected - d.plot_data.plots.data());

  started = std::chrono::steady_clock::now();
  d.figure = co_await draw_figure(d.plot_data, plot_id, bounding_box);
  add_time(timings ? &timings->figure : nullptr, started);
  // The image goes into the page unescaped, inside a data: URL: it must be base64 text and
  // nothing else.
  if (!is_base64_text(d.figure.image)) throw base::Error("the plan figure is not base64 text");
  co_return d;
}

asio::awaitable<std::string> render_pdf(std::string_view css, std::string page) {
  co_return co_await pdf_pool().render(std::string(css), std::move(page));
}

std::string text(const std::optional<std::string>& value) { return value.value_or(std::string()); }

std::string upper(std::string_view t) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(t.data(), static_cast<std::int32_t>(t.size())))
      .toUpper(icu::Locale::getRoot())
      .toUTF8String(out);
  return out;
}

namespace {

// A decimal's digit text rounded half-even to three decimals, as a decimal number formats.
std::string decimal_fixed3(const std::string& digits) {
  std::string s = digits;
  bool negative = !s.empty() && (s[0] == '-' || s[0] == '+');
  if (negative) {
    negative = s[0] == '-';
    s.erase(0, 1);
  }
  auto dot = s.find('.');
  std::string whole = dot == std::string::npos ? s : s.substr(0, dot);
  std::string frac = dot == std::string::npos ? "" : s.substr(dot + 1);
  if (whole.empty()) whole = "0";
  for (char c : whole + frac)
    if (c < '0' || c > '9') return base::fixed(std::strtod(digits.c_str(), nullptr), 3);
  std::string kept = frac.substr(0, std::min<std::size_t>(3, frac.size()));
  kept.append(3 - kept.size(), '0');
  std::string dropped = frac.size() > 3 ? frac.substr(3) : "";
  std::string all = whole + kept;  // digits of value * 1000, truncated
  bool up = false;
  if (!dropped.empty()) {
    if (dropped[0] > '5') {
      up = true;
    } else if (dropped[0] == '5') {
      bool rest_nonzero = dropped.find_first_not_of('0', 1) != std::string::npos;
      up = rest_nonzero || ((all.back() - '0') % 2 == 1);
    }
  }
  if (up) {
    int i = static_cast<int>(all.size()) - 1;
    while (i >= 0 && all[static_cast<std::size_t>(i)] == '9') all[static_cast<std::size_t>(i--)] = '0';
    if (i < 0)
      all.insert(all.begin(), '1');
    else
      ++all[static_cast<std::size_t>(i)];
  }
  std::string int_part = all.substr(0, all.size() - 3);
  auto first = int_part.find_first_not_of('0');
  int_part = first == std::string::npos ? "0" : int_part.substr(first);
  std::string out = int_part + "." + all.substr(all.size() - 3);
  bool zero = out.find_first_not_of("0.") == std::string::npos;
  return (negative && !zero ? "-" : "") + out;
}

}  // namespace

std::string coordinate_text(const std::optional<plots::Number>& value) {
  if (!value) return "";
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::int64_t>)
          return std::to_string(v) + ".000";
        else if constexpr (std::is_same_v<T, double>)
          return base::fixed(v, 3);
        else
          return decimal_fixed3(v.digits);
      },
      *value);
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
