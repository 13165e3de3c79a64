#pragma once
// Strict UTF-8 checking: what a text file or a request must be before we treat it as text.
#include <cstddef>
#include <optional>
#include <string_view>

namespace vekt::base {

// The UTF-8 sequence that starts at byte `at` (< text.size()): how many bytes it takes and whether
// it is well-formed. An ill-formed one is its maximal subpart: the lead byte and the continuation
// bytes that could still have belonged to it, at least one byte (what one U+FFFD replaces).
struct Utf8Sequence {
  std::size_t length = 1;
  bool valid = false;
};
Utf8Sequence utf8_sequence_at(std::string_view text, std::size_t at);

// The byte offset of the first byte that does not begin a well-formed UTF-8 sequence (a stray
// continuation byte, an overlong form, a surrogate, a code point above U+10FFFF or a sequence cut
// short); empty when the whole text is valid.
std::optional<std::size_t> first_invalid_utf8(std::string_view text);

}  // namespace vekt::base
