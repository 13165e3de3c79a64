#include "brellow/sheets.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <tuple>

#include "base/strings.hpp"
#include "canvas/paragraph.hpp"

namespace vekt::brellow::sheets {

namespace {

constexpr double MM_PER_PT = 25.4 / 72;

canvas::SetParagraph set_in(std::string_view text, double width_mm, double pt, canvas::Weight weight) {
  return canvas::set_paragraph(text, {std::string(VALUE_FONTS), pt, weight}, width_mm < 0 ? -1 : width_mm / MM_PER_PT);
}

// Whether a paragraph's fonts are nowhere taller than its first font.
bool as_tall_as_its_strut(const canvas::SetParagraph& p) {
  return std::all_of(p.lines.begin(), p.lines.end(), [&](const canvas::SetLine& l) {
    return l.ascent_pt <= p.strut_ascent_pt + 1e-6 && l.descent_pt <= p.strut_descent_pt + 1e-6;
  });
}

// The schedule's cells are set in the regular weight, their heads in bold, on one line each.
double schedule_width_mm(std::string_view s, double pt, canvas::Weight weight = canvas::Weight::Normal) {
  const canvas::SetParagraph p = set_in(s, -1, pt, weight);
  return p.lines.front().width_pt * MM_PER_PT;
}

// A text's cell: the text's lines, and no lower than one line of the box's own size.
double cell_height(std::string_view text, const Cell& cell, double pt, double base_pt) {
  return std::max(set_value(text, cell.width_mm, pt, pt != base_pt).height_mm, set_value("", cell.width_mm, base_pt).height_mm);
}

namespace g = geometry;

// Lines of the moved texts' sheets: from below the heading to above the frame.
constexpr double MOVED_AREA_MM = g::MOVED_AREA;
constexpr double MOVED_ROW_PAD_MM = 1.8;

// The schedule's rows: their pitch, and what each box holds.
constexpr double ROW_MM = g::SCHEDULE_ROW;
constexpr double HEAD_MM = 6.5;  // heading row and the table's margin
constexpr double CONTINUATION_HEIGHT_MM = g::CONTINUED_SCHEDULE_HEIGHT;
constexpr double CONTINUATION_WIDTH_MM = g::BLOCK_WIDTH;
constexpr double COLUMN_GAP_MM = g::SCHEDULE_COLUMN_GAP;
constexpr double SCHEDULE_PT = g::SCHEDULE_PT;
constexpr double CELL_PAD_MM = g::SCHEDULE_CELL_PAD;

double table_width_mm(const std::vector<plots::ScheduleItem>& schedule) {
  const auto width = [](std::string_view s) { return schedule_width_mm(s, SCHEDULE_PT); };
  const auto head = [](std::string_view s) { return schedule_width_mm(s, SCHEDULE_PT, canvas::Weight::Bold); };
  double w[4] = {head("From"), head("To"), head("Bearing"), head("Dist(m)")};
  for (const auto& item : schedule) {
    w[0] = std::max(w[0], width(item.from));
    w[1] = std::max(w[1], width(item.to));
    w[2] = std::max(w[2], width(item.bearing));
    w[3] = std::max(w[3], width(item.distance));
  }
  return w[0] + w[1] + w[2] + w[3] + 4 * CELL_PAD_MM;
}

}  // namespace

SetText set_value(std::string_view text, double width_mm, double pt, bool resized) {
  const canvas::SetParagraph p = set_in(text, width_mm, pt, canvas::Weight::Bold);
  SetText t;
  for (const canvas::SetLine& l : p.lines) {
    t.lines.emplace_back(l.begin, l.end);
    t.tallest_line_mm = std::max(t.tallest_line_mm, (std::max(l.ascent_pt, p.strut_ascent_pt) +
                                                     std::max(l.descent_pt, p.strut_descent_pt)) * MM_PER_PT);
  }
  t.close_lines = resized && as_tall_as_its_strut(p);
  // Lines set close stand RESIZED_LINE_HEIGHT apart; a little more is allowed for the renderer's
  // rounding.
  t.height_mm = t.close_lines ? static_cast<double>(p.lines.size()) * pt * (RESIZED_LINE_HEIGHT + 0.02) * MM_PER_PT
                              : p.natural_height_pt() * MM_PER_PT;
  return t;
}

std::size_t line_count(std::string_view text, double width_mm, double pt) {
  return set_value(text, width_mm, pt).lines.size();
}

bool in_own_box(const Fitted& f) { return !f.moved && (f.resized() || line_count(f.text, f.width_mm, f.pt) > 1); }

namespace {

// The texts of a group's cells, in cell order, each at the group's own size, with the row it is in.
std::vector<Fitted> texts_of(const BoxGroup& group, const std::vector<std::pair<std::string, std::string>>& texts,
                             std::vector<std::size_t>* rows = nullptr) {
  std::vector<Fitted> out;
  for (std::size_t r = 0; r < group.rows.size(); ++r)
    for (const Cell& c : group.rows[r]) {
      std::string text;
      for (const auto& [k, v] : texts)
        if (k == c.key) text = base::collapse_blanks(v);
      out.push_back({c.key, c.label, std::move(text), group.base_pt, false, c.width_mm, group.base_pt, c.callers});
      if (rows) rows->push_back(r);
    }
  return out;
}

// The height a text of a group takes; a moved text leaves one line, which points to its sheet.
double text_height(const Fitted& f) {
  if (f.moved) return set_value("", f.width_mm, f.base_pt).height_mm;
  return cell_height(f.text, Cell{f.key, f.label, f.width_mm}, f.pt, f.base_pt);
}

// The height of a group with its texts as they are set: each row as tall as its tallest text.
double group_height(const BoxGroup& group, const std::vector<Fitted>& f, const std::vector<std::size_t>& row_of) {
  std::vector<double> rows(group.rows.size(), 0);
  for (std::size_t i = 0; i < f.size(); ++i) rows[row_of[i]] = std::max(rows[row_of[i]], text_height(f[i]));
  double sum = 0;
  for (double h : rows) sum += h + group.row_pad_mm;
  return sum;
}

}  // namespace

std::vector<Fitted> fit_group(const BoxGroup& group, const std::vector<std::pair<std::string, std::string>>& texts) {
  std::vector<std::size_t> row_of;
  std::vector<Fitted> out = texts_of(group, texts, &row_of);
  const auto height_of = [&](std::size_t i) { return text_height(out[i]); };
  const auto total = [&] { return group_height(group, out, row_of); };
  for (;;) {
    // Shrink the tallest text that can still be set smaller, until the group fits.
    while (total() > group.height_mm) {
      std::size_t best = out.size();
      for (std::size_t i = 0; i < out.size(); ++i)
        if (!out[i].moved && out[i].pt - 0.5 >= MIN_TEXT_PT && (best == out.size() || height_of(i) > height_of(best)))
          best = i;
      if (best == out.size()) break;
      out[best].pt -= 0.5;
    }
    if (total() <= group.height_mm) return out;
    // Nothing shrinks further: the tallest text goes in full on a continuation sheet, and the rest
    // start again from their own size.
    std::size_t tallest = out.size();
    for (std::size_t i = 0; i < out.size(); ++i)
      if (!out[i].moved && (tallest == out.size() || height_of(i) > height_of(tallest))) tallest = i;
    if (tallest == out.size()) return out;
    out[tallest].moved = true;
    for (Fitted& f : out)
      if (!f.moved) f.pt = group.base_pt;
  }
}

ScheduleLayout lay_out_schedule(const std::vector<plots::ScheduleItem>& schedule, const ScheduleRoom& room) {
  ScheduleLayout l;
  const std::size_t n = schedule.size();
  const double w = table_width_mm(schedule);
  const std::size_t first_columns =
      std::min(room.columns, static_cast<std::size_t>(std::floor((room.width_mm + COLUMN_GAP_MM) / (w + COLUMN_GAP_MM))));
  const std::size_t first_capacity = first_columns * room.rows_per_column;
  l.first_sheet_columns = first_columns;
  l.column_pitch_mm = w + COLUMN_GAP_MM;
  if (n <= first_capacity) {
    l.on_first_sheet = n;
    return l;
  }
  l.on_first_sheet = first_capacity;
  const auto rows_per_column =
      static_cast<std::size_t>(std::floor((CONTINUATION_HEIGHT_MM - room.title_growth_mm - HEAD_MM) / ROW_MM));
  const std::size_t columns = std::clamp<std::size_t>(
      static_cast<std::size_t>(std::floor((CONTINUATION_WIDTH_MM + COLUMN_GAP_MM) / l.column_pitch_mm)), 1, 6);
  std::size_t at = first_capacity;
  while (at < n) {
    auto& sheet = l.sheets.emplace_back();
    // A sheet that is not full shares its rows evenly among its columns.
    const std::size_t left = n - at;
    const std::size_t per_column =
        left >= rows_per_column * columns ? rows_per_column : (left + columns - 1) / columns;
    for (std::size_t c = 0; c < columns && at < n; ++c) {
      const std::size_t end = std::min(n, at + per_column);
      sheet.emplace_back(at, end);
      at = end;
    }
  }
  return l;
}

std::size_t Layout::sheet_of_moved(std::size_t i) const {
  for (std::size_t s = 0; s < moved_sheets.size(); ++s)
    for (const Piece& p : moved_sheets[s])
      if (p.text == i) return 2 + schedule.sheets.size() + s;
  return 1;
}

namespace {

// The first sheet as the layout plans it when it is not spread: the blocks' heights, the
// certificates and the gap between them.
constexpr double TEMPLATE_TITLE_MM = g::TITLE_HEIGHT;
constexpr double TEMPLATE_PARTICULARS_MM = g::FIGURE_FROM_PARTICULARS;
// A spread sheet's block under the figure reaches down to the blocks' foot, 2 mm nearer the frame.
constexpr double SPREAD_BOTTOM_MM = g::BLOCK_FOOT - FirstSheet{}.bottom_top();
constexpr double CERTIFICATE_MM = g::CERTIFICATE_HEIGHT;
constexpr double CERTIFICATE_GAP_MM = g::CERTIFICATE_GAP;
// The surveyor-general's certificate, whose name is one fixed line, can give up its room for more.
constexpr double GENERAL_CERTIFICATE_MIN_MM = 21.5;
constexpr double FIGURE_GAP_MM = g::FIGURE_GAP;
constexpr double SCHEDULE_HEAD_MM = 12.5;  // the schedule box's heading, column heads and margins
constexpr double WHOLE_WIDTH_MM = g::BLOCK_WIDTH;
constexpr double SCHEDULE_HEADING_MM = 8;  // the schedule's heading and its note, without rows

// Rows a column of the first sheet's schedule box `height_mm` tall holds.
std::size_t schedule_rows(double height_mm) {
  return height_mm < SCHEDULE_HEAD_MM ? 0 : static_cast<std::size_t>(std::floor((height_mm - SCHEDULE_HEAD_MM) / ROW_MM + 1e-9));
}

// The arrangements of the block under the figure that a spread sheet `s` (its blocks' heights
// set) can take: the certificates one over the other beside the schedule, the second as short as
// it may be; or side by side across the sheet, the schedule over them, or, when there is none and
// no room for its heading either, nothing.
std::vector<FirstSheet> arrangements(const FirstSheet& s, bool empty_schedule) {
  const double growth = s.title_mm - TEMPLATE_TITLE_MM;
  std::vector<FirstSheet> out;
  const double general = std::min(CERTIFICATE_MM, s.bottom_mm - s.certificate_mm - CERTIFICATE_GAP_MM);
  if (general >= GENERAL_CERTIFICATE_MIN_MM) {
    FirstSheet c = s;
    c.general_mm = general;
    c.schedule = {schedule_rows(c.schedule_box_mm()), 2, ScheduleRoom{}.width_mm, growth};
    out.push_back(c);
  }
  if (s.bottom_mm >= s.certificate_mm + CERTIFICATE_GAP_MM + SCHEDULE_HEADING_MM ||
      (empty_schedule && s.bottom_mm >= s.certificate_mm)) {
    FirstSheet c = s;
    c.certificates_side_by_side = true;
    c.general_mm = c.certificate_mm;
    c.schedule = {schedule_rows(c.schedule_box_mm()), 4, WHOLE_WIDTH_MM, growth};
    c.schedule_hidden = c.schedule_box_mm() < SCHEDULE_HEADING_MM;
    out.push_back(c);
  }
  return out;
}

// The texts of a spread sheet, by block: the title, the references, the particulars and the
// surveyor, each text with its row and whether it takes more than one line at its box's size.
struct SpreadTexts {
  const BoxGroup* groups[4];
  std::vector<Fitted> f[4];
  std::vector<std::size_t> row_of[4];
  std::vector<bool> long_text[4];

  SpreadTexts(const Page& page, const std::vector<std::pair<std::string, std::string>>& texts)
      : groups{&page.title, &page.refs, &page.spread_particulars, &page.surveyor} {
    for (int g = 0; g < 4; ++g) {
      f[g] = texts_of(*groups[g], texts, &row_of[g]);
      for (const Fitted& t : f[g]) long_text[g].push_back(line_count(t.text, t.width_mm, t.pt) > 1);
    }
  }
  // Texts of more than one line at `p` (or their own size, when smaller), the rest at their own.
  void set_sizes(double p) {
    for (int g = 0; g < 4; ++g)
      for (std::size_t i = 0; i < f[g].size(); ++i)
        f[g][i].pt = long_text[g][i] ? std::min(f[g][i].base_pt, p) : f[g][i].base_pt;
  }
  double height(int g) const { return group_height(*groups[g], f[g], row_of[g]); }
  double over(int g) const { return std::max(0.0, height(g) - groups[g]->height_mm); }
  // The blocks' heights with the texts as set.
  FirstSheet sheet() const {
    FirstSheet s;
    s.spread = true;
    s.title_mm = TEMPLATE_TITLE_MM + std::max(over(0), over(1));
    s.particulars_mm = std::max(TEMPLATE_PARTICULARS_MM, height(2) + FIGURE_GAP_MM);
    s.certificate_mm = CERTIFICATE_MM + over(3);
    s.bottom_mm = SPREAD_BOTTOM_MM - (s.title_mm - TEMPLATE_TITLE_MM) - (s.particulars_mm - TEMPLATE_PARTICULARS_MM);
    return s;
  }
  // Moves the tallest long text still on the sheet, a database's before the caller's (whose limits
  // keep them on the sheet); false when there is none.
  bool move_tallest() {
    int best_g = -1;
    std::size_t best_i = 0;
    const auto before = [&](const Fitted& a, const Fitted& b) {
      return a.callers != b.callers ? !a.callers : text_height(a) > text_height(b);
    };
    for (int g = 0; g < 4; ++g)
      for (std::size_t i = 0; i < f[g].size(); ++i)
        if (!f[g][i].moved && long_text[g][i] && (best_g < 0 || before(f[g][i], f[best_g][best_i]))) {
          best_g = g;
          best_i = i;
        }
    if (best_g < 0) return false;
    f[best_g][best_i].moved = true;
    return true;
  }
  std::vector<Fitted> all() const {
    std::vector<Fitted> out;
    for (const auto& group : f) out.insert(out.end(), group.begin(), group.end());
    return out;
  }
};

// The first sheet spread to hold the page's texts. Texts of more than one line are set smaller,
// all together; of the sizes and arrangements of the block under the figure that fit, the one
// that keeps the most schedule rows on the sheet wins, then the one with the larger texts. When
// none fits even at MIN_TEXT_PT, the tallest text is moved and the sizes tried again.
std::pair<FirstSheet, std::vector<Fitted>> spread(const Page& page,
                                                 const std::vector<std::pair<std::string, std::string>>& texts,
                                                 const std::vector<plots::ScheduleItem>& schedule) {
  SpreadTexts t(page, texts);
  for (;;) {
    std::optional<FirstSheet> best;
    double best_p = 0;
    std::size_t best_rows = 0;
    for (double p = 9; p >= MIN_TEXT_PT; p -= 0.5) {
      t.set_sizes(p);
      for (const FirstSheet& c : arrangements(t.sheet(), schedule.empty())) {
        const std::size_t rows = lay_out_schedule(schedule, c.schedule).on_first_sheet;
        if (!best || rows > best_rows) {
          best = c;
          best_p = p;
          best_rows = rows;
        }
      }
    }
    if (best) {
      t.set_sizes(best_p);
      return {*best, t.all()};
    }
    // Even at the smallest size the blocks do not fit: the tallest text goes to a continuation
    // sheet; with nothing left to move, the first sheet unspread, as full as it is.
    if (!t.move_tallest()) return {FirstSheet{}, t.all()};
  }
}

}  // namespace

Layout lay_out(const Page& page, const std::vector<std::pair<std::string, std::string>>& texts,
               const std::vector<plots::ScheduleItem>& schedule) {
  Layout l;
  // The first sheet as it is while its boxes hold every text, else the spread one.
  for (const BoxGroup* g : {&page.title, &page.refs, &page.particulars, &page.surveyor}) {
    std::vector<Fitted> f = fit_group(*g, texts);
    l.texts.insert(l.texts.end(), std::make_move_iterator(f.begin()), std::make_move_iterator(f.end()));
  }
  if (std::any_of(l.texts.begin(), l.texts.end(), [](const Fitted& f) { return f.moved; }))
    std::tie(l.first, l.texts) = spread(page, texts, schedule);
  l.schedule = lay_out_schedule(schedule, l.first.schedule);

  // The moved texts, one after another, cut at line ends where a sheet is full.
  double left = 0;
  for (std::size_t i = 0; i < l.texts.size(); ++i) {
    if (!l.texts[i].moved) continue;
    const std::string& text = l.texts[i].text;
    const SetText set = set_value(text, MOVED_TEXT_WIDTH_MM, MOVED_TEXT_PT);
    const auto& lines = set.lines;
    const double lh = set.tallest_line_mm;
    std::size_t line = 0;
    bool first = true;
    while (line < lines.size()) {
      if (l.moved_sheets.empty() || left < MOVED_ROW_PAD_MM + 3 * lh) {
        l.moved_sheets.emplace_back();
        left = MOVED_AREA_MM - l.first.schedule.title_growth_mm;
      }
      const auto fit = static_cast<std::size_t>(std::floor((left - MOVED_ROW_PAD_MM) / lh));
      const std::size_t end = std::min(lines.size(), line + std::max<std::size_t>(fit, 1));
      const std::size_t from = lines[line].first, to = end < lines.size() ? lines[end].first : text.size();
      l.moved_sheets.back().push_back({i, text.substr(from, to - from), !first});
      left -= MOVED_ROW_PAD_MM + static_cast<double>(end - line) * lh;
      line = end;
      first = false;
    }
  }
  return l;
}

}  // namespace vekt::brellow::sheets
