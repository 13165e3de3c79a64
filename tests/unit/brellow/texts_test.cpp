// The texts of the plan records: bearings, upper case, numbers, also under a German locale.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <locale>
#include <string>
#include <utility>


#include "base/numfmt.hpp"
#include "brellow/bearing.hpp"
#include "brellow/case_mapping.hpp"
#include "support/command.hpp"
#include "support/process.hpp"

using vekt::brellow::bearing_texts;
using vekt::brellow::upper_case;

namespace {

struct BearingCase {
  long long deg, min;
  const char *full, *degrees, *minutes;
};

const BearingCase BEARINGS[] = {
    {5, 7, "05\u00B007'", "05\u00B0", "07'"},
    {0, 0, "00\u00B000'", "00\u00B0", "00'"},
    {123, 45, "123\u00B045'", "123\u00B0", "45'"},
    {30, 0, "30\u00B000'", "30\u00B0", "00'"},
    {-5, 7, "-5\u00B007'", "-5\u00B0", "07'"},
};

void expect_texts() {
  for (const auto& c : BEARINGS) {
    const auto t = bearing_texts(c.deg, c.min);
    EXPECT_EQ(t.full, c.full) << c.deg << " " << c.min;
    EXPECT_EQ(t.degrees, c.degrees);
    EXPECT_EQ(t.minutes, c.minutes);
  }
  EXPECT_EQ(vekt::base::fixed(345678.12351, 3), "345678.124");
  EXPECT_EQ(vekt::base::fixed(7, 3), "7.000");
  EXPECT_EQ(vekt::base::fixed(4.24, 2), "4.24");
}

}  // namespace

TEST(BearingTexts, ZeroFilledToTwoDigitsWithDegreeSignAndApostrophe) { expect_texts(); }

// The texts as a German locale would see them, worked out in a child process: the locale (built
// for this test alone, the machine need not have one) never touches the test process. "" when the
// locale cannot be had here.
std::string texts_under_german_locale() {
  const vekt::testing::ScratchDir dir("vekt-locale");
  const std::string locale_dir = dir.path() + "/de_DE.UTF-8";
  if (vekt::testing::run_command("localedef -i de_DE -f UTF-8 " + vekt::testing::sh_quote(locale_dir) + " >/dev/null").status != 0)
    return {};
  vekt::testing::ChildProcess child(dir.path(), [&] {
    ::setenv("LOCPATH", dir.path().c_str(), 1);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) return 1;
    std::locale::global(std::locale("de_DE.UTF-8"));
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    std::string out = probe;
    for (const auto& c : BEARINGS) {
      const auto t = bearing_texts(c.deg, c.min);
      out += "|" + t.full + "|" + t.degrees + "|" + t.minutes;
    }
    for (const std::string& text : {vekt::base::fixed(345678.12351, 3), vekt::base::fixed(7, 3), upper_case("i")}) {
      out += "|";
      out += text;
    }
    std::fputs(out.c_str(), stdout);
    return 0;
  });
  if (child.wait(std::chrono::seconds(20)) != 0) return {};
  return child.stdout_text();
}

TEST(BearingTexts, UnchangedUnderAGermanLocale) {
  const std::string got = texts_under_german_locale();
  if (got.empty()) GTEST_SKIP() << "cannot build a de_DE.UTF-8 locale here";
  std::string expected = "0,5";  // the locale was in force: printf writes a decimal comma
  for (const auto& c : BEARINGS) expected += std::string("|") + c.full + "|" + c.degrees + "|" + c.minutes;
  expected += "|345678.124|7.000|I";
  EXPECT_EQ(got, expected);
}

TEST(UpperCase, FullUnicodeMapping) {
  const std::pair<const char*, const char*> cases[] = {
      {"12a oba akran stra\u00DFe", "12A OBA AKRAN STRASSE"},
      {"ALREADY UPPER 12", "ALREADY UPPER 12"},
      {"ad\u00E9 b\u00EDs\u00ED", "AD\u00C9 B\u00CDS\u00CD"},
      {"\uFB01eld", "FIELD"},           // a ligature becomes two letters
      {"istanbul", "ISTANBUL"},         // no Turkish rules: the root mapping
      {"\u0149", "\u02BCN"},            // grows from 2 to 3 bytes
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(upper_case(in), out) << in;
  // A long text whose upper case doubles: more than the first guess of room.
  std::string many_sharp_s;
  for (int i = 0; i < 300; ++i) many_sharp_s += "\u00DF";
  std::string expected(600, 'S');
  EXPECT_EQ(upper_case(many_sharp_s), expected);
}
