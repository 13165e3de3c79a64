#include "base/utf8.hpp"

namespace vekt::base {

std::optional<std::size_t> first_invalid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // no overlong forms
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // no overlong forms
      if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return i;
    }
    if (i + len > n || s[i + 1] < lo || s[i + 1] > hi) return i;
    for (std::size_t k = 2; k < len; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return i;
    i += len;
  }
  return std::nullopt;
}

}  // namespace vekt::base
