#include "brellow/page.hpp"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include <optional>

#include <gtest/gtest.h>

#include "base/utf8.hpp"
#include "brellow/errors.hpp"
#include "host/utils.hpp"
#include "support/run.hpp"

namespace {

using namespace vekt;
using brellow::Placeholder;
namespace fs = std::filesystem;

const std::string TABLE_OPEN =
    R"(<table style="width: auto; font-size: 6pt; border-collapse: collapse; margin-top: 2px; margin-left: 0;">)";
const std::string TABLE_HEAD =
    R"(<thead><tr><th style="padding: 1px 4px; white-space: nowrap;">From</th><th style="padding: 1px 4px; white-space: nowrap;">To</th><th style="padding: 1px 4px; white-space: nowrap;">Bearing</th><th style="padding: 1px 4px; white-space: nowrap;">Dist(m)</th></tr></thead>)";
const std::string ROW_OPEN = R"(<tr><td style="padding: 1px 4px; white-space: nowrap;">)";
const std::string SEP = R"(</td><td style="padding: 1px 4px; white-space: nowrap;">)";

TEST(ScheduleTable, FixedPiecesHaveTheirLengths) {
  EXPECT_EQ(TABLE_OPEN.size(), 104u);
  EXPECT_EQ(TABLE_HEAD.size(), 268u);
  EXPECT_EQ(ROW_OPEN.size() + 3 * SEP.size() + std::string("</td></tr>").size(), 233u);
}

TEST(ScheduleTable, OneLegGivesTheExactTable) {
  std::vector<plots::ScheduleItem> schedule{{"PB1", "PB2", "05° 07'", "12.30"}};
  EXPECT_EQ(brellow::schedule_table_html(schedule),
            TABLE_OPEN + TABLE_HEAD + "<tbody>" + ROW_OPEN + "PB1" + SEP + "PB2" + SEP + "05° 07'" + SEP + "12.30" +
                "</td></tr></tbody></table>");
}

TEST(ScheduleTable, RowsFollowTheScheduleOrder) {
  std::vector<plots::ScheduleItem> schedule{{"PB4", "PB5", "225° 07'", "4.24"}, {"PB5", "PB1", "180° 00'", "3.00"}};
  EXPECT_EQ(brellow::schedule_table_html(schedule),
            TABLE_OPEN + TABLE_HEAD + "<tbody>" + ROW_OPEN + "PB4" + SEP + "PB5" + SEP + "225° 07'" + SEP + "4.24" +
                "</td></tr>" + ROW_OPEN + "PB5" + SEP + "PB1" + SEP + "180° 00'" + SEP + "3.00" +
                "</td></tr></tbody></table>");
}

TEST(ScheduleTable, EmptyScheduleGivesNoTable) { EXPECT_EQ(brellow::schedule_table_html({}), ""); }

TEST(ScheduleTable, CellsCannotAddMarkup) {
  std::vector<plots::ScheduleItem> schedule{{"A&B", "<b>PB2</b>", "05° 07'", "<img src=\"file:///etc/passwd\">"}};
  const std::string html = brellow::schedule_table_html(schedule);
  EXPECT_EQ(html, TABLE_OPEN + TABLE_HEAD + "<tbody>" + ROW_OPEN + "A&amp;B" + SEP + "&lt;b&gt;PB2&lt;/b&gt;" + SEP +
                      "05° 07'" + SEP + "&lt;img src=\"file:///etc/passwd\"&gt;" + "</td></tr></tbody></table>");
}

TEST(HtmlEscape, EscapesTheFiveMarkupCharacters) {
  EXPECT_EQ(brellow::html_escape(R"(<a href="x" title='y'>A & B</a>)"),
            "&lt;a href=&quot;x&quot; title=&#x27;y&#x27;&gt;A &amp; B&lt;/a&gt;");
  EXPECT_EQ(brellow::html_escape("PLOT 12A · ADÉ"), "PLOT 12A · ADÉ");
  EXPECT_EQ(brellow::html_escape(""), "");
}

TEST(Base64Text, OnlyTheStandardAlphabetWithEndPadding) {
  struct Case {
    const char* text;
    bool ok;
  };
  for (const auto& c : {Case{"", true}, Case{"iVBORw0KGgo=", true}, Case{"QUJD", true}, Case{"QQ==", true},
                        Case{"a+/9", true}, Case{"QQ===", false}, Case{"Q=Q=", false}, Case{"QU JD", false},
                        Case{"QUJD\"><script>", false}, Case{"QUJD\n", false}, Case{"QU-_", false}}) {
    EXPECT_EQ(brellow::is_base64_text(c.text), c.ok) << c.text;
  }
}

TEST(FillPlaceholders, EachPlaceholderTakesItsValue) {
  const std::string page = "<p>{{parcel_number}}</p><p>1:{{scale}}</p><p>{{parcel_number}}</p>{{absent}}";
  EXPECT_EQ(brellow::fill_placeholders(page, {{"{{parcel_number}}", "PLOT 12A"}, {"{{scale}}", "500"},
                                              {"{{unused}}", "x"}}),
            "<p>PLOT 12A</p><p>1:500</p><p>PLOT 12A</p>{{absent}}");
}

TEST(FillPlaceholders, UnknownAndStrayBracesStay) {
  const std::vector<Placeholder> data{{"{{scale}}", "500"}};
  EXPECT_EQ(brellow::fill_placeholders("{{Scale}} {scale} {{ scale }} {{{scale}}} {{scale", data),
            "{{Scale}} {scale} {{ scale }} {500} {{scale");
  EXPECT_EQ(brellow::fill_placeholders("{{scale}}{{scale}}", data), "500500");
  EXPECT_EQ(brellow::fill_placeholders("", data), "");
}

// A value is never searched again: a parcel number that reads like a placeholder stays as
// written, whether its placeholder comes before or after the one it names.
TEST(FillPlaceholders, OnePassLeavesPlaceholderTextInValuesAlone) {
  const std::string page = "{{parcel_number}}|{{scale}}|{{address}}";
  EXPECT_EQ(brellow::fill_placeholders(page, {{"{{parcel_number}}", "X {{scale}}"}, {"{{scale}}", "500"},
                                              {"{{address}}", "{{parcel_number}}"}}),
            "X {{scale}}|500|{{parcel_number}}");
}

TEST(FillPlaceholders, TextIsEscapedAndOurOwnMarkupIsNot) {
  const std::string page = "<td>{{parcel_number}}</td><td title=\"{{address}}\">{{schedule_table}}</td>";
  EXPECT_EQ(brellow::fill_placeholders(page, {{"{{parcel_number}}", "<b>X</b> & {{scale}}"},
                                              {"{{address}}", "\" onload='x'"},
                                              {"{{schedule_table}}", "<table></table>", true}}),
            "<td>&lt;b&gt;X&lt;/b&gt; &amp; {{scale}}</td><td title=\"&quot; onload=&#x27;x&#x27;\"><table></table></td>");
}

TEST(FillPlaceholders, TheEarlierEntryWinsWhereTwoKeysMatch) {
  EXPECT_EQ(brellow::fill_placeholders("{{a}}}", {{"{{a}}", "1"}, {"{{a}}}", "2"}}), "1}");
  EXPECT_EQ(brellow::fill_placeholders("{{a}}}", {{"{{a}}}", "2"}, {"{{a}}", "1"}}), "2");
}

class ZoneAndClock : public ::testing::Test {
 protected:
  void TearDown() override {
    host::set_clock(nullptr);
    if (saved_tz_)
      ::setenv("TZ", saved_tz_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }
  std::optional<std::string> saved_tz_ = std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
};

TEST_F(ZoneAndClock, DateTextIsTheLocalDateOfTheConfiguredZoneInParentheses) {
  // 2026-12-09 23:30 UTC: still the 9th on a UTC clock, already the 10th in Lagos.
  host::set_clock([] { return std::chrono::system_clock::from_time_t(1796859000); });
  host::set_time_zone("Africa/Lagos");
  EXPECT_EQ(brellow::date_text(), "(10 December 2026)");
  host::set_time_zone("UTC");
  EXPECT_EQ(brellow::date_text(), "(9 December 2026)");
}

TEST(PageCss, BothDocumentsSetA4WithoutMargin) {
  EXPECT_EQ(brellow::DEEDPLAN_CSS.size(), 80u);
  EXPECT_EQ(brellow::DEEDPLAN_CSS, "\n        @page {\n            size: A4;\n            margin: 0;\n        }\n        ");
  EXPECT_EQ(brellow::SITEPLAN_CSS.size(), 30u);
  EXPECT_EQ(brellow::SITEPLAN_CSS, "@page { size: A4; margin: 0; }");
}

class TemplateFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vekt-templates-" + std::to_string(::getpid()));
    fs::create_directories(root_ / "templates");
  }
  void TearDown() override { fs::remove_all(root_); }
  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(root_ / "templates" / name, std::ios::binary) << bytes;
  }
  std::string read(const std::string& name) {
    return vekt::testing::run([&] { return brellow::read_template(root_, "templates/" + name); });
  }
  fs::path root_;
};

TEST_F(TemplateFiles, LineEndsBecomeLineFeeds) {
  write("a.html", "one\r\ntwo\rthree\n\r\nfour\r");
  EXPECT_EQ(read("a.html"), "one\ntwo\nthree\n\nfour\n");
  write("b.html", "Straße · 1°");
  EXPECT_EQ(read("b.html"), "Straße · 1°");
}

TEST_F(TemplateFiles, EveryReadSeesTheFileAsItIsNow) {
  write("a.html", "first");
  EXPECT_EQ(read("a.html"), "first");
  write("a.html", "second");
  EXPECT_EQ(read("a.html"), "second");
}

TEST_F(TemplateFiles, MissingFileNamesThePath) {
  try {
    read("missing.html");
    FAIL() << "read a missing template";
  } catch (const brellow::TemplateError& e) {
    EXPECT_EQ(e.path, root_ / "templates/missing.html");
    EXPECT_NE(std::string(e.what()).find("missing.html"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
  }
}

TEST_F(TemplateFiles, TextThatIsNotUtf8IsRefused) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {{"latin1", "Stra\xDF" "e"},       {"overlong", "a\xC0\x80"},  {"surrogate", "\xED\xA0\x80"},
                        {"cut short", "ok \xE2\x82"},     {"beyond", "\xF4\x90\x80\x80"}, {"stray", "\x80"},
                        {"overlong 3", "\xE0\x80\xAF"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write("bad.html", c.bytes);
    try {
      read("bad.html");
      ADD_FAILURE() << "accepted";
    } catch (const brellow::TemplateError& e) {
      EXPECT_EQ(e.path, root_ / "templates/bad.html");
      EXPECT_NE(std::string(e.what()).find("not valid UTF-8"), std::string::npos) << e.what();
    }
  }
}

// The two templates of the repository: every placeholder of their document, strict UTF-8, no page
// rule of their own (it would override the renderer's A4 without margin) and nothing to fetch.
TEST(Templates, HoldEveryPlaceholderAndNothingToFetch) {
  const std::vector<std::string> deed{"parcel_number", "image",       "width",         "height",
                                      "district",      "cadzone",     "file_no",       "person_name",
                                      "date",          "tracing_no",  "beacon_number", "beacon_longitude",
                                      "beacon_latitude", "surveyed_by", "scale",        "address",
                                      "surveyor_general", "schedule_table",
                                      // and the sheets every document is spread over
                                      "schedule_note", "sheet_number", "sheet_count", "continuation_sheets", "sheet_style"};
  const std::vector<std::string> site{"file_no",       "image",          "width",           "height",
                                      "scale",         "parcel_number",  "date",            "beacon_number",
                                      "beacon_longitude", "beacon_latitude", "surveyor_general", "surveyed_by",
                                      "schedule_table",
                                      "schedule_note", "sheet_number", "sheet_count", "continuation_sheets", "sheet_style"};
  ASSERT_EQ(deed.size(), 18u + 5);
  ASSERT_EQ(site.size(), 13u + 5);
  for (const auto& [name, keys] : {std::pair{"templates/deedplan.html", deed}, std::pair{"templates/siteplan.html", site}}) {
    SCOPED_TRACE(name);
    std::ifstream in(fs::path(VEKT_SOURCE_DIR) / name, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    EXPECT_FALSE(base::first_invalid_utf8(text).has_value());
    EXPECT_NE(text.find("<meta charset=\"utf-8\">"), std::string::npos);
    std::set<std::string> found;
    for (auto open = text.find("{{"); open != std::string::npos; open = text.find("{{", open + 2)) {
      const auto close = text.find("}}", open);
      ASSERT_NE(close, std::string::npos);
      found.insert(text.substr(open + 2, close - open - 2));
    }
    EXPECT_EQ(found, std::set<std::string>(keys.begin(), keys.end()));
    EXPECT_NE(text.find("src=\"data:image/png;base64,{{image}}\""), std::string::npos);
    EXPECT_NE(text.find("1:{{scale}}"), std::string::npos);
    EXPECT_EQ(text.find("@page"), std::string::npos);
    for (const char* fetch : {"http:", "https:", "file:", "url(", "@import", "<link", "<script"})
      EXPECT_EQ(text.find(fetch), std::string::npos) << fetch;
  }
}

}  // namespace
