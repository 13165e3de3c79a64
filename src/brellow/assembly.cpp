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
#include "brellow/sheet_geometry.hpp"
#include "brellow/sheet_style.hpp"
#include "brellow/sheets.hpp"

namespace vekt::brellow::document {

namespace {

using sheets::BoxGroup;
using sheets::Cell;
namespace g = sheets::geometry;

// The widths the texts are measured in, millimetres: each half a millimetre inside the content
// width of its box (the box's width less its padding), so that a text found to fit on one line
// there fits on the page too; a text of more lines is printed in a box of exactly this width.
constexpr double SLACK_MM = 0.5;
// The parcel number follows "PLAN OF " in the title's state lines.
constexpr double PARCEL_NUMBER_MM = g::STATE_WIDTH - g::PLAN_OF_ROOM;
// The references' value column: the table less the label's column and both cells' padding.
constexpr double FILE_NO_MM = g::REFS_WIDTH - g::REFS_LABEL_WIDTH - 4 * g::REFS_PAD_H - SLACK_MM;
// The certificate less its padding.
constexpr double SURVEYOR_MM = g::CERTIFICATES_WIDTH - 2 * g::CERTIFICATE_PAD_H - SLACK_MM;
// The deed plan's particulars' columns of label and value (each with its padding), and the value
// columns within them: one, or three when a value runs across.
constexpr double CELL_PADDING_MM = 2 * g::CELL_PAD_H;
constexpr double LABEL_COLUMN_MM = g::DEED_PARTICULARS.label_width + CELL_PADDING_MM;
constexpr double VALUE_COLUMN_MM = g::DEED_PARTICULARS.value_width + CELL_PADDING_MM;
constexpr double HALF_VALUE_MM = VALUE_COLUMN_MM - CELL_PADDING_MM - SLACK_MM;
constexpr double ACROSS_VALUE_MM = 2 * VALUE_COLUMN_MM + LABEL_COLUMN_MM - CELL_PADDING_MM - SLACK_MM;
// The site plan's origin beacon.
constexpr double SITE_BEACON_MM = g::SITE_PARTICULARS.value_width - SLACK_MM;
// A row of the references and of the particulars: as tall as its text, its padding and rule.
constexpr double REFS_ROW_PAD_MM = 2 * g::REFS_PAD_V + 0.2;

// The title block of both templates: the parcel number after "PLAN OF " in the title, the file
// number in the box of references beside it (beside the scale and sheet rows).
BoxGroup title_group() {
  return {{{{"{{parcel_number}}", "Parcel number", PARCEL_NUMBER_MM}}}, g::PARCEL_NUMBER_ROOM, 0, g::PARCEL_NUMBER_PT};
}
// The deed plan's file number is the caller's; the site plan's, the parcel's record.
BoxGroup refs_group(bool callers) {
  return {{{{"{{file_no}}", "File No.", FILE_NO_MM, "", false, callers}}}, g::REFS_ROOM, REFS_ROW_PAD_MM, g::FILE_NO_PT};
}
// The surveyor's name in the certificate, between its heading and the certificate's text.
BoxGroup surveyor_group() {
  return {{{{"{{surveyed_by}}", "Surveyed by", SURVEYOR_MM}}}, g::SURVEYOR_ROOM, 0, g::SURVEYOR_PT};
}

// The particulars of the deed plan, four rows of two label-value pairs in a table of 190 mm; the
// coordinates beside the origin beacon and the tracing number are numbers of a few characters.
BoxGroup deed_particulars() {
  return {{{{"{{person_name}}", "Granted to", HALF_VALUE_MM, "", false, true},
            {"{{district}}", "District", HALF_VALUE_MM, "", false, true}},
           {{"{{address}}", "Address", HALF_VALUE_MM}, {"{{cadzone}}", "Cadastral zone", HALF_VALUE_MM, "", false, true}},
           {{"{{beacon_number}}", "Origin beacon", HALF_VALUE_MM}},
           {{"{{tracing_no}}", "Tracing No.", HALF_VALUE_MM}}},
          g::DEED_PARTICULARS.room,
          g::PARTICULARS_ROW_PAD,
          g::BODY_PT};
}
// Spread: the grantee and the address each across the table, district and zone side by side.
BoxGroup deed_spread_particulars() {
  return {{{{"{{person_name}}", "Granted to", ACROSS_VALUE_MM, "", true, true}},
           {{"{{address}}", "Address", ACROSS_VALUE_MM, "", true}},
           {{"{{district}}", "District", HALF_VALUE_MM, "", false, true},
            {"{{cadzone}}", "Cadastral zone", HALF_VALUE_MM, "", false, true}},
           {{"{{beacon_number}}", "Origin beacon", HALF_VALUE_MM}, {"{{beacon_longitude}}", "Easting", HALF_VALUE_MM, " m"}},
           {{"{{tracing_no}}", "Tracing No.", HALF_VALUE_MM}, {"{{beacon_latitude}}", "Northing", HALF_VALUE_MM, " m"}}},
          g::DEED_PARTICULARS.room,
          g::PARTICULARS_ROW_PAD,
          g::BODY_PT};
}

BoxGroup site_particulars() {
  return {{{{"{{beacon_number}}", "Origin beacon", SITE_BEACON_MM}}}, g::SITE_PARTICULARS.room, g::PARTICULARS_ROW_PAD,
          g::BODY_PT};
}

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
    html += fmt::format("<div class=\"schedule-column\" style=\"left: {:.1f}mm;\">", layout.column_pitch_mm * static_cast<double>(c));
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
  static const sheets::Page page{title_group(),    refs_group(true),         deed_particulars(),
                                 surveyor_group(), deed_spread_particulars(), g::DEED_PARTICULARS};
  return page;
}

const sheets::Page& siteplan_boxes() {
  static const sheets::Page page{title_group(),    refs_group(false),  site_particulars(),
                                 surveyor_group(), site_particulars(), g::SITE_PARTICULARS};
  return page;
}

std::string assemble(const Drawing& drawing, std::vector<Placeholder> data, const sheets::Page& boxes) {
  // The sheets' geometry is the layout's: a template that sets any of it is refused before any
  // page is made of it.
  sheets::check_template_geometry(drawing.template_path, drawing.html_content, boxes.particulars_box);
  const std::vector<plots::ScheduleItem>& schedule = drawing.figure.schedule;
  std::vector<std::pair<std::string, std::string>> texts;
  for (const Placeholder& p : data)
    if (!p.raw) texts.emplace_back(p.key, p.value);
  const sheets::Layout layout = sheets::lay_out(boxes, texts, schedule);
  const std::size_t sheet_count = layout.sheet_count();

  // Texts set smaller, or in more than one line: in a box of the width they were measured in, so
  // that the page breaks their lines where the layout did. The rest stay exactly as the page
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
  set(data, "{{sheet_style}}", sheets::sheet_style(boxes.particulars_box, layout), true);

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
