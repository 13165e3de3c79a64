#include "pdf_tools.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <stdexcept>

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

std::string folded(const std::string& raw) {
  std::string folded;
  bool blank = false;
  for (char c : raw) {
    if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f') {
      blank = !folded.empty();
      continue;
    }
    if (blank) folded += ' ';
    blank = false;
    folded += c;
  }
  return folded;
}

}  // namespace

std::string pdf_text(const std::string& pdf_bytes, bool layout) {
  std::string path = scratch(pdf_bytes);
  std::string raw =
      command_output(std::string("pdftotext -enc UTF-8 ") + (layout ? "-layout " : "") + sh_quote(path) + " -");
  std::filesystem::remove(path);
  return folded(raw);
}

std::string pdf_info(const std::string& pdf_bytes) {
  std::string path = scratch(pdf_bytes);
  std::string out = command_output("pdfinfo " + sh_quote(path));
  std::filesystem::remove(path);
  return folded(out);
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

std::string pictures_of(const std::string& pdf_path) {
  std::string stem = pdf_path.substr(0, pdf_path.size() - 4);
  command_output("pdftoppm -r 100 -png " + sh_quote(pdf_path) + " " + sh_quote(stem));
  for (const char* suffix : {"-1.png", "-01.png"})
    if (std::filesystem::exists(stem + suffix)) return stem + suffix;
  return "";
}

}  // namespace plans_test
