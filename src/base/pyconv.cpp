#include "base/pyconv.hpp"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>

namespace vekt::base {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of a blank at the start of `s` (0 if none): ASCII blanks, the information separators
// and the Unicode spaces, UTF-8 encoded.
std::size_t blank_prefix(std::string_view s) {
  if (s.empty()) return 0;
  unsigned char c = static_cast<unsigned char>(s[0]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f)) return 1;
  if (s.size() >= 2 && c == 0xc2) {
    unsigned char d = static_cast<unsigned char>(s[1]);
    if (d == 0x85 || d == 0xa0) return 2;
  }
  if (s.size() >= 3) {
    unsigned char d = static_cast<unsigned char>(s[1]), e = static_cast<unsigned char>(s[2]);
    if (c == 0xe1 && d == 0x9a && e == 0x80) return 3;                          // U+1680
    if (c == 0xe2 && d == 0x80 && ((e >= 0x80 && e <= 0x8a) || e == 0xa8 || e == 0xa9 || e == 0xaf))
      return 3;                                                                  // U+2000..200A, 2028, 2029, 202F
    if (c == 0xe2 && d == 0x81 && e == 0x9f) return 3;                          // U+205F
    if (c == 0xe3 && d == 0x80 && e == 0x80) return 3;                          // U+3000
  }
  return 0;
}

std::size_t blank_suffix(std::string_view s) {
  for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n)
    if (blank_prefix(s.substr(s.size() - n)) == n) return n;
  return 0;
}

// digit ("_"? digit)* starting at s[i]; advances i, appends the digits to out. False when no
// digit is there or an underscore is not between two digits.
bool digit_part(std::string_view s, std::size_t& i, std::string& out) {
  if (i >= s.size() || !is_digit(s[i])) return false;
  out += s[i++];
  while (i < s.size()) {
    if (is_digit(s[i])) {
      out += s[i++];
    } else if (s[i] == '_' && i + 1 < s.size() && is_digit(s[i + 1])) {
      ++i;
    } else {
      break;
    }
  }
  return true;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != b[i]) return false;
  }
  return true;
}

locale_t c_locale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

constexpr std::size_t MAX_INT_DIGITS = 4300;

}  // namespace

std::string_view py_strip(std::string_view text) {
  for (std::size_t n; (n = blank_prefix(text)) != 0;) text.remove_prefix(n);
  for (std::size_t n; (n = blank_suffix(text)) != 0;) text.remove_suffix(n);
  return text;
}

std::optional<PyInt> py_int(std::string_view text) {
  // Texts longer than the digit limit are refused before any parsing, blanks and underscores
  // included, so a huge text costs nothing.
  if (text.size() > MAX_INT_DIGITS) return std::nullopt;
  std::string_view s = py_strip(text);
  bool neg = false;
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  std::string digits;
  if (!digit_part(s, i, digits) || i != s.size()) return std::nullopt;
  std::size_t nz = digits.find_first_not_of('0');
  digits = nz == std::string::npos ? "0" : digits.substr(nz);
  PyInt out;
  if (digits == "0") neg = false;
  out.text = neg ? "-" + digits : digits;
  // Accumulate negatively so that the most negative 64-bit value fits.
  long long v = 0;
  bool fits = true;
  for (char c : digits) {
    int d = c - '0';
    if (v < (std::numeric_limits<long long>::min() + d) / 10) {
      fits = false;
      break;
    }
    v = v * 10 - d;
  }
  if (fits && !neg) {
    if (v == std::numeric_limits<long long>::min()) fits = false;
    else v = -v;
  }
  if (fits) out.value = v;
  return out;
}

std::optional<double> py_float(std::string_view text) {
  std::string_view s = py_strip(text);
  std::size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  std::string_view rest = s.substr(i);
  if (iequals(rest, "inf") || iequals(rest, "infinity"))
    return neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  if (iequals(rest, "nan")) return std::numeric_limits<double>::quiet_NaN();
  std::string clean = neg ? "-" : "";
  bool int_part = digit_part(s, i, clean);
  bool frac_part = false;
  if (i < s.size() && s[i] == '.') {
    clean += '.';
    ++i;
    frac_part = digit_part(s, i, clean);
  }
  if (!int_part && !frac_part) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    clean += 'e';
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) clean += s[i++];
    if (!digit_part(s, i, clean)) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  double v = strtod_l(clean.c_str(), &end, c_locale());
  if (end != clean.c_str() + clean.size()) return std::nullopt;
  return v;  // overflow gives +-HUGE_VAL (inf), underflow 0 or a subnormal, as float() does
}

std::optional<bool> py_bool(std::string_view text) {
  static constexpr std::string_view yes[] = {"1", "on", "t", "true", "y", "yes"};
  static constexpr std::string_view no[] = {"0", "off", "f", "false", "n", "no"};
  for (auto w : yes)
    if (iequals(text, w)) return true;
  for (auto w : no)
    if (iequals(text, w)) return false;
  return std::nullopt;
}

}  // namespace vekt::base
