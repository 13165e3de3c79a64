#include "base/strings.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

using vekt::base::percent_encode;
using vekt::base::split_list;

TEST(SplitList, TrimsBlanksAndDropsEmptyItems) {
  struct Case {
    std::string text;
    std::vector<std::string> items;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {" , ,\t", {}},
      {"a", {"a"}},
      {" a ,\tb\t,, c d ", {"a", "b", "c d"}},
      {"10.0.0.1,127.0.0.1,", {"10.0.0.1", "127.0.0.1"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_list(c.text), c.items) << "'" << c.text << "'";
}

TEST(PercentEncode, KeepsLettersDigitsAndTheGivenCharacters) {
  EXPECT_EQ(percent_encode("a/b c.pdf", "/."), "a/b%20c.pdf");
  EXPECT_EQ(percent_encode("a/b", ""), "a%2Fb");
  EXPECT_EQ(percent_encode("Zz09\xc3\xa9\"\n", ""), "Zz09%C3%A9%22%0A");
}

TEST(AsciiCase, ChangesOnlyAsciiLetters) {
  using vekt::base::ascii_lower;
  using vekt::base::iequals_ascii;
  EXPECT_EQ(ascii_lower("HTTPS://Ab-Z_9.PDF"), "https://ab-z_9.pdf");
  EXPECT_EQ(ascii_lower("\xc3\x89T\xc3\x89"), "\xc3\x89t\xc3\x89");  // É stays: not ASCII
  EXPECT_TRUE(iequals_ascii("X-Forwarded-For", "x-forwarded-for"));
  EXPECT_TRUE(iequals_ascii("", ""));
  EXPECT_FALSE(iequals_ascii("Bearer", "bearer "));
  EXPECT_FALSE(iequals_ascii("\xc3\x89", "\xc3\xa9"));  // É and é differ outside ASCII
  EXPECT_FALSE(iequals_ascii("[", "{"));                // 0x5B and 0x7B are not a case pair
}

TEST(HexDigitValue, ReadsEitherCaseAndRefusesTheRest) {
  using vekt::base::hex_digit_value;
  const std::string digits = "0123456789abcdef";
  for (int v = 0; v < 16; ++v) {
    EXPECT_EQ(hex_digit_value(digits[static_cast<std::size_t>(v)]), v);
    EXPECT_EQ(hex_digit_value(static_cast<char>(std::toupper(digits[static_cast<std::size_t>(v)]))), v);
  }
  for (char c : std::string("gG/:@`\x80 "))
    EXPECT_EQ(hex_digit_value(c), -1) << static_cast<int>(c);
}
