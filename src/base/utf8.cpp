#include "base/utf8.hpp"

namespace vekt::base {

Utf8Sequence utf8_sequence_at(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(at);
  if (c < 0x80) return {1, true};
  std::size_t continuations = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    continuations = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    continuations = 2;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    continuations = 3;
    if (c == 0xF0) lo = 0x90;  // no overlong forms
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false};
  }
  std::size_t k = 1;
  for (; k <= continuations && at + k < text.size(); ++k) {
    const unsigned char d = byte(at + k);
    if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) break;
  }
  return {k, k == continuations + 1};
}

std::optional<std::size_t> first_invalid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Sequence seq = utf8_sequence_at(text, i);
    if (!seq.valid) return i;
    i += seq.length;
  }
  return std::nullopt;
}

}  // namespace vekt::base
