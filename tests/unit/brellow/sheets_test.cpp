// How a plan document is spread over its sheets: texts set smaller or moved to a continuation
// sheet, and the schedule's rows on the first sheet and beyond.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "brellow/document.hpp"
#include "brellow/errors.hpp"
#include "brellow/sheet_style.hpp"
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
  // Measured on the fonts: 20 of "Щ" (1.33 em in bold) take a line of 60 mm at 7 pt, 20 of "I"
  // not a third of it; the CJK fallback font sets taller lines than the first font.
  std::string wide, narrow;
  for (int i = 0; i < 20; ++i) wide += "Щ", narrow += "I";
  EXPECT_EQ(line_count(wide, 60, 7), 2u);
  EXPECT_EQ(line_count(wide, 66, 7), 1u);
  EXPECT_EQ(line_count(narrow, 20, 7), 1u);
  EXPECT_GT(set_value("李", 60, 7).height_mm, set_value("A", 60, 7).height_mm * 1.2);
  // Lines break where the renderer breaks them: at blanks, and inside a word only where the word
  // alone is wider than the line; every byte belongs to one line.
  const SetText t = set_value("AAAA BBBB " + std::string(40, 'C'), 30, 7);
  ASSERT_GE(t.lines.size(), 3u);
  EXPECT_EQ(t.lines[0], (std::pair<std::size_t, std::size_t>{0, 10}));
  for (std::size_t i = 1; i < t.lines.size(); ++i) EXPECT_EQ(t.lines[i].first, t.lines[i - 1].second);
  EXPECT_EQ(t.lines.back().second, 50u);
  // A text set smaller has its lines close together only when its fonts are no taller than the first.
  EXPECT_TRUE(set_value(wide, 30, 6, true).close_lines);
  EXPECT_FALSE(set_value("李小龍", 30, 6, true).close_lines);
  EXPECT_FALSE(set_value(wide, 30, 6, false).close_lines);
}

TEST(Sheets, TextsKeepTheirSizeShrinkOrMove) {
  const BoxGroup group{{{{"{{a}}", "A", 60}, {"{{b}}", "B", 60}}}, 8, 1.5, 7.5};
  struct Case {
    std::string a;
    bool resized, moved;
  };
  for (const Case& c : {Case{"PLOT 12A", false, false}, Case{std::string(60, 'N'), true, false},
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
  // A first sheet with less room keeps fewer rows, and none when it has no room for a row.
  EXPECT_EQ(lay_out_schedule(schedule_of(80), {10, 2, 96}).on_first_sheet, 20u);
  // Columns of 44 mm (the widest cells as the fonts set them, and padding), 3 mm apart: four across
  // the sheet's 190 mm, three in 150 mm.
  EXPECT_EQ(lay_out_schedule(schedule_of(80), {6, 4, 190}).on_first_sheet, 24u);
  EXPECT_EQ(lay_out_schedule(schedule_of(80), {6, 4, 150}).on_first_sheet, 18u);
  EXPECT_EQ(lay_out_schedule(schedule_of(5), {0, 4, 190}).on_first_sheet, 0u);
}

TEST(Sheets, MovedTextsGoOnSheetsAfterTheSchedule) {
  const BoxGroup group{{{{"{{a}}", "Address", 60}}}, 4, 1.5, 7.5};
  const Layout l = lay_out(Page{group, {}, {}, {}, {}}, {{"{{a}}", std::string(60000, 'A')}}, schedule_of(80));
  ASSERT_TRUE(l.texts[0].moved);
  EXPECT_GE(l.moved_sheets.size(), 2u);  // too long for one sheet: cut at a line end
  EXPECT_EQ(l.sheet_count(), 2 + l.moved_sheets.size());
  EXPECT_EQ(l.sheet_of_moved(0), 3u);
  std::string whole;
  for (const auto& sheet : l.moved_sheets)
    for (const auto& piece : sheet) whole += piece.part;
  EXPECT_EQ(whole, std::string(60000, 'A'));
}

// The texts of a deed plan: short ones, with the grantee's name and the address of 300
// characters where `long_name`, and every other text long too (the caller's at their limits)
// where `all_long`.
std::vector<std::pair<std::string, std::string>> deed_texts(bool long_name, bool all_long,
                                                            std::size_t address_length = 300) {
  std::string name = "THE REGISTERED TRUSTEES OF THE OGUNLANA FAMILY LAND TRUST ON BEHALF OF THE ESTATE OF THE LATE ";
  while (name.size() < 300) name += "AND ASSIGNS ";
  name.resize(300);
  std::string address;
  while (address.size() < address_length) address += "PLOT 7 AND 9, ADENIYI JONES AVENUE, ";
  address.resize(address_length);
  std::string surveyor;
  while (surveyor.size() < 300) surveyor += "Surv. Olufunmilayo Adebayo-Williams and Partners, ";
  surveyor.resize(300);
  std::vector<std::pair<std::string, std::string>> t{
      {"{{parcel_number}}", "PLOT 12A"}, {"{{district}}", "IKEJA"},      {"{{cadzone}}", "C05"},
      {"{{file_no}}", "LKN/9999"},       {"{{person_name}}", "ADÉ BÍSÍ"}, {"{{address}}", "OBA AKRAN ROAD"},
      {"{{tracing_no}}", "TP/55/2019"},  {"{{beacon_number}}", "PB1"},   {"{{beacon_longitude}}", "345678.124"},
      {"{{surveyed_by}}", "T. ADEYEMI"}};
  const auto put = [&](const std::string& key, std::string value) {
    for (auto& [k, v] : t)
      if (k == key) v = std::move(value);
  };
  if (long_name || all_long) {
    put("{{person_name}}", name);
    put("{{address}}", address);
  }
  if (all_long) {
    put("{{parcel_number}}", std::string(100, 'X'));
    put("{{district}}", std::string(96, 'D') + " END");
    put("{{cadzone}}", "ZONE " + std::string(95, 'Z'));
    put("{{file_no}}", "FILE " + std::string(55, 'F'));
    put("{{surveyed_by}}", surveyor);
  }
  return t;
}

bool none_moved_and_readable(const Layout& l) {
  bool ok = true;
  for (const Fitted& f : l.texts) {
    EXPECT_FALSE(f.moved) << f.key;
    EXPECT_GE(f.pt, MIN_TEXT_PT) << f.key;
    ok = ok && !f.moved && f.pt >= MIN_TEXT_PT;
  }
  return ok;
}

TEST(Sheets, TheCallersTextsAtTheirLimitsStayWholeOnTheFirstSheet) {
  using vekt::brellow::document::deedplan_boxes;
  // Short texts: the template's page as it is, 34 rows of schedule.
  const Layout plain = lay_out(deedplan_boxes(), deed_texts(false, false), schedule_of(40));
  EXPECT_FALSE(plain.first.spread);
  EXPECT_EQ(plain.schedule.on_first_sheet, 34u);
  for (const Fitted& f : plain.texts) EXPECT_FALSE(f.resized()) << f.key;

  // A long name and address: the particulars grow, and the schedule's room on the first sheet
  // shrinks by the rows that costs.
  const Layout named = lay_out(deedplan_boxes(), deed_texts(true, false), schedule_of(40));
  EXPECT_TRUE(named.first.spread);
  EXPECT_TRUE(none_moved_and_readable(named));
  EXPECT_GT(named.first.particulars_mm, 22);
  EXPECT_LT(named.schedule.on_first_sheet, 34u);
  EXPECT_GT(named.schedule.on_first_sheet, 0u);
  EXPECT_EQ(named.sheet_count(), 2u);  // the schedule's second sheet, no sheet of texts
  EXPECT_NEAR(named.first.bottom_top() + named.first.bottom_mm, 288, 1e-9);  // still inside the frame

  // Every text long at once (a parcel whose legs are all dimensioned on the figure): still all of
  // it whole on one sheet.
  const Layout all = lay_out(deedplan_boxes(), deed_texts(true, true), schedule_of(0));
  EXPECT_TRUE(none_moved_and_readable(all));
  EXPECT_EQ(all.sheet_count(), 1u);

  // A record's address far past any ordinary length goes in full to a sheet of its own.
  const Layout moved = lay_out(deedplan_boxes(), deed_texts(true, false, 5000), schedule_of(3));
  std::size_t moved_count = 0;
  for (const Fitted& f : moved.texts) moved_count += f.moved ? 1 : 0;
  EXPECT_EQ(moved_count, 1u);
  EXPECT_EQ(moved.sheet_count(), 2u);
}

}  // namespace

namespace {

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Whether check_template_geometry takes `page`; the refusal's text otherwise.
std::string refusal(const std::string& page, const vekt::brellow::sheets::geometry::Particulars& particulars) {
  try {
    check_template_geometry("templates/t.html", page, particulars);
    return "";
  } catch (const vekt::brellow::TemplateError& e) {
    return e.what();
  }
}

}  // namespace

// The sheets' geometry has one owner, the layout: the shipped templates set none of it, and an
// edit that would (a position, a size, padding, a measured text's size or font, a page rule, a
// style attribute) is refused naming the rule and the property; typography is the template's.
TEST(Sheets, TheSheetsGeometryIsTheLayoutsAlone) {
  namespace g = geometry;
  for (const auto& [name, particulars] : {std::pair{"deedplan", g::DEED_PARTICULARS}, std::pair{"siteplan", g::SITE_PARTICULARS}}) {
    SCOPED_TRACE(name);
    const std::string page = slurp(std::filesystem::path(VEKT_SOURCE_DIR) / "templates" / (std::string(name) + ".html"));
    EXPECT_EQ(refusal(page, particulars), "");
    struct Case {
      std::string edit, refused;  // refused: "" when taken
    };
    for (const Case& c : {Case{".title h1 { letter-spacing: 4pt; color: #333; font-size: 22pt; }", ""},
                          Case{".certificate h2 { margin-bottom: 2mm; }", ""},
                          Case{"/* .title { top: 0; } */", ""},
                          Case{".title { top: 12mm; }", "sets top in its rule for .title"},
                          Case{".sheet .bottom, .x { height: 70mm; }", "sets height in its rule for .sheet .bottom"},
                          Case{".refs td { padding-left: 3mm; }", "sets padding-left in its rule for .refs td"},
                          Case{".schedule td { line-height: 1.4; }", "sets line-height in its rule for .schedule td"},
                          Case{".certificate .name { font: bold 9pt serif; }", "sets font in its rule for .certificate .name"},
                          Case{"body { font-family: serif; }", "sets font-family in its rule for body"},
                          Case{".certificate { margin-bottom: 5mm; }", "sets margin-bottom in its rule for .certificate"},
                          Case{"@media print { .figure { top: 70mm; } }", "sets top in its rule for .figure"},
                          Case{"@page { size: A4; margin: 10mm; }", "has an @page rule of its own"}}) {
      std::string edited = page;
      edited.insert(edited.find("{{sheet_style}}"), c.edit + "\n");
      const std::string r = refusal(edited, particulars);
      if (c.refused.empty()) EXPECT_EQ(r, "") << c.edit;
      else EXPECT_NE(r.find("Template templates/t.html: " + c.refused + "; "), std::string::npos) << c.edit << "\n" << r;
    }
    std::string attribute = page;
    attribute.insert(attribute.find("<div class=\"block figure\">"), "<div style=\"position: absolute; top: 3mm\">x</div>");
    EXPECT_NE(refusal(attribute, particulars).find("sets position in an element's style attribute"), std::string::npos);
    std::string without = page;
    without.erase(without.find("{{sheet_style}}"), 15);
    EXPECT_NE(refusal(without, particulars).find("has no {{sheet_style}} in its <style>"), std::string::npos);
  }
}
