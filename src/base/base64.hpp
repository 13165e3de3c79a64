#pragma once
// Base64 text of binary data: the standard alphabet, '=' padding, one line without breaks.
#include <string>
#include <string_view>

namespace vekt::base {

std::string base64_encode(std::string_view bytes);

// The bytes behind base64 text of the form base64_encode writes; throws ValueError on anything else.
std::string base64_decode(std::string_view text);

}  // namespace vekt::base
