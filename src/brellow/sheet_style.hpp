#pragma once
// The page's geometry as CSS, and the rule that keeps it the layout's alone. The layout writes
// where every block and box of the sheets stands, how large it is, and the font and size of the
// texts it measures into the template's `{{sheet_style}}` (inside its <style>); the template keeps
// typography only. A template that sets any of that itself would print a page the layout did not
// plan, so it is refused when read, naming the file, the rule and the property.
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brellow/sheet_geometry.hpp"
#include "brellow/sheets.hpp"

namespace vekt::brellow::sheets {

// One rule of a stylesheet: its selectors (each with its blanks collapsed), or its at-rule
// ("@page"), and its declarations (property in lower case, value as written).
struct CssRule {
  std::vector<std::string> selectors;
  std::string at_rule;
  std::vector<std::pair<std::string, std::string>> declarations;
};
// The rules of `css` in order, comments left out; the rules inside an @media block are listed
// as its own.
std::vector<CssRule> css_rules(std::string_view css);

// The stylesheet of a document's sheets laid out as `layout`: every block at its place and size,
// the boxes of the measured texts with their widths, padding, font and size.
std::string sheet_style(const geometry::Particulars& particulars, const Layout& layout);

// The properties a template may not set on any rule or element: positions, sizes, padding,
// columns, line heights and breaks are the layout's.
bool is_layout_property(std::string_view property);

// Throws TemplateError naming `path` when the template `page` (as read) sets what the layout
// owns: a layout property in a rule of its <style> or in an element's style attribute (a value
// given by a placeholder, such as the figure's "{{width}}mm", excepted), a property the layout
// writes for the same selector (the body's font, the values' sizes, the certificates' gap), or an
// @page rule; or when it has no {{sheet_style}} inside its <style>.
void check_template_geometry(const std::filesystem::path& path, std::string_view page,
                             const geometry::Particulars& particulars);

}  // namespace vekt::brellow::sheets
