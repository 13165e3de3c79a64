#pragma once
// How a plan document is spread over its sheets. Every text of the first sheet has a box of a
// fixed size (the template places each block in millimetres); a text is set in the box's own size
// when it fits there, smaller (down to a size still readable on paper) when it must, and when it
// fits at no readable size it is printed in full on a continuation sheet, its box pointing there.
// The beacon schedule stays on the first sheet while every row fits there; past that it goes on
// over continuation sheets, each with the document's title block and the schedule's column heads.
//
// Sizes come from an estimate of how wide each character is set, erring wide, so that a text
// judged to fit always does.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plots/records.hpp"

namespace vekt::brellow::sheets {

// The smallest size a text of the particulars is set at, points.
inline constexpr double MIN_TEXT_PT = 5;

// How many lines `text` takes in a line of `width_mm` at `pt` points, wrapped at blanks and,
// within a word longer than the line, anywhere. An empty text takes one line.
std::size_t line_count(std::string_view text, double width_mm, double pt);
// The height of one line of `text` at `pt` points, in millimetres (taller for scripts that the
// fallback fonts set).
double line_height_mm(std::string_view text, double pt);

// One box of a text on the first sheet: its placeholder, the label it is printed under (on a
// continuation sheet), and the width its text wraps in, millimetres.
struct Cell {
  std::string key;
  std::string label;
  double width_mm = 0;
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
  std::string text;
  double pt = 0;
  bool moved = false;
  double width_mm = 0;
  double base_pt = 0;
  bool resized() const { return moved || pt != base_pt; }
};

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
};
ScheduleLayout lay_out_schedule(const std::vector<plots::ScheduleItem>& schedule);

// The whole layout of a document: the first sheet's texts, the schedule, and the sheets with the
// texts moved off the first one.
struct Layout {
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
Layout lay_out(const std::vector<BoxGroup>& groups, const std::vector<std::pair<std::string, std::string>>& texts,
               const std::vector<plots::ScheduleItem>& schedule);

// Size of the texts moved to a continuation sheet, and the width they wrap in.
inline constexpr double MOVED_TEXT_PT = 7;
inline constexpr double MOVED_TEXT_WIDTH_MM = 160;

}  // namespace vekt::brellow::sheets
