#include "base/strings.hpp"

#include <gtest/gtest.h>

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
