#pragma once
// A paragraph set as the plan pages' renderer sets it: Pango on a CSS font stack, at a size and
// weight, broken into lines of a width the way that renderer breaks them (at word boundaries,
// and within a word only where the word alone is wider than the line).
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "canvas/axes.hpp"

namespace vekt::canvas {

struct ParagraphStyle {
  std::string families;  // comma-separated, first choice first ("DejaVu Sans,Noto Naskh Arabic")
  double size_pt = 0;
  Weight weight = Weight::Normal;
};

// One line of a set paragraph: its bytes [begin, end) of the text (blanks at its end included),
// its width, and its height above and below the baseline (of all the fonts it is set in), points.
struct SetLine {
  std::size_t begin = 0, end = 0;
  double width_pt = 0;
  double ascent_pt = 0, descent_pt = 0;
};

struct SetParagraph {
  std::vector<SetLine> lines;  // at least one; an empty text is one empty line
  // A blank in the stack's first font: the least height and depth any line of the paragraph has.
  double strut_ascent_pt = 0, strut_descent_pt = 0;
  // The height of the lines set one under the other, each as tall as its own fonts and the strut.
  double natural_height_pt() const;
};

// `text` (one paragraph, without line ends) set in lines `width_pt` wide; a negative width sets it
// on one line. Results are kept per thread, so setting the same text again costs a lookup.
SetParagraph set_paragraph(std::string_view text, const ParagraphStyle& style, double width_pt);

}  // namespace vekt::canvas
