#include "canvas/paragraph.hpp"

#include <algorithm>
#include <tuple>
#include <unordered_map>

#include "canvas/text_engine.hpp"

namespace vekt::canvas {
namespace {

// At 72 dpi Pango's units are points.
constexpr double POINT_DPI = 72;

// The first line of `l` as laid out: its length in bytes and its logical box.
std::pair<PangoLayoutLine*, PangoRectangle> first_line(PangoLayout* l) {
  PangoLayoutLine* line = pango_layout_get_line_readonly(l, 0);
  PangoRectangle logical{};
  if (line) pango_layout_line_get_extents(line, nullptr, &logical);
  return {line, logical};
}

// The first line of `rest` as the renderer sets it in `width_pt` (negative: no width): wrapped at
// words, and when that line is still too wide (a word longer than the line), wrapped anywhere.
// Its length in bytes and its logical box.
std::pair<std::size_t, PangoRectangle> first_line_of(TextEngine& engine, std::string_view rest,
                                                     const ParagraphStyle& style, double width_pt) {
  LayoutPtr l = engine.layout(rest, style.size_pt, style.weight, &style.families);
  if (width_pt >= 0) {
    pango_layout_set_width(l.get(), pango_units_from_double(width_pt));
    pango_layout_set_wrap(l.get(), PANGO_WRAP_WORD);
  }
  auto [line, logical] = first_line(l.get());
  if (width_pt >= 0 && pango_units_to_double(logical.width) > width_pt) {
    pango_layout_set_wrap(l.get(), PANGO_WRAP_CHAR);
    std::tie(line, logical) = first_line(l.get());
  }
  return {line ? static_cast<std::size_t>(line->length) : rest.size(), logical};
}

// A prefix of `s` of about `bytes`, cut where a character starts.
std::string_view prefix(std::string_view s, std::size_t bytes) {
  if (bytes >= s.size()) return s;
  while (bytes > 0 && (static_cast<unsigned char>(s[bytes]) & 0xC0) == 0x80) --bytes;
  return s.substr(0, bytes);
}

// The renderer sets a paragraph one line at a time: each line is the first line of the rest of the
// text, and the next starts after the blanks that ended it. Only a window of the rest is laid out
// (a line of a page holds far fewer bytes), widened while the line would fill it, so that a long
// text costs in proportion to its length.
SetParagraph lay_out(TextEngine& engine, std::string_view text, const ParagraphStyle& style, double width_pt) {
  SetParagraph p;
  {
    LayoutPtr strut = engine.layout(" ", style.size_pt, style.weight, &style.families);
    const PangoRectangle r = first_line(strut.get()).second;
    p.strut_ascent_pt = -pango_units_to_double(r.y);
    p.strut_descent_pt = pango_units_to_double(r.y + r.height);
  }
  std::size_t at = 0;
  do {
    const std::string_view rest = text.substr(at);
    // About twice what a line holds at half an em a character; more for wider characters, marks
    // that take no width, or characters of several bytes.
    std::size_t window = width_pt < 0 ? rest.size() : 16 + static_cast<std::size_t>(width_pt / (0.5 * style.size_pt));
    std::string_view part = prefix(rest, window);
    auto [length, logical] = first_line_of(engine, part, style, width_pt);
    while (part.size() < rest.size() && length >= part.size()) {
      part = prefix(rest, window *= 2);
      std::tie(length, logical) = first_line_of(engine, part, style, width_pt);
    }
    // A line too narrow for even one character still takes one (as the renderer does).
    if (length == 0 && !rest.empty())
      for (length = 1; length < rest.size() && (static_cast<unsigned char>(rest[length]) & 0xC0) == 0x80;) ++length;
    SetLine s;
    s.begin = at;
    s.end = at + length;
    s.width_pt = pango_units_to_double(logical.width);
    s.ascent_pt = -pango_units_to_double(logical.y);
    s.descent_pt = pango_units_to_double(logical.y + logical.height);
    at = s.end;
    while (at < text.size() && text[at] == ' ') ++at;
    s.end = at;
    p.lines.push_back(s);
  } while (at < text.size());
  return p;
}

struct Key {
  std::string text, families;
  double size_pt, width_pt;
  Weight weight;
  bool operator==(const Key&) const = default;
};
struct KeyHash {
  std::size_t operator()(const Key& k) const {
    std::size_t h = std::hash<std::string>()(k.text);
    for (std::size_t v : {std::hash<std::string>()(k.families), std::hash<double>()(k.size_pt),
                          std::hash<double>()(k.width_pt), static_cast<std::size_t>(k.weight)})
      h = h * 1000003u ^ v;
    return h;
  }
};

// Plans set a few dozen texts, each at a few sizes; past this many the cache starts afresh.
constexpr std::size_t CACHE_LIMIT = 4096;

}  // namespace

double SetParagraph::natural_height_pt() const {
  double h = 0;
  for (const SetLine& l : lines) h += std::max(l.ascent_pt, strut_ascent_pt) + std::max(l.descent_pt, strut_descent_pt);
  return h;
}

SetParagraph set_paragraph(std::string_view text, const ParagraphStyle& style, double width_pt) {
  thread_local TextEngine engine(POINT_DPI);
  thread_local std::unordered_map<Key, SetParagraph, KeyHash> cache;
  Key key{std::string(text), style.families, style.size_pt, width_pt, style.weight};
  if (auto it = cache.find(key); it != cache.end()) return it->second;
  if (cache.size() >= CACHE_LIMIT) cache.clear();
  SetParagraph p = lay_out(engine, text, style, width_pt);
  cache.emplace(std::move(key), p);
  return p;
}

}  // namespace vekt::canvas
