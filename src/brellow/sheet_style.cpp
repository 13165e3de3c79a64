#include "brellow/sheet_style.hpp"

#include <algorithm>
#include <array>
#include <set>

#include <fmt/format.h>

#include "base/strings.hpp"
#include "brellow/errors.hpp"

namespace vekt::brellow::sheets {

namespace {

namespace g = geometry;

std::string mm(double v) { return fmt::format("{}mm", v); }
std::string fmt_mm(double v) { return fmt::format("{:.1f}mm", v); }

// The font stack as CSS: each family quoted but the generic one.
std::string css_fonts() {
  std::string out;
  for (const std::string& family : base::split_list(g::FONTS)) {
    if (!out.empty()) out += ", ";
    out += family == "sans-serif" ? family : "\"" + family + "\"";
  }
  return out;
}

// The sheet, its frames, and the blocks of the first sheet above the figure.
std::string upper_style(const g::Particulars& p) {
  return fmt::format(
      "html, body {{ margin: 0; padding: 0; }}\n"
      ".sheet {{ position: relative; width: {}; height: {}; overflow: hidden; }}\n"
      ".sheet + .sheet {{ page-break-before: always; }}\n"
      "body {{ font-family: {}; font-size: {}pt; }}\n"
      ".frame {{ position: absolute; left: {}; top: {}; width: {}; height: {}; box-sizing: border-box; }}\n"
      ".frame-inner {{ position: absolute; left: {}; top: {}; width: {}; height: {}; box-sizing: border-box; }}\n"
      ".block {{ position: absolute; left: {}; width: {}; page-break-inside: avoid; }}\n"
      ".title {{ top: {}; height: {}; }}\n"
      ".title .state {{ position: absolute; left: 0; top: 0; width: {}; }}\n"
      ".title .of {{ font-size: {}pt; }}\n"
      ".refs {{ position: absolute; right: 0; top: 0; width: {}; }}\n"
      ".refs td {{ padding: {} {}; }}\n"
      ".refs td.label {{ width: {}; }}\n"
      ".refs td.value {{ font-size: {}pt; }}\n"
      ".particulars {{ top: {}; height: {}; }}\n"
      ".particulars table {{ width: {}; table-layout: fixed; }}\n"
      ".particulars td {{ padding: {} {}; overflow-wrap: anywhere; }}\n"
      ".particulars td.label {{ width: {}; }}\n"
      ".particulars td.value {{ width: {}; }}\n"
      ".figure {{ top: {}; height: {}; }}\n",
      mm(g::SHEET_WIDTH), mm(g::SHEET_HEIGHT), css_fonts(), g::BODY_PT, mm(g::FRAME_AT), mm(g::FRAME_AT),
      mm(g::FRAME_WIDTH), mm(g::FRAME_HEIGHT), mm(g::INNER_FRAME_AT), mm(g::INNER_FRAME_AT), mm(g::INNER_FRAME_WIDTH),
      mm(g::INNER_FRAME_HEIGHT), mm(g::BLOCK_LEFT), mm(g::BLOCK_WIDTH), mm(g::TITLE_TOP), mm(g::TITLE_HEIGHT),
      mm(g::STATE_WIDTH), g::PARCEL_NUMBER_PT, mm(g::REFS_WIDTH), mm(g::REFS_PAD_V), mm(g::REFS_PAD_H),
      mm(g::REFS_LABEL_WIDTH), g::FILE_NO_PT, mm(p.top), mm(p.height), mm(g::BLOCK_WIDTH), mm(g::CELL_PAD_V),
      mm(g::CELL_PAD_H), mm(p.label_width), mm(p.value_width), mm(FirstSheet{}.figure_top()), mm(g::FIGURE_HEIGHT));
}

// The block under the figure, and the continuation sheets' blocks.
std::string lower_style() {
  const FirstSheet s;
  return fmt::format(
      ".bottom {{ top: {}; height: {}; }}\n"
      ".schedule-box {{ position: absolute; left: 0; top: 0; width: {}; height: {}; }}\n"
      ".schedule {{ columns: {}; column-gap: {}; column-fill: auto; height: {}; }}\n"
      ".schedule:empty {{ columns: auto; height: auto; }}\n"
      ".schedule th, .schedule td {{ line-height: {} !important; }}\n"
      ".certificates {{ position: absolute; left: {}; top: 0; width: {}; }}\n"
      ".certificate {{ padding: {} {}; height: {}; box-sizing: border-box; margin-bottom: {}; position: relative; }}\n"
      ".certificate .name {{ font-size: {}pt; overflow-wrap: anywhere; }}\n"
      ".sign {{ position: absolute; left: {}; bottom: {}; width: {}; }}\n"
      ".sign span {{ padding-top: {}; }}\n"
      ".sign .signature {{ width: {}; margin-right: {}; }}\n"
      ".sign .when {{ width: {}; }}\n"
      ".continued {{ top: {}; height: {}; }}\n"
      ".schedule-column {{ position: absolute; top: {}; }}\n"
      ".schedule-column th, .schedule-column td {{ line-height: {} !important; }}\n"
      ".in-full {{ width: {}; table-layout: fixed; }}\n"
      ".in-full td {{ padding: {} {}; overflow-wrap: anywhere; }}\n"
      ".in-full td.label {{ width: {}; }}\n",
      mm(s.bottom_top()), mm(g::BOTTOM_HEIGHT), mm(g::SCHEDULE_BOX_WIDTH), mm(g::BOTTOM_HEIGHT), g::SCHEDULE_COLUMNS,
      mm(g::SCHEDULE_COLUMN_GAP), mm(g::BOTTOM_HEIGHT - g::SCHEDULE_HEADING), g::SCHEDULE_LINE_HEIGHT,
      mm(g::CERTIFICATES_LEFT), mm(g::CERTIFICATES_WIDTH), mm(g::CERTIFICATE_PAD_V), mm(g::CERTIFICATE_PAD_H),
      mm(g::CERTIFICATE_HEIGHT), mm(g::CERTIFICATE_GAP), g::SURVEYOR_PT, mm(g::SIGN_AT), mm(g::SIGN_AT),
      mm(g::CERTIFICATES_WIDTH - 2 * g::SIGN_AT), mm(g::SIGN_RULE_GAP), mm(g::SIGNATURE_WIDTH), mm(g::SIGNATURE_GAP),
      mm(g::SIGN_DATE_WIDTH), mm(g::CONTINUED_TOP), mm(g::CONTINUED_HEIGHT), mm(g::SCHEDULE_COLUMN_TOP),
      g::SCHEDULE_LINE_HEIGHT, mm(g::BLOCK_WIDTH), mm(g::CELL_PAD_V), mm(g::CELL_PAD_H), mm(g::IN_FULL_LABEL_WIDTH));
}

// A spread first sheet: its blocks moved, over their places above.
std::string spread_style(const Layout& layout) {
  const FirstSheet& s = layout.first;
  if (!s.spread) return "";
  std::string css = fmt::format(
      ".title {{ height: {}; }} .particulars {{ top: {}; height: auto; }} .figure {{ top: {}; }} "
      ".bottom {{ top: {}; height: {}; }} .schedule-box {{ width: {}; height: {}; }} "
      ".schedule {{ columns: {}; height: {}; }} .continued {{ top: {}; height: {}; }} ",
      fmt_mm(s.title_mm), fmt_mm(s.particulars_top()), fmt_mm(s.figure_top()), fmt_mm(s.bottom_top()),
      fmt_mm(s.bottom_mm), fmt_mm(s.schedule.width_mm), fmt_mm(s.schedule_box_mm()),
      std::max<std::size_t>(layout.schedule.first_sheet_columns, 1), fmt_mm(s.schedule_box_mm() - g::SCHEDULE_HEADING),
      fmt_mm(g::CONTINUED_TOP + s.schedule.title_growth_mm), fmt_mm(g::CONTINUED_HEIGHT - s.schedule.title_growth_mm));
  if (s.certificates_side_by_side)
    css += fmt::format(
        ".certificates {{ left: 0; top: {}; width: {}; }} .certificate {{ position: absolute; top: 0; left: 0; "
        "width: {}; height: {}; margin: 0; }} .certificate + .certificate {{ left: {}; }}",
        fmt_mm(s.bottom_mm - s.certificate_mm), mm(g::BLOCK_WIDTH), mm(g::SIDE_BY_SIDE_WIDTH), fmt_mm(s.certificate_mm),
        mm(g::SIDE_BY_SIDE_SECOND_LEFT));
  else
    css += fmt::format(".certificate:first-child {{ height: {}; }} .certificate + .certificate {{ height: {}; }}",
                       fmt_mm(s.certificate_mm), fmt_mm(s.general_mm));
  if (s.schedule_hidden) css += " .schedule-box { display: none; }";
  return css;
}

// `css` without its comments.
std::string without_comments(std::string_view css) {
  std::string out;
  for (std::size_t i = 0; i < css.size(); ++i) {
    if (css.compare(i, 2, "/*") == 0) {
      const std::size_t end = css.find("*/", i + 2);
      if (end == std::string_view::npos) break;
      i = end + 1;
      continue;
    }
    out += css[i];
  }
  return out;
}

// The end of the block that opens at `open` (the index of its closing brace, or npos).
std::size_t block_end(std::string_view css, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < css.size(); ++i) {
    if (css[i] == '{') ++depth;
    if (css[i] == '}' && --depth == 0) return i;
  }
  return std::string_view::npos;
}

std::vector<std::pair<std::string, std::string>> declarations(std::string_view block) {
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t at = 0;
  while (at < block.size()) {
    std::size_t end = block.find(';', at);
    if (end == std::string_view::npos) end = block.size();
    const std::string_view d = block.substr(at, end - at);
    if (const std::size_t colon = d.find(':'); colon != std::string_view::npos)
      out.emplace_back(base::ascii_lower(base::collapse_blanks(d.substr(0, colon))),
                       base::collapse_blanks(d.substr(colon + 1)));
    at = end + 1;
  }
  return out;
}

void add_rules(std::string_view css, std::vector<CssRule>& out) {
  std::size_t at = 0;
  while (at < css.size()) {
    const std::size_t open = css.find_first_of("{;", at);
    if (open == std::string_view::npos) break;
    const std::string prelude = base::collapse_blanks(css.substr(at, open - at));
    if (css[open] == ';') {  // a statement at-rule, "@import ...;"
      if (!prelude.empty()) out.push_back({{}, prelude, {}});
      at = open + 1;
      continue;
    }
    const std::size_t close = block_end(css, open);
    const std::string_view block = css.substr(open + 1, (close == std::string_view::npos ? css.size() : close) - open - 1);
    if (prelude.starts_with('@') && block.find('{') != std::string_view::npos) {
      add_rules(block, out);
    } else if (prelude.starts_with('@')) {
      out.push_back({{}, prelude.substr(0, prelude.find(' ')), declarations(block)});
    } else {
      CssRule rule;
      for (const std::string& s : base::split_list(prelude)) rule.selectors.push_back(base::collapse_blanks(s));
      rule.declarations = declarations(block);
      out.push_back(std::move(rule));
    }
    if (close == std::string_view::npos) break;
    at = close + 1;
  }
}

// Whether setting `theirs` changes what setting `ours` does: the same property, or one the
// other's shorthand covers ("margin" and "margin-bottom"; "font" and "font-size").
bool overlaps(std::string_view theirs, std::string_view ours) {
  const auto covers = [](std::string_view shorthand, std::string_view longhand) {
    return longhand.size() > shorthand.size() && longhand.starts_with(shorthand) && longhand[shorthand.size()] == '-';
  };
  return theirs == ours || covers(theirs, ours) || covers(ours, theirs);
}

[[noreturn]] void refuse(const std::filesystem::path& path, const std::string& what) {
  throw TemplateError(path, what + "; where the sheets' blocks and boxes stand, their sizes and the font of the "
                                   "texts the layout measures are the layout's, which writes them in "
                                   "{{sheet_style}} (a template keeps only typography)");
}

// The style attributes of the page's elements, each as its declarations.
void check_style_attributes(const std::filesystem::path& path, std::string_view page) {
  for (std::size_t at = page.find("style=\""); at != std::string_view::npos; at = page.find("style=\"", at + 1)) {
    const std::size_t begin = at + 7, end = page.find('"', begin);
    if (end == std::string_view::npos) return;
    for (const auto& [property, value] : declarations(page.substr(begin, end - begin)))
      if (is_layout_property(property) && value.find("{{") == std::string::npos)
        refuse(path, fmt::format("sets {} in an element's style attribute", property));
  }
}

}  // namespace

std::vector<CssRule> css_rules(std::string_view css) {
  std::vector<CssRule> out;
  add_rules(without_comments(css), out);
  return out;
}

std::string sheet_style(const geometry::Particulars& particulars, const Layout& layout) {
  return upper_style(particulars) + lower_style() + spread_style(layout);
}

bool is_layout_property(std::string_view property) {
  static constexpr std::array<std::string_view, 23> LAYOUT{
      "position", "top",     "right",        "bottom",    "left",       "width",      "height",   "min-width",
      "max-width", "min-height", "max-height", "padding", "box-sizing", "columns", "column-count", "column-width",
      "column-gap", "column-fill", "table-layout", "overflow", "overflow-wrap", "line-height", "float"};
  static constexpr std::array<std::string_view, 5> BREAKS{"page-break", "break", "word-wrap", "inset", "column-span"};
  for (std::string_view p : LAYOUT)
    if (overlaps(property, p)) return true;
  return std::any_of(BREAKS.begin(), BREAKS.end(), [&](std::string_view p) { return property.starts_with(p); });
}

void check_template_geometry(const std::filesystem::path& path, std::string_view page,
                             const geometry::Particulars& particulars) {
  const std::size_t style = page.find("<style");
  const std::size_t style_end = style == std::string_view::npos ? style : page.find("</style>", style);
  if (style_end == std::string_view::npos) throw TemplateError(path, "has no <style> for the {{sheet_style}} of the layout");
  std::string css = without_comments(page.substr(style, style_end - style));
  const std::size_t placeholder = css.find("{{sheet_style}}");
  if (placeholder == std::string::npos)
    throw TemplateError(path, "has no {{sheet_style}} in its <style>, where the layout writes the sheets' geometry");
  css.erase(placeholder, 15);
  css.erase(0, css.find('>') + 1);
  // What the layout itself writes beyond the layout properties, by selector.
  std::set<std::pair<std::string, std::string>> ours;
  for (const CssRule& r : css_rules(sheet_style(particulars, Layout{})))
    for (const std::string& s : r.selectors)
      for (const auto& d : r.declarations) ours.emplace(s, d.first);
  for (const CssRule& r : css_rules(css)) {
    if (r.at_rule == "@page") refuse(path, "has an @page rule of its own; the page (A4, no margin) is the renderer's");
    for (const auto& [property, value] : r.declarations) {
      for (const std::string& s : r.selectors) {
        if (is_layout_property(property)) refuse(path, fmt::format("sets {} in its rule for {}", property, s));
        for (const auto& [selector, mine] : ours)
          if (selector == s && overlaps(property, mine)) refuse(path, fmt::format("sets {} in its rule for {}", property, s));
      }
    }
  }
  check_style_attributes(path, page.substr(style_end));
}

}  // namespace vekt::brellow::sheets
