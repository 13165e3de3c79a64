#include "base/numfmt.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace vekt::base {

std::string py_float_str(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  // Shortest round-trip digits, then laid out as Python does: fixed for 1e-4 <= |v| < 1e16,
  // scientific otherwise, always with a ".0" on integral fixed values.
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  if (ec != std::errc{}) return "nan";
  std::string sci(buf, end);
  auto epos = sci.find('e');
  std::string mant = sci.substr(0, epos);
  int exp = std::stoi(sci.substr(epos + 1));
  bool neg = !mant.empty() && mant[0] == '-';
  if (neg) mant.erase(0, 1);
  std::string digits;
  for (char c : mant)
    if (c != '.') digits += c;
  std::string out;
  if (exp >= -4 && exp < 16) {
    if (exp >= 0) {
      if (static_cast<int>(digits.size()) <= exp + 1) {
        out = digits + std::string(static_cast<size_t>(exp + 1 - static_cast<int>(digits.size())), '0') + ".0";
      } else {
        out = digits.substr(0, static_cast<size_t>(exp + 1)) + "." + digits.substr(static_cast<size_t>(exp + 1));
      }
    } else {
      out = "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
    }
  } else {
    out = digits.substr(0, 1);
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    char eb[16];
    std::snprintf(eb, sizeof eb, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
    out += eb;
  }
  return neg ? "-" + out : out;
}

std::string fixed(double v, int decimals) {
  char buf[512];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  if (ec != std::errc{}) return std::isnan(v) ? "nan" : (v > 0 ? "inf" : "-inf");
  return std::string(buf, end);
}

std::string zero_pad(long long v, int width) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*lld", width, v);
  return buf;
}

}  // namespace vekt::base
