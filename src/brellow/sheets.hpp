#pragma once
// How a plan document is spread over its sheets. Every text of the first sheet has a box (each
// block placed in millimetres, sheet_geometry.hpp); a text is set in the box's own size when it
// fits there, smaller (down to a size still readable on paper) when it must. When the boxes
// cannot hold the texts, the first sheet is spread: long particulars run across the whole table,
// the blocks above the figure grow and push the figure and the block under it down, and that
// block gives up rows of the schedule (the certificates side by side when it must). Only a text
// too long even for that is printed in full on a continuation sheet, its box pointing there.
// The beacon schedule stays on the first sheet while every row fits there; past that it goes on
// over continuation sheets, each with the document's title block and the schedule's column heads.
//
// Widths, line breaks and line heights come from Pango on the fonts the pages name, set one
// line at a time as the PDF renderer sets them; a text that wraps is printed in a box exactly as
// wide as the one it was measured in, so that the page breaks its lines where the layout did.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brellow/sheet_geometry.hpp"
#include "plots/records.hpp"

namespace vekt::brellow::sheets {

// The smallest size a text of the particulars is set at, points.
inline constexpr double MIN_TEXT_PT = 6;

// The pages' font stack, as Pango takes it: the values of the first sheet are set in it, bold.
inline constexpr std::string_view VALUE_FONTS = geometry::FONTS;

// A text set smaller than its box's own size is set with its lines RESIZED_LINE_HEIGHT (of its
// size) apart when its fonts are no taller than the stack's first; otherwise at their own height.
inline constexpr double RESIZED_LINE_HEIGHT = 1.1;

// How a value `text` is set in a line of `width_mm` at `pt` points (bold, in VALUE_FONTS): its
// lines (as [begin, end) bytes of the text), and its height in millimetres, `resized` for a text
// set smaller than its box's size. An empty text takes one line.
struct SetText {
  std::vector<std::pair<std::size_t, std::size_t>> lines;
  double height_mm = 0;
  double tallest_line_mm = 0;  // at the text's own line height
  bool close_lines = false;  // resized, and its lines RESIZED_LINE_HEIGHT apart
};
SetText set_value(std::string_view text, double width_mm, double pt, bool resized = false);
std::size_t line_count(std::string_view text, double width_mm, double pt);

// One box of a text on the first sheet: its placeholder, the label it is printed under (on a
// continuation sheet), and the width its text wraps in, millimetres.
struct Cell {
  std::string key;
  std::string label;
  double width_mm = 0;
  std::string suffix = {};  // printed after the value (a unit)
  bool across = false;      // the value runs across the rest of its row
  bool callers = false;     // the caller's own text, which within its limit never leaves the sheet
};

// Boxes that share one height: rows of cells, as in a table, each row as tall as its tallest
// cell plus `row_pad_mm`; the rows together may be `height_mm` tall. Texts start at `base_pt`.
struct BoxGroup {
  std::vector<std::vector<Cell>> rows;
  double height_mm = 0;
  double row_pad_mm = 0;
  double base_pt = 0;
};

// What became of one text: its size, or moved (printed in full on a continuation sheet).
struct Fitted {
  std::string key;
  std::string label;
  std::string text;  // as the page shows it: each run of blanks and line ends one blank
  double pt = 0;
  bool moved = false;
  double width_mm = 0;
  double base_pt = 0;
  bool callers = false;
  bool resized() const { return moved || pt != base_pt; }
};
// Whether a text that stays on the first sheet is printed in a box of its own width: when set
// smaller or in more than one line, so that the page wraps it exactly where the layout did.
bool in_own_box(const Fitted& f);

// The sizes of the texts of a group (texts by key, "" for a key not given): smaller sizes first
// for the tallest cell, half a point at a time, down to MIN_TEXT_PT; a text that still does not
// fit is moved, the tallest first, until the rest fit.
std::vector<Fitted> fit_group(const BoxGroup& group, const std::vector<std::pair<std::string, std::string>>& texts);

// Where the schedule's rows go: the first `on_first_sheet` stay in the first sheet's schedule
// box; the rest fill continuation sheets, column by column.
struct ScheduleLayout {
  std::size_t on_first_sheet = 0;
  // For each continuation sheet, its columns, each the [begin, end) rows it holds.
  std::vector<std::vector<std::pair<std::size_t, std::size_t>>> sheets;
  double column_pitch_mm = 0;  // from one column's left edge to the next's
  std::size_t first_sheet_columns = 0;
};
// The first sheet's room for the schedule: rows a column, at most `columns` columns, in a box
// `width_mm` wide (by default, the box under the figure).
struct ScheduleRoom {
  std::size_t rows_per_column = 17;
  std::size_t columns = geometry::SCHEDULE_COLUMNS;
  double width_mm = geometry::SCHEDULE_BOX_WIDTH;
  double title_growth_mm = 0;  // how much taller than its own the title block is, on every sheet
};
ScheduleLayout lay_out_schedule(const std::vector<plots::ScheduleItem>& schedule, const ScheduleRoom& room = {});

// The boxes of a document's first sheet: the title's parcel number, the references' file number,
// the particulars and the surveyor's name as the first sheet sets them, and the particulars as they
// are set when the sheet is spread.
struct Page {
  BoxGroup title, refs, particulars, surveyor;
  BoxGroup spread_particulars;
  geometry::Particulars particulars_box = geometry::DEED_PARTICULARS;  // where the particulars' table stands
};

// Where a spread first sheet puts its blocks, in millimetres (their own places when not
// spread).
struct FirstSheet {
  bool spread = false;
  double title_mm = geometry::TITLE_HEIGHT;  // the title block's height
  double particulars_mm = geometry::FIGURE_FROM_PARTICULARS;  // the particulars with the gap to the figure
  double bottom_mm = geometry::BOTTOM_HEIGHT;  // the block under the figure
  double certificate_mm = geometry::CERTIFICATE_HEIGHT;  // the surveyor's certificate
  double general_mm = geometry::CERTIFICATE_HEIGHT;      // the surveyor-general's
  bool certificates_side_by_side = false;
  bool schedule_hidden = false;  // an empty schedule with no room for its heading
  ScheduleRoom schedule;
  // Tops of the blocks, from the sheet's top edge.
  constexpr double particulars_top() const { return geometry::TITLE_TOP + geometry::TITLE_GAP + title_mm; }
  constexpr double figure_top() const { return particulars_top() + particulars_mm; }
  constexpr double bottom_top() const { return figure_top() + geometry::FIGURE_TO_BOTTOM; }
  // The schedule's box: over side-by-side certificates, or beside them, where on a spread sheet it
  // stops 3 mm short of the block's foot, so that its last note stays clear of the frame.
  constexpr double schedule_box_mm() const {
    return certificates_side_by_side ? bottom_mm - certificate_mm - 2 : bottom_mm - (spread ? 3 : 0);
  }
};

// The whole layout of a document: the first sheet's texts, the schedule, and the sheets with the
// texts moved off the first one.
struct Layout {
  FirstSheet first;
  std::vector<Fitted> texts;
  ScheduleLayout schedule;
  // For each sheet of texts moved, the pieces it holds: the index into `texts` and the piece of
  // that text (a long one is cut at a line end and goes on over the next sheet).
  struct Piece {
    std::size_t text = 0;
    std::string part;
    bool continued = false;  // not the text's first piece
  };
  std::vector<std::vector<Piece>> moved_sheets;
  std::size_t sheet_count() const { return 1 + schedule.sheets.size() + moved_sheets.size(); }
  // The sheet (1-based) on which moved text `i` starts.
  std::size_t sheet_of_moved(std::size_t i) const;
};
Layout lay_out(const Page& page, const std::vector<std::pair<std::string, std::string>>& texts,
               const std::vector<plots::ScheduleItem>& schedule);

// Size of the texts moved to a continuation sheet, and the width they wrap in: their table's
// value column, a millimetre inside.
inline constexpr double MOVED_TEXT_PT = geometry::MOVED_TEXT_PT;
inline constexpr double MOVED_TEXT_WIDTH_MM =
    geometry::BLOCK_WIDTH - geometry::IN_FULL_LABEL_WIDTH - 4 * geometry::CELL_PAD_H - 1;

}  // namespace vekt::brellow::sheets
