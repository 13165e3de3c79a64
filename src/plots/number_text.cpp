#include "plots/number_text.hpp"

#include <fmt/format.h>

#include "base/error.hpp"
#include "base/numfmt.hpp"

namespace vekt::plots {
namespace {

// Half to even on a decimal digit string ("12.345" -> "12.34"); `digits` is an optional sign,
// digits and an optional fraction.
std::string decimal_fixed(const std::string& digits, int decimals) {
  const auto parts = decimal_parts(digits);
  if (!parts) throw base::ValueError("invalid decimal value: " + digits);
  const auto n = static_cast<std::size_t>(decimals);
  const bool neg = parts->negative;
  const std::string& ip = parts->int_digits;
  const std::string& fp = parts->frac_digits;
  std::string kept = ip + (fp + std::string(n, '0')).substr(0, n);  // all digits up to the last kept place
  const std::string rest = fp.size() > n ? fp.substr(n) : "";
  bool round_up = false;
  if (!rest.empty()) {
    const bool more = rest.find_first_not_of('0', 1) != std::string::npos;
    if (rest[0] > '5' || (rest[0] == '5' && more)) round_up = true;
    else if (rest[0] == '5') round_up = ((kept.back() - '0') % 2) == 1;  // a tie: to even
  }
  if (round_up) {
    int i = static_cast<int>(kept.size()) - 1;
    while (i >= 0 && kept[static_cast<std::size_t>(i)] == '9') kept[static_cast<std::size_t>(i--)] = '0';
    if (i < 0) kept.insert(kept.begin(), '1');
    else ++kept[static_cast<std::size_t>(i)];
  }
  std::string int_part = kept.substr(0, kept.size() - n);
  const auto nz = int_part.find_first_not_of('0');
  int_part = nz == std::string::npos ? "0" : int_part.substr(nz);
  if (n == 0) return (neg ? "-" : "") + int_part;
  return (neg ? "-" : "") + int_part + "." + kept.substr(kept.size() - n);
}

}  // namespace

std::optional<DecimalParts> decimal_parts(std::string_view s) {
  DecimalParts d;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    d.negative = s[0] == '-';
    s.remove_prefix(1);
  }
  const auto dot_at = s.find('.');
  const std::string_view ip = s.substr(0, dot_at);
  const std::string_view fp = dot_at == std::string_view::npos ? std::string_view() : s.substr(dot_at + 1);
  if (ip.empty() && fp.empty()) return std::nullopt;
  for (std::string_view part : {ip, fp})
    for (char c : part)
      if (c < '0' || c > '9') return std::nullopt;
  const auto nz = ip.find_first_not_of('0');
  d.int_digits = nz == std::string_view::npos ? "0" : std::string(ip.substr(nz));
  d.frac_digits = std::string(fp);
  return d;
}

std::string number_text(const Number& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v)) return fmt::format("{}", *i);
  if (const auto* d = std::get_if<double>(&v)) return base::py_float_str(*d);
  return std::get<Decimal>(v).digits;
}

std::string fixed_text(const Number& v, int decimals) {
  if (const auto* i = std::get_if<std::int64_t>(&v))
    return decimals > 0 ? fmt::format("{}.{}", *i, std::string(static_cast<std::size_t>(decimals), '0'))
                        : fmt::format("{}", *i);
  if (const auto* d = std::get_if<double>(&v)) return base::fixed(*d, decimals);
  return decimal_fixed(std::get<Decimal>(v).digits, decimals);
}

std::string fixed2(const Number& v) { return fixed_text(v, 2); }

}  // namespace vekt::plots
