#pragma once
// Where everything stands on the sheets of a plan document, and how large it is: the one place
// these numbers are written. The layout plans with them (sheets.cpp, assembly.cpp) and writes
// them into every page as its stylesheet (sheet_style.cpp); the templates keep only typography.
// Millimetres from the sheet's top left corner (A4, no margin), unless a name says points (PT)
// or CSS pixels (PX).
#include <cstddef>
#include <string_view>

namespace vekt::brellow::sheets::geometry {

// The sheet and its two frame lines.
inline constexpr double SHEET_WIDTH = 210, SHEET_HEIGHT = 297;
inline constexpr double FRAME_AT = 6, FRAME_WIDTH = 198, FRAME_HEIGHT = 285;
inline constexpr double INNER_FRAME_AT = 7.5, INNER_FRAME_WIDTH = 195, INNER_FRAME_HEIGHT = 282;
// Every block spans the sheet inside the frames.
inline constexpr double BLOCK_LEFT = 10, BLOCK_WIDTH = 190;
// Where the blocks of a sheet end, clear of the inner frame.
inline constexpr double BLOCK_FOOT = 288;

// The font stack of every text, as Pango takes it (the page writes it quoted).
inline constexpr std::string_view FONTS =
    "DejaVu Sans,Liberation Sans,Noto Sans,Noto Naskh Arabic,Noto Sans CJK SC,Noto Sans CJK JP,Noto Sans CJK KR,"
    "sans-serif";
// The size of the particulars' values (the body's).
inline constexpr double BODY_PT = 7.5;

// The title block: the state's lines with "PLAN OF" and the parcel number, the references beside.
inline constexpr double TITLE_TOP = 10, TITLE_HEIGHT = 27;
inline constexpr double TITLE_GAP = 1;  // from the title block to the particulars
inline constexpr double STATE_WIDTH = 120;
inline constexpr double PLAN_OF_ROOM = 22;  // "PLAN OF " at 9 pt bold and a margin
inline constexpr double PARCEL_NUMBER_PT = 9;
inline constexpr double PARCEL_NUMBER_ROOM = 5.5;  // the height of the parcel number's line
inline constexpr double REFS_WIDTH = 68, REFS_LABEL_WIDTH = 22;
inline constexpr double REFS_PAD_V = 1, REFS_PAD_H = 1.5;
inline constexpr double FILE_NO_PT = 8;
inline constexpr double REFS_ROOM = 15.5;  // the references' room for the file number's row

// The particulars: a table of label and value columns.
struct Particulars {
  double top = 0;
  double height = 0;
  double label_width = 0;  // a label cell's content
  double value_width = 0;  // a value cell's content
  double room = 0;         // what its rows may take, the gap to the figure included
};
inline constexpr Particulars DEED_PARTICULARS{38, 20, 23, 66, 22};
inline constexpr Particulars SITE_PARTICULARS{43, 10, 20.33, 36.5, 15};
inline constexpr double CELL_PAD_V = 0.7, CELL_PAD_H = 1.5;
inline constexpr double PARTICULARS_ROW_PAD = 1.7;  // a row's padding and rule
inline constexpr double FIGURE_GAP = 2.5;  // from the particulars' last row to the figure, on a spread sheet

// The figure; its size is the figure's own (MAX_WIDTH_MM x MAX_HEIGHT_MM), given in the page.
inline constexpr double FIGURE_FROM_PARTICULARS = 22;  // the figure's top below the particulars' top
inline constexpr double FIGURE_HEIGHT = 160;
inline constexpr double FIGURE_TO_BOTTOM = 163;  // the block under the figure, below the figure's top

// The block under the figure: the schedule's box, and the two certificates beside it.
inline constexpr double BOTTOM_HEIGHT = 63;
inline constexpr double SCHEDULE_BOX_WIDTH = 96;
inline constexpr std::size_t SCHEDULE_COLUMNS = 2;
inline constexpr double SCHEDULE_COLUMN_GAP = 3;
inline constexpr double SCHEDULE_HEADING = 6;  // the box's heading, above its columns
inline constexpr double CERTIFICATES_LEFT = 100, CERTIFICATES_WIDTH = 90;
inline constexpr double CERTIFICATE_HEIGHT = 28.5, CERTIFICATE_GAP = 2;
inline constexpr double CERTIFICATE_PAD_V = 1.5, CERTIFICATE_PAD_H = 2;
inline constexpr double SURVEYOR_PT = 7;
inline constexpr double SURVEYOR_ROOM = 9.4;  // between the certificate's heading and its text
inline constexpr double SIGN_AT = 2, SIGNATURE_WIDTH = 50, SIGNATURE_GAP = 4, SIGN_DATE_WIDTH = 30;
inline constexpr double SIGN_RULE_GAP = 0.5;
// Side by side across the sheet (a spread sheet short of room).
inline constexpr double SIDE_BY_SIDE_WIDTH = 94, SIDE_BY_SIDE_SECOND_LEFT = 96;

// The beacon schedule's table: its text size and cell padding, as the table's own markup sets
// them, and the pitch of its rows as the renderer sets them (measured: 1.1 lines of 6 pt and the
// padding).
inline constexpr double SCHEDULE_PT = 6;
inline constexpr int SCHEDULE_PAD_V_PX = 1, SCHEDULE_PAD_H_PX = 4;
inline constexpr double SCHEDULE_LINE_HEIGHT = 1.1;
inline constexpr double SCHEDULE_ROW = 2.96;
inline constexpr double SCHEDULE_CELL_PAD = 2.4;  // both sides' padding (2.12 mm) and the rules
static_assert(SCHEDULE_ROW >= SCHEDULE_LINE_HEIGHT * SCHEDULE_PT * 25.4 / 72 + 2 * SCHEDULE_PAD_V_PX * 25.4 / 96);
static_assert(SCHEDULE_CELL_PAD >= 2 * SCHEDULE_PAD_H_PX * 25.4 / 96);

// Continuation sheets: under the title block, one block down to the foot.
inline constexpr double CONTINUED_TOP = 40;
inline constexpr double CONTINUED_HEIGHT = BLOCK_FOOT - CONTINUED_TOP;
inline constexpr double SCHEDULE_COLUMN_TOP = 4;  // the schedule's columns, under the sheet's heading
inline constexpr double CONTINUED_SCHEDULE_HEIGHT = CONTINUED_HEIGHT - 12;  // their room
inline constexpr double MOVED_AREA = CONTINUED_HEIGHT - 10;                // the texts moved there
inline constexpr double MOVED_TEXT_PT = 7;
inline constexpr double IN_FULL_LABEL_WIDTH = 23;

}  // namespace vekt::brellow::sheets::geometry
