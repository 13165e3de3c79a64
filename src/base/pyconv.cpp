#include "base/pyconv.hpp"

#include "base/strings.hpp"

#include <algorithm>
#include <cerrno>
#include <iterator>
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

// Decimal digits of other scripts (the Nd runs of Unicode 11, each ten code points from its zero),
// which int() and float() read as their ASCII counterparts: int("٣") == 3, float("１.５") == 1.5.
constexpr char32_t DECIMAL_ZEROS[] = {
    0x0660,  0x06F0,  0x07C0,  0x0966,  0x09E6,  0x0A66,  0x0AE6,  0x0B66,  0x0BE6,  0x0C66,  0x0CE6,
    0x0D66,  0x0DE6,  0x0E50,  0x0ED0,  0x0F20,  0x1040,  0x1090,  0x17E0,  0x1810,  0x1946,  0x19D0,
    0x1A80,  0x1A90,  0x1B50,  0x1BB0,  0x1C40,  0x1C50,  0xA620,  0xA8D0,  0xA900,  0xA9D0,  0xA9F0,
    0xAA50,  0xABF0,  0xFF10,  0x104A0, 0x10D30, 0x11066, 0x110F0, 0x11136, 0x111D0, 0x112F0, 0x11450,
    0x114D0, 0x11650, 0x116C0, 0x11730, 0x118E0, 0x11C50, 0x11D50, 0x11DA0, 0x16A60, 0x16B50, 0x1D7CE,
    0x1D7D8, 0x1D7E2, 0x1D7EC, 0x1D7F6, 0x1E950};

bool is_unicode_space(char32_t c) {
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

// Next code point of UTF-8 text at s[i] (advancing i); empty for a malformed sequence.
std::optional<char32_t> next_code_point(std::string_view s, std::size_t& i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
  if (len == 0 || i + len > s.size()) return std::nullopt;
  char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1f) : len == 3 ? (c & 0x0f) : (c & 0x07);
  for (std::size_t k = 1; k < len; ++k) {
    unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xc0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (d & 0x3f);
  }
  static constexpr char32_t min_of_len[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < min_of_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;  // overlong, surrogate
  i += len;
  return cp;
}

// The text int() and float() actually parse: non-ASCII blanks become " ", non-ASCII decimal
// digits their ASCII digit; any other non-ASCII character makes the text invalid. The blanks
// then stripped are only the ASCII ones (space, \t \n \v \f \r): unlike str.strip(), the
// information separators \x1c-\x1f are not blanks to a number.
std::optional<std::string> numeric_ascii(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto cp = next_code_point(text, i);
    if (!cp) return std::nullopt;
    if (*cp < 0x7f) {
      out += static_cast<char>(*cp);
    } else if (is_unicode_space(*cp)) {
      out += ' ';
    } else {
      const char32_t* zero = std::upper_bound(std::begin(DECIMAL_ZEROS), std::end(DECIMAL_ZEROS), *cp);
      if (zero == std::begin(DECIMAL_ZEROS) || *cp - zero[-1] > 9) return std::nullopt;
      out += static_cast<char>('0' + (*cp - zero[-1]));
    }
  }
  std::size_t b = 0, e = out.size();
  auto ascii_blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (b < e && ascii_blank(out[b])) ++b;
  while (e > b && ascii_blank(out[e - 1])) --e;
  return out.substr(b, e - b);
}

// Characters (code points) of UTF-8 text: the unit of the integer text length limit.
std::size_t code_points(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
  return n;
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
  if (text.size() > MAX_INT_DIGITS && code_points(text) > MAX_INT_DIGITS) return std::nullopt;
  std::optional<std::string> ascii = numeric_ascii(text);
  if (!ascii) return std::nullopt;
  std::string_view s = *ascii;
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
  std::optional<std::string> ascii = numeric_ascii(text);
  if (!ascii) return std::nullopt;
  std::string_view s = *ascii;
  std::size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  std::string_view rest = s.substr(i);
  if (iequals_ascii(rest, "inf") || iequals_ascii(rest, "infinity"))
    return neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  if (iequals_ascii(rest, "nan")) return std::numeric_limits<double>::quiet_NaN();
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
    if (iequals_ascii(text, w)) return true;
  for (auto w : no)
    if (iequals_ascii(text, w)) return false;
  return std::nullopt;
}

}  // namespace vekt::base
