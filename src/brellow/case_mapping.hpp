#pragma once
// Upper case with the full Unicode case mapping, independent of any locale setting: "straße"
// gives "STRASSE", "ǆ" gives "Ǆ", "ﬁ" gives "FI".
#include <string>
#include <string_view>

namespace vekt::brellow {

// `text` is UTF-8; so is the result.
std::string upper_case(std::string_view text);

}  // namespace vekt::brellow
