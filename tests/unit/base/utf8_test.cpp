#include "base/utf8.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

using vekt::base::first_invalid_utf8;
using vekt::base::utf8_sequence_at;

// Each case: a text, the sequences it falls into from its start (length, well-formed) and the
// offset of its first ill-formed byte.
TEST(Utf8Sequence, SplitsTextIntoSequencesAndMaximalIllFormedParts) {
  struct Case {
    std::string text;
    std::vector<std::pair<std::size_t, bool>> sequences;
    std::optional<std::size_t> first_invalid;
  };
  const std::vector<Case> cases = {
      {"a\x7f", {{1, true}, {1, true}}, std::nullopt},
      {"\xc3\xa9", {{2, true}}, std::nullopt},                     // é
      {"\xe2\x82\xac", {{3, true}}, std::nullopt},                 // €
      {"\xf0\x9f\x98\x80", {{4, true}}, std::nullopt},             // an emoji
      {"\xf4\x8f\xbf\xbf", {{4, true}}, std::nullopt},             // U+10FFFF
      {"\x80", {{1, false}}, 0},                                   // a stray continuation byte
      {"\xc0\xaf", {{1, false}, {1, false}}, 0},                   // overlong "/"
      {"\xe0\x80\x80", {{1, false}, {1, false}, {1, false}}, 0},   // overlong three-byte form
      {"\xed\xa0\x80", {{1, false}, {1, false}, {1, false}}, 0},   // a surrogate
      {"\xf4\x90\x80\x80", {{1, false}, {1, false}, {1, false}, {1, false}}, 0},  // above U+10FFFF
      {"a\xe2\x82", {{1, true}, {2, false}}, 1},                   // cut short at the end
      {"\xe2\x82z", {{2, false}, {1, true}}, 0},                   // cut short by an ASCII byte
      {"\xf0\x9f\x98\xc3\xa9", {{3, false}, {2, true}}, 0},
      {"\xf5\xff", {{1, false}, {1, false}}, 0},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<std::size_t, bool>> got;
    for (std::size_t i = 0; i < c.text.size();) {
      const auto seq = utf8_sequence_at(c.text, i);
      got.emplace_back(seq.length, seq.valid);
      i += seq.length;
    }
    EXPECT_EQ(got, c.sequences) << testing::PrintToString(c.text);
    EXPECT_EQ(first_invalid_utf8(c.text), c.first_invalid) << testing::PrintToString(c.text);
  }
}
