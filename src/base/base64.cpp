#include "base/base64.hpp"

#include <array>
#include <cstdint>

#include "base/error.hpp"

namespace vekt::base {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int, 256> make_reverse() {
  std::array<int, 256> r{};
  for (auto& v : r) v = -1;
  for (int i = 0; i < 64; ++i) r[static_cast<unsigned char>(kAlphabet[i])] = i;
  return r;
}
constexpr auto kReverse = make_reverse();

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    const std::uint32_t v = std::uint32_t{p[i]} << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) throw ValueError("base64 text length is not a multiple of 4");
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<std::size_t>(k)];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) throw ValueError("base64 padding in the middle of a group");
      v[k] = kReverse[static_cast<unsigned char>(c)];
      if (v[k] < 0) throw ValueError("invalid base64 character");
    }
    const std::uint32_t w = (std::uint32_t(v[0]) << 18) | (std::uint32_t(v[1]) << 12) |
                            (std::uint32_t(v[2]) << 6) | std::uint32_t(v[3]);
    out += static_cast<char>((w >> 16) & 0xFF);
    if (pad < 2) out += static_cast<char>((w >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(w & 0xFF);
  }
  return out;
}

}  // namespace vekt::base
