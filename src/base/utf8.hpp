#pragma once
// Strict UTF-8 checking: what a text file or a request must be before we treat it as text.
#include <cstddef>
#include <optional>
#include <string_view>

namespace vekt::base {

// The byte offset of the first byte that does not begin a well-formed UTF-8 sequence (a stray
// continuation byte, an overlong form, a surrogate, a code point above U+10FFFF or a sequence cut
// short); empty when the whole text is valid.
std::optional<std::size_t> first_invalid_utf8(std::string_view text);

}  // namespace vekt::base
