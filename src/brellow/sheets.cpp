#include "brellow/sheets.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <tuple>

namespace vekt::brellow::sheets {

namespace {

constexpr double MM_PER_PT = 25.4 / 72;

// One code point of UTF-8 text at `i`, advancing `i`; U+FFFD for a broken sequence.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto b = static_cast<unsigned char>(s[i++]);
  int more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
  char32_t c = more == 3 ? b & 0x07 : more == 2 ? b & 0x0F : more == 1 ? b & 0x1F : b;
  for (; more > 0; --more) {
    if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 0xFFFD;
    c = (c << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
  }
  return c;
}

bool is_wide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || c >= 0x20000;
}

bool is_combining(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x0610 && c <= 0x061A) || (c >= 0x064B && c <= 0x065F) ||
         (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x20D0 && c <= 0x20FF) ||
         c == 0x200B || c == 0x200C || c == 0x200D;
}

// Advance widths, in em, of the printable ASCII characters (from the blank to the tilde) in the
// bold face the plans print values in, rounded up.
constexpr double ASCII_EM[95] = {
    0.35, 0.46, 0.53, 0.84, 0.70, 1.01, 0.88, 0.31, 0.46, 0.46, 0.53, 0.84,
    0.38, 0.42, 0.38, 0.37, 0.70, 0.70, 0.70, 0.70, 0.70, 0.70, 0.70, 0.70,
    0.70, 0.70, 0.40, 0.40, 0.84, 0.84, 0.84, 0.59, 1.00, 0.78, 0.77, 0.74,
    0.84, 0.69, 0.69, 0.83, 0.84, 0.38, 0.38, 0.78, 0.64, 1.00, 0.84, 0.86,
    0.74, 0.86, 0.78, 0.73, 0.69, 0.82, 0.78, 1.11, 0.78, 0.73, 0.73, 0.46,
    0.37, 0.46, 0.84, 0.50, 0.50, 0.68, 0.72, 0.60, 0.72, 0.68, 0.44, 0.72,
    0.72, 0.35, 0.35, 0.67, 0.35, 1.05, 0.72, 0.69, 0.72, 0.72, 0.50, 0.60,
    0.48, 0.72, 0.66, 0.93, 0.65, 0.66, 0.59, 0.72, 0.37, 0.72, 0.84,
};

// Width of one character in em, on the wide side: ASCII as the bold face sets it, other Latin,
// Greek and Cyrillic letters as its wider capitals, every other script at its widest.
double em_of(char32_t c) {
  if (is_combining(c)) return 0;
  if (is_wide(c)) return 1.0;
  if (c >= 0x20 && c < 0x7F) return ASCII_EM[c - 0x20];
  return 0.9;
}

double width_mm(std::string_view s, double pt) {
  double em = 0;
  for (std::size_t i = 0; i < s.size();) em += em_of(next_code_point(s, i));
  return em * pt * MM_PER_PT;
}

// The schedule's cells are set in the regular weight, mostly digits: narrower than the capitals.
double schedule_width_mm(std::string_view s, double pt) {
  double em = 0;
  for (std::size_t i = 0; i < s.size();) {
    const char32_t c = next_code_point(s, i);
    em += c == ' ' ? 0.35 : is_combining(c) ? 0 : 0.8;
  }
  return em * 0.8 * pt * MM_PER_PT;
}

// The lines of `text` wrapped in `width_mm` at `pt`, as [begin, end) byte ranges: at blanks, after
// a hyphen or a slash (where the page breaks a long word first), and within a piece longer than
// the line, anywhere.
std::vector<std::pair<std::size_t, std::size_t>> wrap(std::string_view text, double width, double pt) {
  std::vector<std::pair<std::size_t, std::size_t>> lines;
  const double space = width_mm(" ", pt);
  std::size_t line_begin = 0, line_end = 0;
  double used = 0;
  bool empty_line = true;
  bool after_blank = false;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      after_blank = true;
      continue;
    }
    const std::size_t piece_begin = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '-' && text[i] != '/') ++i;
    if (i < text.size() && text[i] != ' ') ++i;  // the hyphen or slash stays with its piece
    std::string_view piece = text.substr(piece_begin, i - piece_begin);
    const double w = width_mm(piece, pt);
    const double gap = after_blank ? space : 0;
    after_blank = false;
    if (!empty_line && used + gap + w <= width) {
      used += gap + w;
      line_end = i;
      continue;
    }
    if (!empty_line) lines.emplace_back(line_begin, line_end);
    line_begin = piece_begin;
    empty_line = false;
    if (w <= width) {
      used = w;
      line_end = i;
      continue;
    }
    // A piece longer than the line breaks anywhere.
    used = 0;
    for (std::size_t j = piece_begin; j < i;) {
      const std::size_t at = j;
      const char32_t c = next_code_point(text, j);
      const double cw = em_of(c) * pt * MM_PER_PT;
      if (used > 0 && used + cw > width) {
        lines.emplace_back(line_begin, at);
        line_begin = at;
        used = 0;
      }
      used += cw;
    }
    line_end = i;
  }
  if (empty_line) lines.emplace_back(0, 0);
  else lines.emplace_back(line_begin, line_end);
  return lines;
}

// A text set smaller than its box's size is set with lines closer together (RESIZED_LINE_HEIGHT).
double cell_height(std::string_view text, const Cell& cell, double pt, double base_pt) {
  const double lines = static_cast<double>(line_count(text, cell.width_mm, pt));
  return std::max(lines * line_height_mm(text, pt, pt != base_pt), line_height_mm(text, base_pt));
}

// Lines of the moved texts' sheets: from below the heading to above the frame.
constexpr double MOVED_AREA_MM = 238;
constexpr double MOVED_ROW_PAD_MM = 1.8;

// The schedule's rows: their pitch at 6 pt, and what each box holds.
constexpr double ROW_MM = 2.96;
constexpr double HEAD_MM = 6.5;  // heading row and the table's margin
constexpr double CONTINUATION_HEIGHT_MM = 236;
constexpr double CONTINUATION_WIDTH_MM = 190;
constexpr double COLUMN_GAP_MM = 3;
constexpr double SCHEDULE_PT = 6;
constexpr double CELL_PAD_MM = 2.4;  // 4px either side and the rule

double table_width_mm(const std::vector<plots::ScheduleItem>& schedule) {
  const auto width = [](std::string_view s) { return schedule_width_mm(s, SCHEDULE_PT); };
  double w[4] = {width("From"), width("To"), width("Bearing"), width("Dist(m)")};
  for (const auto& item : schedule) {
    w[0] = std::max(w[0], width(item.from));
    w[1] = std::max(w[1], width(item.to));
    w[2] = std::max(w[2], width(item.bearing));
    w[3] = std::max(w[3], width(item.distance));
  }
  return w[0] + w[1] + w[2] + w[3] + 4 * CELL_PAD_MM;
}

}  // namespace

std::size_t line_count(std::string_view text, double width, double pt) { return wrap(text, width, pt).size(); }

bool has_tall_script(std::string_view text) {
  bool tall = false;
  for (std::size_t i = 0; i < text.size() && !tall;) tall = next_code_point(text, i) >= 0x0590;
  return tall;
}

double line_height_mm(std::string_view text, double pt, bool resized) {
  // The fallback fonts of Arabic and of Chinese, Japanese and Korean set taller lines, and keep
  // their own line height when set smaller.
  if (has_tall_script(text)) return pt * 1.45 * MM_PER_PT;
  return pt * (resized ? RESIZED_LINE_HEIGHT + 0.02 : 1.17) * MM_PER_PT;
}

namespace {

// The texts of a group's cells, in cell order, each at the group's own size, with the row it is in.
std::vector<Fitted> texts_of(const BoxGroup& group, const std::vector<std::pair<std::string, std::string>>& texts,
                             std::vector<std::size_t>* rows = nullptr) {
  std::vector<Fitted> out;
  for (std::size_t r = 0; r < group.rows.size(); ++r)
    for (const Cell& c : group.rows[r]) {
      std::string text;
      for (const auto& [k, v] : texts)
        if (k == c.key) text = v;
      out.push_back({c.key, c.label, std::move(text), group.base_pt, false, c.width_mm, group.base_pt});
      if (rows) rows->push_back(r);
    }
  return out;
}

// The height a text of a group takes; a moved text leaves one line, which points to its sheet.
double text_height(const Fitted& f) {
  if (f.moved) return line_height_mm("", f.base_pt);
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

// The template's first sheet: the blocks' heights, the certificates and the gap between them.
constexpr double TEMPLATE_TITLE_MM = 27;
constexpr double TEMPLATE_PARTICULARS_MM = 22;
constexpr double TEMPLATE_BOTTOM_MM = 63;
constexpr double SPREAD_BOTTOM_MM = 65;  // a spread sheet's block under the figure reaches 2 mm nearer the frame
constexpr double CERTIFICATE_MM = 28.5;
constexpr double CERTIFICATE_GAP_MM = 2;
// The surveyor-general's certificate, whose name is one fixed line, can give up its room for more.
constexpr double GENERAL_CERTIFICATE_MIN_MM = 21.5;
constexpr double FIGURE_GAP_MM = 2.5;   // from the particulars' last row to the figure
constexpr double SCHEDULE_HEAD_MM = 12.5;  // the schedule box's heading, column heads and margins
constexpr double WHOLE_WIDTH_MM = 190;
constexpr double SCHEDULE_HEADING_MM = 8;  // the schedule's heading and its note, without rows

// Rows a column of the first sheet's schedule box `height_mm` tall holds.
std::size_t schedule_rows(double height_mm) {
  return height_mm < SCHEDULE_HEAD_MM ? 0 : static_cast<std::size_t>(std::floor((height_mm - SCHEDULE_HEAD_MM) / ROW_MM + 1e-9));
}

// The first sheet spread to hold the page's texts. Texts of more than one line are set smaller,
// all together; of the sizes and arrangements of the block under the figure that fit, the one
// that keeps the most schedule rows on the sheet wins, then the one with the larger texts. When
// none fits even at MIN_TEXT_PT, the tallest text is moved and the sizes tried again.
std::pair<FirstSheet, std::vector<Fitted>> spread(const Page& page,
                                                 const std::vector<std::pair<std::string, std::string>>& texts,
                                                 const std::vector<plots::ScheduleItem>& schedule) {
  const BoxGroup* groups[] = {&page.title, &page.refs, &page.spread_particulars, &page.surveyor};
  std::vector<Fitted> f[4];
  std::vector<std::size_t> row_of[4];
  std::vector<bool> long_text[4];
  for (int g = 0; g < 4; ++g) {
    f[g] = texts_of(*groups[g], texts, &row_of[g]);
    for (const Fitted& t : f[g]) long_text[g].push_back(line_count(t.text, t.width_mm, t.pt) > 1);
  }
  const auto set_sizes = [&](double p) {
    for (int g = 0; g < 4; ++g)
      for (std::size_t i = 0; i < f[g].size(); ++i)
        f[g][i].pt = long_text[g][i] ? std::min(f[g][i].base_pt, p) : f[g][i].base_pt;
  };
  for (;;) {
    std::optional<FirstSheet> best;
    double best_p = 0;
    std::size_t best_rows = 0;
    for (double p = 9; p >= MIN_TEXT_PT; p -= 0.5) {
      set_sizes(p);
      const auto over = [&](int g) { return std::max(0.0, group_height(*groups[g], f[g], row_of[g]) - groups[g]->height_mm); };
      FirstSheet s;
      s.spread = true;
      s.title_mm = TEMPLATE_TITLE_MM + std::max(over(0), over(1));
      s.particulars_mm =
          std::max(TEMPLATE_PARTICULARS_MM, group_height(*groups[2], f[2], row_of[2]) + FIGURE_GAP_MM);
      s.certificate_mm = CERTIFICATE_MM + over(3);
      s.bottom_mm = SPREAD_BOTTOM_MM - (s.title_mm - TEMPLATE_TITLE_MM) - (s.particulars_mm - TEMPLATE_PARTICULARS_MM);
      const double growth = s.title_mm - TEMPLATE_TITLE_MM;
      std::vector<FirstSheet> candidates;
      // The certificates one over the other beside the schedule, the second as short as it may be.
      const double general = std::min(CERTIFICATE_MM, s.bottom_mm - s.certificate_mm - CERTIFICATE_GAP_MM);
      if (general >= GENERAL_CERTIFICATE_MIN_MM) {
        FirstSheet c = s;
        c.general_mm = general;
        c.schedule = {schedule_rows(c.schedule_box_mm()), 2, ScheduleRoom{}.width_mm, growth};
        candidates.push_back(c);
      }
      // The certificates side by side across the sheet; the schedule over them, or, when there
      // is none and no room for its heading either, nothing.
      if (s.bottom_mm >= s.certificate_mm + CERTIFICATE_GAP_MM + SCHEDULE_HEADING_MM ||
          (schedule.empty() && s.bottom_mm >= s.certificate_mm)) {
        FirstSheet c = s;
        c.certificates_side_by_side = true;
        c.general_mm = c.certificate_mm;
        c.schedule = {schedule_rows(c.schedule_box_mm()), 4, WHOLE_WIDTH_MM, growth};
        c.schedule_hidden = c.schedule_box_mm() < SCHEDULE_HEADING_MM;
        candidates.push_back(c);
      }
      for (const FirstSheet& c : candidates) {
        const std::size_t rows = lay_out_schedule(schedule, c.schedule).on_first_sheet;
        if (!best || rows > best_rows) {
          best = c;
          best_p = p;
          best_rows = rows;
        }
      }
    }
    if (best) {
      set_sizes(best_p);
      std::vector<Fitted> all;
      for (auto& group : f) all.insert(all.end(), group.begin(), group.end());
      return {*best, all};
    }
    // Even at the smallest size the blocks do not fit: the tallest text goes to a continuation sheet.
    int best_g = -1;
    std::size_t best_i = 0;
    for (int g = 0; g < 4; ++g)
      for (std::size_t i = 0; i < f[g].size(); ++i)
        if (!f[g][i].moved && long_text[g][i] &&
            (best_g < 0 || text_height(f[g][i]) > text_height(f[best_g][best_i]))) {
          best_g = g;
          best_i = i;
        }
    if (best_g < 0) {
      // Nothing left to move: the template's page, as full as it is.
      std::vector<Fitted> all;
      for (auto& group : f) all.insert(all.end(), group.begin(), group.end());
      return {FirstSheet{}, all};
    }
    f[best_g][best_i].moved = true;
  }
}

}  // namespace

Layout lay_out(const Page& page, const std::vector<std::pair<std::string, std::string>>& texts,
               const std::vector<plots::ScheduleItem>& schedule) {
  Layout l;
  // The template's page while its boxes hold every text, else the spread one.
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
    const double lh = line_height_mm(text, MOVED_TEXT_PT);
    const auto lines = wrap(text, MOVED_TEXT_WIDTH_MM, MOVED_TEXT_PT);
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
