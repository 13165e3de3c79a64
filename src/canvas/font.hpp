#pragma once
// The font family every text of the figures is set in, chosen once at start-up.
#include <span>
#include <string>
#include <string_view>

namespace vekt::canvas {

// The first family of `families` that is installed, matched by its exact family name through
// fontconfig (no aliases: "Arial" does not match a metric look-alike). A generic name
// ("sans-serif", "serif", "monospace") is taken as it is, left to fontconfig. ValueError when
// nothing in the list can be used.
std::string resolve_font_family(std::span<const std::string> families);

// The family texts are drawn in; "DejaVu Sans" until set.
void set_font_family(std::string family);
std::string font_family();

}  // namespace vekt::canvas
