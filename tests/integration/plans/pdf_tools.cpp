#include "pdf_tools.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "base/strings.hpp"
#include "support/command.hpp"

namespace plans_test {

std::string output_dir() {
  std::string dir = std::string(VEKT_BINARY_DIR) + "/test-output/plans";
  std::filesystem::create_directories(dir);
  return dir;
}

std::string keep(const std::string& name, const std::string& bytes) {
  std::string path = output_dir() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

namespace {

using vekt::testing::sh_quote;

// What the command printed on its standard output (its errors are dropped: the callers judge the output).
std::string command_output(const std::string& cmd) {
  return vekt::testing::run_command(cmd + " 2>/dev/null", vekt::testing::Capture::OutOnly).output;
}

std::string scratch(const std::string& bytes) {
  static int counter = 0;
  std::string path = output_dir() + "/scratch-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".pdf";
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}


}  // namespace

std::string pdf_text(const std::string& pdf_bytes, bool layout) {
  std::string path = scratch(pdf_bytes);
  std::string raw =
      command_output(std::string("pdftotext -enc UTF-8 ") + (layout ? "-layout " : "") + sh_quote(path) + " -");
  std::filesystem::remove(path);
  return vekt::base::collapse_blanks(raw);
}

std::string pdf_info(const std::string& pdf_bytes) {
  std::string path = scratch(pdf_bytes);
  std::string out = command_output("pdfinfo " + sh_quote(path));
  std::filesystem::remove(path);
  return vekt::base::collapse_blanks(out);
}

std::vector<Word> pdf_words(const std::string& pdf_bytes) {
  std::string path = scratch(pdf_bytes);
  const std::string html = command_output("pdftotext -enc UTF-8 -bbox " + sh_quote(path) + " -");
  std::filesystem::remove(path);
  std::vector<Word> words;
  int page = 0;
  // <page width=".." height=".."> ... <word xMin=".." yMin=".." xMax=".." yMax="..">text</word>
  const auto attribute = [&](std::size_t from, const char* name) {
    const std::size_t at = html.find(std::string(name) + "=\"", from) + std::string(name).size() + 2;
    return std::stod(html.substr(at, html.find('"', at) - at));
  };
  for (std::size_t at = 0;;) {
    const std::size_t next_page = html.find("<page ", at), next_word = html.find("<word ", at);
    if (next_word == std::string::npos) break;
    if (next_page < next_word) {
      ++page;
      at = next_page + 6;
      continue;
    }
    Word w;
    w.page = page;
    w.x0 = attribute(next_word, "xMin");
    w.y0 = attribute(next_word, "yMin");
    w.x1 = attribute(next_word, "xMax");
    w.y1 = attribute(next_word, "yMax");
    const std::size_t text_at = html.find('>', next_word) + 1;
    const std::size_t text_end = html.find("</word>", text_at);
    w.text = html.substr(text_at, text_end - text_at);
    words.push_back(std::move(w));
    at = text_end;
  }
  return words;
}

std::vector<std::string> page_faults(const std::string& pdf_bytes) {
  constexpr double MM = 72 / 25.4;
  constexpr double PAGE_W = 210 * MM, PAGE_H = 297 * MM;
  // The figure on the first sheet: 190 by 160 mm across the sheet, 60 mm from its top unless
  // long texts above it push it down. Wherever it stands, the first sheet needs a band of 160 mm
  // with no word in it.
  constexpr double FIG_H = 160 * MM;
  const std::vector<Word> words = pdf_words(pdf_bytes);
  std::vector<std::string> faults;
  const auto name = [](const Word& w) {
    return "'" + w.text + "' (sheet " + std::to_string(w.page) + " at " + std::to_string(static_cast<int>(w.x0 / MM)) +
           "," + std::to_string(static_cast<int>(w.y0 / MM)) + " mm)";
  };
  for (std::size_t i = 0; i < words.size(); ++i) {
    const Word& a = words[i];
    if (a.x0 < 0 || a.y0 < 0 || a.x1 > PAGE_W || a.y1 > PAGE_H) faults.push_back("off the page: " + name(a));
    for (std::size_t j = i + 1; j < words.size(); ++j) {
      const Word& b = words[j];
      if (b.page != a.page) continue;
      // Glyph boxes of neighbouring lines touch; words over each other share much of their height.
      const double w = std::min(a.x1, b.x1) - std::max(a.x0, b.x0);
      const double h = std::min(a.y1, b.y1) - std::max(a.y0, b.y0);
      const double shorter = std::min(a.y1 - a.y0, b.y1 - b.y0);
      if (w > 0.5 && h > 0.4 * shorter) faults.push_back("over each other: " + name(a) + " and " + name(b));
    }
  }
  std::vector<const Word*> first;
  for (const Word& w : words)
    if (w.page == 1) first.push_back(&w);
  std::sort(first.begin(), first.end(), [](const Word* a, const Word* b) { return a->y0 < b->y0; });
  double widest = 0, lowest = 0;
  const Word* below = nullptr;  // the first word under the widest gap
  for (const Word* w : first) {
    if (w->y0 - lowest > widest) {
      widest = w->y0 - lowest;
      below = w;
    }
    lowest = std::max(lowest, w->y1);
  }
  if (below && widest < FIG_H - 0.5)
    faults.push_back("under the figure: no band of 160 mm free of words on sheet 1; the widest gap (" +
                     std::to_string(static_cast<int>(widest / MM)) + " mm) is above " + name(*below));
  return faults;
}

namespace {

constexpr double PT_PER_MM = 72 / 25.4;

// The non-blank bytes of `s`, sorted: what a box must hold, whatever order its lines and their
// directions of writing print them in.
std::string letters(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != ' ') out += c;
  std::sort(out.begin(), out.end());
  return out;
}

// Whether `s` holds a letter of a script written right to left (Hebrew, Arabic). WeasyPrint 57
// writes such a run's glyphs with a slice of the run's text each, or with entries poppler cannot
// read, so the text read back is not the text printed: such a value is judged by what can be
// read, that each word of its box is made of its letters and that none stands outside the boxes.
bool right_to_left(const std::string& s) {
  for (std::size_t i = 0; i + 1 < s.size(); ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b >= 0xD6 && b <= 0xDD) return true;  // lead bytes of U+0580 to U+077F
  }
  return false;
}

// Whether every character of `word` is one of `text`'s.
bool made_of(const std::string& word, const std::string& text) {
  for (std::size_t i = 0; i < word.size();) {
    std::size_t n = 1;
    while (i + n < word.size() && (static_cast<unsigned char>(word[i + n]) & 0xC0) == 0x80) ++n;
    if (word.substr(i, n) != " " && text.find(word.substr(i, n)) == std::string::npos) return false;
    i += n;
  }
  return true;
}

// The words every value's label is among, as the page prints them (in capitals).
bool is_label(const std::string& w) {
  static const char* labels[] = {"GRANTED", "ADDRESS", "DISTRICT", "CADASTRAL", "ORIGIN", "EASTING",
                                 "TRACING", "NORTHING", "FILE", "SCALE", "SHEET"};
  return std::any_of(std::begin(labels), std::end(labels), [&](const char* l) { return w == l; });
}

}  // namespace

std::vector<std::string> box_faults(const std::string& pdf_bytes, const std::vector<BoxedValue>& values) {
  std::vector<Word> first;
  for (Word& w : pdf_words(pdf_bytes))
    if (w.page == 1) first.push_back(std::move(w));
  // Each label is the first word of its text on the sheet (labels come before their values).
  std::vector<Word> labels;
  for (const Word& w : first)
    if (is_label(w.text) && std::none_of(labels.begin(), labels.end(), [&](const Word& l) { return l.text == w.text; }))
      labels.push_back(w);
  std::vector<std::string> faults;
  std::vector<bool> in_a_box(first.size(), false);
  for (const BoxedValue& v : values) {
    const auto label = std::find_if(labels.begin(), labels.end(), [&](const Word& l) { return l.text == v.label; });
    if (label == labels.end()) {
      faults.push_back("no label " + v.label + " on sheet 1");
      continue;
    }
    // The value's column starts 24 mm right of its label's first letter (the label column is 22 or
    // 23 mm wide, with padding); the next labels under and beside it bound the box.
    double left = label->x0 + 24 * PT_PER_MM, right = 204 * PT_PER_MM, bottom = 291 * PT_PER_MM;
    for (const Word& l : labels) {
      if (std::abs(l.x0 - label->x0) < 2 * PT_PER_MM && l.y0 > label->y0 + 1) bottom = std::min(bottom, l.y0);
      if (std::abs(l.y0 - label->y0) < 3 && l.x0 > label->x0 + 1) right = std::min(right, l.x0);
    }
    const double top = v.centred ? label->y0 - (bottom - label->y1) : label->y0 - 2;
    std::string inside;
    bool foreign = false;
    for (std::size_t i = 0; i < first.size(); ++i) {
      const Word& w = first[i];
      if (w.x0 < left - 1 || w.x1 > right + 1 || w.y0 < top - 1 || w.y1 > bottom + 1) continue;
      inside += w.text;
      in_a_box[i] = true;
      foreign = foreign || !made_of(w.text, v.text);
    }
    const bool whole = right_to_left(v.text) ? !foreign : letters(inside) == letters(v.text);
    if (!whole) faults.push_back("not whole in its box: " + v.label + " (the box holds '" + inside + "')");
  }
  // No glyph of a right-to-left value stands outside the boxes.
  for (std::size_t i = 0; i < first.size(); ++i)
    if (!in_a_box[i] && right_to_left(first[i].text))
      faults.push_back("outside its box: '" + first[i].text + "' at " + std::to_string(static_cast<int>(first[i].x0 / PT_PER_MM)) +
                       "," + std::to_string(static_cast<int>(first[i].y0 / PT_PER_MM)) + " mm");
  return faults;
}

std::string pictures_of(const std::string& pdf_path) {
  std::string stem = pdf_path.substr(0, pdf_path.size() - 4);
  command_output("pdftoppm -r 100 -png " + sh_quote(pdf_path) + " " + sh_quote(stem));
  for (const char* suffix : {"-1.png", "-01.png"})
    if (std::filesystem::exists(stem + suffix)) return stem + suffix;
  return "";
}

}  // namespace plans_test

namespace plans_test {

std::vector<std::string> picture_faults(const std::string& pdf_path, int pages) {
  std::vector<std::string> faults;
  if (pictures_of(pdf_path).empty()) faults.push_back("no picture of " + pdf_path);
  // The same pages in grey, as PGM ("P5 <width> <height> 255" then a byte a pixel), to look into.
  const std::string stem = pdf_path.substr(0, pdf_path.size() - 4) + "-grey";
  command_output("pdftoppm -r 100 -gray " + sh_quote(pdf_path) + " " + sh_quote(stem));
  for (int k = 1;; ++k) {
    std::string path = stem + "-" + std::to_string(k) + ".pgm";
    if (!std::filesystem::exists(path)) path = stem + "-0" + std::to_string(k) + ".pgm";
    if (!std::filesystem::exists(path)) {
      if (k - 1 != pages) faults.push_back(std::to_string(k - 1) + " pages, not " + std::to_string(pages));
      break;
    }
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int width = 0, height = 0, max = 0;
    in >> magic >> width >> height >> max;
    in.get();
    std::string pixels((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(path);
    const std::string page = "page " + std::to_string(k);
    if (magic != "P5" || width != 827 || height != 1170 ||
        pixels.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
      faults.push_back(page + " is " + std::to_string(width) + " by " + std::to_string(height) + " pixels");
      continue;
    }
    bool frame = false;
    for (int x = 20; x <= 28; ++x)
      frame = frame || static_cast<unsigned char>(pixels[static_cast<std::size_t>(height / 2 * width + x)]) < 96;
    if (!frame) faults.push_back(page + " has no frame");
  }
  return faults;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

}  // namespace plans_test
