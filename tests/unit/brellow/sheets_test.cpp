// How a plan document is spread over its sheets: texts set smaller or moved to a continuation
// sheet, and the schedule's rows on the first sheet and beyond.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brellow/sheets.hpp"

namespace {

using namespace vekt::brellow::sheets;

std::vector<vekt::plots::ScheduleItem> schedule_of(std::size_t n) {
  std::vector<vekt::plots::ScheduleItem> s;
  for (std::size_t i = 0; i < n; ++i)
    s.push_back({"PB" + std::to_string(1000 + i), "PB" + std::to_string(1001 + i), "123° 45'", "1.57"});
  return s;
}

TEST(Sheets, LinesWrapAtBlanksAndBreakLongWords) {
  EXPECT_EQ(line_count("", 50, 7), 1u);
  EXPECT_EQ(line_count("SHORT", 50, 7), 1u);
  const std::string words = "WORD WORD WORD WORD WORD WORD WORD WORD WORD WORD";
  EXPECT_GT(line_count(words, 20, 7), line_count(words, 60, 7));
  EXPECT_GE(line_count(std::string(300, 'X'), 60, 5), 5u);  // one word, broken anywhere
  // Wide characters take about twice the width of a capital.
  EXPECT_GT(line_count("李小龍李小龍李小龍李小龍李小龍", 30, 7), line_count("ABCDEFGHIJKLMNO", 30, 7));
  EXPECT_GT(line_height_mm("李", 7), line_height_mm("A", 7));
}

TEST(Sheets, TextsKeepTheirSizeShrinkOrMove) {
  const BoxGroup group{{{{"{{a}}", "A", 60}, {"{{b}}", "B", 60}}}, 8, 1.5, 7.5};
  struct Case {
    std::string a;
    bool resized, moved;
  };
  for (const Case& c : {Case{"PLOT 12A", false, false}, Case{std::string(90, 'N'), true, false},
                        Case{std::string(2000, 'N'), true, true}}) {
    const auto f = fit_group(group, {{"{{a}}", c.a}, {"{{b}}", "IKEJA"}});
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].resized(), c.resized) << c.a.size();
    EXPECT_EQ(f[0].moved, c.moved) << c.a.size();
    EXPECT_GE(f[0].pt, MIN_TEXT_PT);
    EXPECT_FALSE(f[1].resized());  // the short neighbour stays as it is
  }
}

TEST(Sheets, TheScheduleStaysOnTheFirstSheetWhileItFits) {
  struct Case {
    std::size_t rows, first, continuation_sheets;
  };
  for (const Case& c : {Case{0, 0, 0}, Case{25, 25, 0}, Case{34, 34, 0}, Case{35, 34, 1}, Case{80, 34, 1},
                        Case{1000, 34, 0}}) {
    const ScheduleLayout l = lay_out_schedule(schedule_of(c.rows));
    EXPECT_EQ(l.on_first_sheet, c.first) << c.rows;
    if (c.rows < 1000) EXPECT_EQ(l.sheets.size(), c.continuation_sheets) << c.rows;
    else EXPECT_GE(l.sheets.size(), 3u);  // some 300 rows a sheet
    // Every row is placed once, in order.
    std::size_t next = l.on_first_sheet;
    for (const auto& sheet : l.sheets)
      for (const auto& [begin, end] : sheet) {
        EXPECT_EQ(begin, next);
        EXPECT_GT(end, begin);
        next = end;
      }
    EXPECT_EQ(next, c.rows);
  }
}

TEST(Sheets, MovedTextsGoOnSheetsAfterTheSchedule) {
  const BoxGroup group{{{{"{{a}}", "Address", 60}}}, 4, 1.5, 7.5};
  const Layout l = lay_out({group}, {{"{{a}}", std::string(60000, 'A')}}, schedule_of(80));
  ASSERT_TRUE(l.texts[0].moved);
  EXPECT_GE(l.moved_sheets.size(), 2u);  // too long for one sheet: cut at a line end
  EXPECT_EQ(l.sheet_count(), 2 + l.moved_sheets.size());
  EXPECT_EQ(l.sheet_of_moved(0), 3u);
  std::string whole;
  for (const auto& sheet : l.moved_sheets)
    for (const auto& piece : sheet) whole += piece.part;
  EXPECT_EQ(whole, std::string(60000, 'A'));
}

}  // namespace
