#pragma once
// Small text helpers shared by the HTTP layer and the host's settings.
#include <string>
#include <string_view>
#include <vector>

namespace vekt::base {

// `s` without the spaces and tabs at either end.
std::string trim_blanks(std::string_view s);

// A comma-separated list: blanks around items are trimmed and empty items are dropped.
std::vector<std::string> split_list(std::string_view list);

// Percent-encoding (upper-case hex) of every byte except ASCII letters, digits and the
// characters in `keep`.
std::string percent_encode(std::string_view s, std::string_view keep);

}  // namespace vekt::base
