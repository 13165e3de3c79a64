// The sheets of a plan document: the first sheet filled from its template, each text set to fit
// its box, and the continuation sheets of the schedule and of texts too long for the first sheet.
#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "base/blocking_pool.hpp"
#include "brellow/document.hpp"
#include "brellow/page.hpp"
#include "brellow/sheets.hpp"

namespace vekt::brellow::document {

namespace {

using sheets::BoxGroup;
using sheets::Cell;

std::string fmt_mm(double v) { return fmt::format("{:.1f}", v); }

// The widths the texts are measured in, millimetres: each a little inside the content width the
// templates give its box (the box's CSS width less its padding and rules), so that a text found
// to fit on one line there fits on the page too; a text of more lines is printed in a box of
// exactly this width (tests/unit/brellow/sheets_test.cpp holds these against the templates).
// The parcel number follows "PLAN OF " (9 pt bold) in the title's 120 mm.
constexpr double PARCEL_NUMBER_MM = 98;
// The references' value column: a table of 68 mm less the label's 22 mm and both cells' padding.
constexpr double FILE_NO_MM = 39.5;
// The certificate's 90 mm less its padding and border.
constexpr double SURVEYOR_MM = 85.5;
// The particulars' columns of label and value (the template's 23 and 66 mm inside their padding
// of 1.5 mm a side), and the value columns within them: one, or three when a value runs across.
constexpr double LABEL_COLUMN_MM = 26, VALUE_COLUMN_MM = 69, CELL_PADDING_MM = 3;
constexpr double HALF_VALUE_MM = VALUE_COLUMN_MM - CELL_PADDING_MM - 0.5;
constexpr double ACROSS_VALUE_MM = 2 * VALUE_COLUMN_MM + LABEL_COLUMN_MM - CELL_PADDING_MM - 0.5;
// The site plan's origin beacon (36.5 mm).
constexpr double SITE_BEACON_MM = 36;

// The title block of both templates: the parcel number after "PLAN OF " in the title, the file
// number in the box of references beside it (beside the scale and sheet rows).
BoxGroup title_group() { return {{{{"{{parcel_number}}", "Parcel number", PARCEL_NUMBER_MM}}}, 5.5, 0, 9}; }
// The deed plan's file number is the caller's; the site plan's, the parcel's record.
BoxGroup refs_group(bool callers) {
  return {{{{"{{file_no}}", "File No.", FILE_NO_MM, "", false, callers}}}, 15.5, 2.2, 8};
}
// The surveyor's name in the certificate, between its heading and the certificate's text.
BoxGroup surveyor_group() { return {{{{"{{surveyed_by}}", "Surveyed by", SURVEYOR_MM}}}, 9.4, 0, 7}; }

// The particulars of the deed plan, four rows of two label-value pairs in a table of 190 mm; the
// coordinates beside the origin beacon and the tracing number are numbers of a few characters.
BoxGroup deed_particulars() {
  return {{{{"{{person_name}}", "Granted to", HALF_VALUE_MM, "", false, true},
            {"{{district}}", "District", HALF_VALUE_MM, "", false, true}},
           {{"{{address}}", "Address", HALF_VALUE_MM}, {"{{cadzone}}", "Cadastral zone", HALF_VALUE_MM, "", false, true}},
           {{"{{beacon_number}}", "Origin beacon", HALF_VALUE_MM}},
           {{"{{tracing_no}}", "Tracing No.", HALF_VALUE_MM}}},
          22.0,
          1.7,
          7.5};
}
// Spread: the grantee and the address each across the table, district and zone side by side.
BoxGroup deed_spread_particulars() {
  return {{{{"{{person_name}}", "Granted to", ACROSS_VALUE_MM, "", true, true}},
           {{"{{address}}", "Address", ACROSS_VALUE_MM, "", true}},
           {{"{{district}}", "District", HALF_VALUE_MM, "", false, true},
            {"{{cadzone}}", "Cadastral zone", HALF_VALUE_MM, "", false, true}},
           {{"{{beacon_number}}", "Origin beacon", HALF_VALUE_MM}, {"{{beacon_longitude}}", "Easting", HALF_VALUE_MM, " m"}},
           {{"{{tracing_no}}", "Tracing No.", HALF_VALUE_MM}, {"{{beacon_latitude}}", "Northing", HALF_VALUE_MM, " m"}}},
          22.0,
          1.7,
          7.5};
}

BoxGroup site_particulars() { return {{{{"{{beacon_number}}", "Origin beacon", SITE_BEACON_MM}}}, 15.0, 1.7, 7.5}; }

// The particulars table of a spread sheet: its rows as `group` gives them, in the template's four
// columns of label and value.
constexpr std::string_view PARTICULARS_BEGIN = "<!-- particulars -->";
constexpr std::string_view PARTICULARS_END = "<!-- /particulars -->";
std::string particulars_table(const BoxGroup& group) {
  std::string html = fmt::format(
      "<table><colgroup><col style=\"width: {0}mm;\"><col style=\"width: {1}mm;\"><col style=\"width: {0}mm;\">"
      "<col style=\"width: {1}mm;\"></colgroup>",
      LABEL_COLUMN_MM, VALUE_COLUMN_MM);
  for (const auto& row : group.rows) {
    html += "<tr>";
    for (const Cell& c : row)
      html += fmt::format("<td class=\"label\">{}</td><td class=\"value\"{}>{}{}</td>", html_escape(c.label),
                          c.across ? " colspan=\"3\"" : "", c.key, html_escape(c.suffix));
    html += "</tr>";
  }
  return html + "</table>";
}

// The first sheet's blocks where a spread sheet puts them, over the template's own places.
std::string spread_style(const sheets::Layout& layout) {
  const sheets::FirstSheet& s = layout.first;
  if (!s.spread) return "";
  std::string css = fmt::format(
      ".title {{ height: {}mm; }} .particulars {{ top: {}mm; height: auto; }} .figure {{ top: {}mm; }} "
      ".bottom {{ top: {}mm; height: {}mm; }} .schedule-box {{ width: {}mm; height: {}mm; }} "
      ".schedule {{ columns: {}; height: {}mm; }} .continued {{ top: {}mm; height: {}mm; }} ",
      fmt_mm(s.title_mm), fmt_mm(s.particulars_top()), fmt_mm(s.figure_top()), fmt_mm(s.bottom_top()),
      fmt_mm(s.bottom_mm), fmt_mm(s.schedule.width_mm), fmt_mm(s.schedule_box_mm()),
      std::max<std::size_t>(layout.schedule.first_sheet_columns, 1), fmt_mm(s.schedule_box_mm() - 6),
      fmt_mm(40 + s.schedule.title_growth_mm), fmt_mm(248 - s.schedule.title_growth_mm));
  if (s.certificates_side_by_side)
    css += fmt::format(
        ".certificates {{ left: 0; top: {}mm; width: 190mm; }} .certificate {{ position: absolute; top: 0; left: 0; "
        "width: 94mm; height: {}mm; margin: 0; }} .certificate + .certificate {{ left: 96mm; }}",
        fmt_mm(s.bottom_mm - s.certificate_mm), fmt_mm(s.certificate_mm));
  else
    css += fmt::format(".certificate:first-child {{ height: {}mm; }} .certificate + .certificate {{ height: {}mm; }}",
                       fmt_mm(s.certificate_mm), fmt_mm(s.general_mm));
  if (s.schedule_hidden) css += " .schedule-box { display: none; }";
  return css;
}

constexpr std::string_view TITLE_BEGIN = "<!-- sheet title -->";
constexpr std::string_view TITLE_END = "<!-- /sheet title -->";

// The template's title block, repeated on every sheet ("" when the template marks none).
std::string_view title_block(std::string_view page) {
  const std::size_t begin = page.find(TITLE_BEGIN);
  if (begin == std::string_view::npos) return {};
  const std::size_t end = page.find(TITLE_END, begin);
  if (end == std::string_view::npos) return {};
  return page.substr(begin, end + TITLE_END.size() - begin);
}

Placeholder* find(std::vector<Placeholder>& data, std::string_view key) {
  for (Placeholder& p : data)
    if (p.key == key) return &p;
  return nullptr;
}

void set(std::vector<Placeholder>& data, std::string key, std::string value, bool raw) {
  if (Placeholder* p = find(data, key)) {
    p->value = std::move(value);
    p->raw = raw;
  } else {
    data.push_back({std::move(key), std::move(value), raw});
  }
}


std::string schedule_sheet(const std::vector<plots::ScheduleItem>& schedule, const sheets::ScheduleLayout& layout,
                           std::size_t k) {
  const auto& columns = layout.sheets[k];
  const std::size_t first = columns.front().first + 1, last = columns.back().second;
  std::string html = fmt::format(
      "<div class=\"block continued\"><h2>Beacon schedule, continued <span>(rows {} to {} of {}; distances in "
      "metres)</span></h2>",
      first, last, schedule.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const std::vector<plots::ScheduleItem> rows(schedule.begin() + static_cast<std::ptrdiff_t>(columns[c].first),
                                                schedule.begin() + static_cast<std::ptrdiff_t>(columns[c].second));
    html += fmt::format("<div class=\"schedule-column\" style=\"left: {}mm;\">", fmt_mm(layout.column_pitch_mm * static_cast<double>(c)));
    html += schedule_table_html(rows);
    html += "</div>";
  }
  html += "</div>";
  return html;
}

std::string moved_sheet(const sheets::Layout& layout, std::size_t k) {
  std::string html =
      "<div class=\"block continued\"><h2>Particulars in full <span>(too long for their boxes on sheet "
      "1)</span></h2>";
  html += fmt::format("<table class=\"in-full\" style=\"font-size: {}pt;\">", sheets::MOVED_TEXT_PT);
  for (const sheets::Layout::Piece& piece : layout.moved_sheets[k]) {
    const sheets::Fitted& f = layout.texts[piece.text];
    html += "<tr><td class=\"label\">" + html_escape(f.label) + (piece.continued ? " (continued)" : "") +
            "</td><td class=\"value\">" + html_escape(piece.part) + "</td></tr>";
  }
  html += "</table></div>";
  return html;
}

}  // namespace

const sheets::Page& deedplan_boxes() {
  static const sheets::Page page{title_group(), refs_group(true), deed_particulars(), surveyor_group(),
                                 deed_spread_particulars()};
  return page;
}

const sheets::Page& siteplan_boxes() {
  static const sheets::Page page{title_group(), refs_group(false), site_particulars(), surveyor_group(),
                                 site_particulars()};
  return page;
}

std::string assemble(const Drawing& drawing, std::vector<Placeholder> data, const sheets::Page& boxes) {
  const std::vector<plots::ScheduleItem>& schedule = drawing.figure.schedule;
  std::vector<std::pair<std::string, std::string>> texts;
  for (const Placeholder& p : data)
    if (!p.raw) texts.emplace_back(p.key, p.value);
  const sheets::Layout layout = sheets::lay_out(boxes, texts, schedule);
  const std::size_t sheet_count = layout.sheet_count();

  // Texts set smaller, or in more than one line: in a box of the width they were measured in, so
  // that the page breaks their lines where the layout did. The rest stay exactly as the template
  // sets them.
  for (const sheets::Fitted& f : layout.texts)
    if (sheets::in_own_box(f))
      set(data, f.key,
          fmt::format("<span style=\"display: inline-block; vertical-align: top; width: {}mm; font-size: {}pt; "
                      "overflow-wrap: anywhere;{}\">{}</span>",
                      f.width_mm, f.pt,
                      sheets::set_value(f.text, f.width_mm, f.pt, f.resized()).close_lines
                          ? fmt::format(" line-height: {};", sheets::RESIZED_LINE_HEIGHT)
                          : "",
                      html_escape(f.text)),
          true);
  // A text moved to a continuation sheet leaves its box pointing there (and, on that sheet, below).
  const auto point_moved = [&](std::size_t sheet) {
    for (std::size_t i = 0; i < layout.texts.size(); ++i) {
      if (!layout.texts[i].moved) continue;
      const std::size_t at = layout.sheet_of_moved(i);
      set(data, layout.texts[i].key,
          at == sheet ? std::string("<i>(in full below)</i>") : fmt::format("<i>(in full on sheet {})</i>", at), true);
    }
  };

  // A spread sheet: the blocks moved, and the particulars' table in the spread rows.
  std::string page = drawing.html_content;
  if (layout.first.spread) {
    const std::size_t begin = page.find(PARTICULARS_BEGIN);
    const std::size_t end = begin == std::string::npos ? begin : page.find(PARTICULARS_END, begin);
    if (end != std::string::npos)
      page.replace(begin, end + PARTICULARS_END.size() - begin, particulars_table(boxes.spread_particulars));
  }
  set(data, "{{sheet_style}}", spread_style(layout), true);

  const std::size_t on_first = layout.schedule.on_first_sheet;
  const std::vector<plots::ScheduleItem> first_rows(schedule.begin(),
                                                    schedule.begin() + static_cast<std::ptrdiff_t>(on_first));
  set(data, "{{schedule_table}}", schedule_table_html(first_rows), true);
  std::string note;
  if (on_first == 0 && !schedule.empty())
    note = schedule.size() == 1
               ? std::string("<p class=\"schedule-note\">The schedule's one row is on sheet 2.</p>")
               : fmt::format("<p class=\"schedule-note\">All {} rows are on sheet 2.</p>", schedule.size());
  else if (on_first < schedule.size())
    note = fmt::format("<p class=\"schedule-note\">Rows 1 to {} of {}; continued on sheet 2.</p>", on_first,
                       schedule.size());
  else if (schedule.empty() && drawing.whole_parcel_in_view)
    // True only where the figure shows every leg: with a frame that cuts the parcel, some legs
    // and their labels lie outside it.
    note = "<p class=\"schedule-note all\">All boundary legs are dimensioned on the plan.</p>";
  set(data, "{{schedule_note}}", note, true);
  set(data, "{{sheet_count}}", std::to_string(sheet_count), false);

  // Continuation sheets: the frame, the title block numbered for the sheet, then what it holds.
  const std::string_view title = title_block(page);
  std::string continuation;
  for (std::size_t k = 2; k <= sheet_count; ++k) {
    set(data, "{{sheet_number}}", std::to_string(k), false);
    point_moved(k);
    continuation += "<div class=\"sheet\">\n<div class=\"frame\"></div>\n<div class=\"frame-inner\"></div>\n";
    continuation += fill_placeholders(title, data);
    const std::size_t s = k - 2;
    continuation += s < layout.schedule.sheets.size() ? schedule_sheet(schedule, layout.schedule, s)
                                                      : moved_sheet(layout, s - layout.schedule.sheets.size());
    continuation += "\n</div>\n";
  }
  set(data, "{{sheet_number}}", "1", false);
  point_moved(1);
  set(data, "{{continuation_sheets}}", std::move(continuation), true);
  return fill_placeholders(page, data);
}

// A page's layout is bounded work (a text of any length costs in proportion to its length); the
// limit is only a backstop.
constexpr std::chrono::milliseconds ASSEMBLY_LIMIT{60000};

boost::asio::awaitable<std::string> assemble_off_loop(base::BlockingPool& threads, Drawing drawing,
                                                      std::vector<Placeholder> data, const sheets::Page& boxes) {
  // Named before the co_await, and owning what it uses: it may outlive this request.
  auto job = [drawing = std::move(drawing), data = std::move(data), &boxes]() mutable {
    return assemble(drawing, std::move(data), boxes);
  };
  co_return co_await threads.run(std::move(job), ASSEMBLY_LIMIT);
}

}  // namespace vekt::brellow::document
