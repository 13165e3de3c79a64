#pragma once
// What the plan tests read out of a document, and where they keep what a person should look at.
#include <string>
#include <vector>

namespace plans_test {

// The text of a PDF as pdftotext gives it (with `layout`: rows of a table kept on their line),
// whitespace runs folded into one blank.
std::string pdf_text(const std::string& pdf_bytes, bool layout = false);
// pdfinfo's report of a PDF, whitespace runs folded into one blank ("Pages: 1").
std::string pdf_info(const std::string& pdf_bytes);

// One word of a PDF as `pdftotext -bbox` places it: its page (from 1) and box, in points from the
// page's top left corner.
struct Word {
  int page = 0;
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  std::string text;
};
std::vector<Word> pdf_words(const std::string& pdf_bytes);

// What a person would object to on a plan's pages, one line each: a word not wholly on its page,
// two words printed over each other, a word under the figure's rectangle on the first sheet.
// Empty for sound pages.
std::vector<std::string> page_faults(const std::string& pdf_bytes);

// One value the first sheet must show whole in its own box: the first word of its label, and its
// text as printed. With `centred`, the label stands in the middle of its row (the references).
struct BoxedValue {
  std::string label;
  std::string text;
  bool centred = false;
};
// What is wrong with the boxes of `values` on the first sheet, one line each: a value not shown
// whole inside its box. A value's box lies right of its label's column, from its label's row down
// to the next label under it, and to the next label right of it on its row (or the frame).
std::vector<std::string> box_faults(const std::string& pdf_bytes, const std::vector<BoxedValue>& values);

// Where the tests leave what a person should look at: <build>/test-output/plans.
std::string output_dir();
// Writes the bytes to output_dir()/name and returns the path.
std::string keep(const std::string& name, const std::string& bytes);
// Renders every page of a kept PDF to PNG (pdftoppm -r 100 -png) beside it; returns the first page.
std::string pictures_of(const std::string& pdf_path);
// Leaves the pictures of a kept PDF's pages beside it (pictures_of) and says what is wrong with
// them, one line each: not `pages` pages, a page not an A4 sheet at 100 dpi (827 by 1170 pixels),
// or one without its frame (dark 6 mm from the sheet's left edge, halfway down). Empty when sound.
std::vector<std::string> picture_faults(const std::string& pdf_path, int pages);

// Every line of `lines` as one text, for a failure message.
std::string joined(const std::vector<std::string>& lines);

}  // namespace plans_test
