#pragma once
// Small text helpers shared by the HTTP layer, the host's settings and the drawing.
#include <string>
#include <string_view>
#include <vector>

namespace vekt::base {

// `s` without the spaces and tabs at either end.
std::string trim_blanks(std::string_view s);

// `s` with each run of blanks, tabs and line ends as one blank and none at either end: a text as
// a page shows it.
std::string collapse_blanks(std::string_view s);

// A comma-separated list: blanks around items are trimmed and empty items are dropped.
std::vector<std::string> split_list(std::string_view list);

// ASCII case: only A-Z and a-z change or match across case; every other byte (UTF-8 included) is
// itself. Protocol words (header names, schemes, file extensions) are compared this way, never by
// the locale.
char ascii_lower(char c);
std::string ascii_lower(std::string_view s);
bool iequals_ascii(std::string_view a, std::string_view b);

// The value of a hexadecimal digit (either case), or -1.
int hex_digit_value(char c);

// Percent-encoding (upper-case hex) of every byte except ASCII letters, digits and the
// characters in `keep`.
std::string percent_encode(std::string_view s, std::string_view keep);

}  // namespace vekt::base
