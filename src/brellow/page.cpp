#include "brellow/page.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "base/unique_fd.hpp"
#include "base/utf8.hpp"
#include "base/with_timeout.hpp"
#include "brellow/errors.hpp"
#include "brellow/sheet_geometry.hpp"
#include "host/utils.hpp"

namespace vekt::brellow {
namespace asio = boost::asio;

namespace {

std::string read_file(const std::filesystem::path& path) {
  // Closed on every way out.
  const base::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) throw TemplateError(path, std::string("cannot be opened: ") + std::strerror(errno));
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t got = ::read(file.get(), buf, sizeof buf);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw TemplateError(path, std::string("cannot be read: ") + std::strerror(errno));
    }
    text.append(buf, static_cast<std::size_t>(got));
  }
  return text;
}

// CRLF and lone CR become LF, as a text-mode read gives them.
std::string unify_line_ends(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      out += text[i];
      continue;
    }
    out += '\n';
    if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
  }
  return out;
}

std::string read_template_file(const std::filesystem::path& path) {
  std::string raw = read_file(path);
  if (auto bad = base::first_invalid_utf8(raw))
    throw TemplateError(path, fmt::format("is not valid UTF-8 (byte {})", *bad));
  return unify_line_ends(raw);
}

// The fixed pieces of the schedule table, in the size and padding the layout plans its rows with.
namespace g = sheets::geometry;
const std::string CELL_STYLE =
    fmt::format("padding: {}px {}px; white-space: nowrap;", g::SCHEDULE_PAD_V_PX, g::SCHEDULE_PAD_H_PX);
const std::string TABLE_OPEN = fmt::format(
    "<table style=\"width: auto; font-size: {}pt; border-collapse: collapse; margin-top: 2px; margin-left: 0;\">",
    g::SCHEDULE_PT);
const std::string TABLE_HEAD = fmt::format(
    "<thead><tr><th style=\"{0}\">From</th><th style=\"{0}\">To</th><th style=\"{0}\">Bearing</th>"
    "<th style=\"{0}\">Dist(m)</th></tr></thead>",
    CELL_STYLE);
constexpr std::string_view BODY_OPEN = "<tbody>";
const std::string ROW_OPEN = fmt::format("<tr><td style=\"{}\">", CELL_STYLE);
const std::string CELL_SEPARATOR = fmt::format("</td><td style=\"{}\">", CELL_STYLE);
constexpr std::string_view ROW_CLOSE = "</td></tr>";
constexpr std::string_view TABLE_CLOSE = "</tbody></table>";

// A placeholder may stand in element content or inside a quoted attribute, so filled values
// escape all five characters that can change markup there. A schedule cell is element content of
// our own table, where only & < > can: its quotes stay as written (the bearing 05° 07' keeps its
// minute sign in the table text).
void append_escaped(std::string& out, std::string_view text, bool quotes = true) {
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += quotes ? "&quot;" : "\""; break;
      case '\'': out += quotes ? "&#x27;" : "'"; break;
      default: out += c;
    }
  }
}

void append_cell(std::string& out, std::string_view text) { append_escaped(out, text, false); }

}  // namespace

asio::awaitable<std::string> read_template(base::BlockingPool& files, std::filesystem::path project_root,
                                           std::string relative_path, std::chrono::milliseconds limit) {
  std::filesystem::path path = project_root / relative_path;
  // The read owns its path: after a time-out it runs on to its end while this request has gone.
  auto read = [path] { return read_template_file(path); };
  try {
    co_return co_await files.run(std::move(read), limit);
  } catch (const base::TimeoutError&) {
    throw TemplateError(path, fmt::format("was not read within its time limit of {} ms", limit.count()));
  }
}

asio::awaitable<std::string> read_template(std::filesystem::path project_root, std::string relative_path) {
  return read_template(base::shared_blocking_pool(), std::move(project_root), std::move(relative_path));
}

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

bool is_base64_text(std::string_view text) {
  std::size_t end = text.size();
  for (int pad = 0; pad < 2 && end > 0 && text[end - 1] == '='; ++pad) --end;
  for (std::size_t i = 0; i < end; ++i) {
    const char c = text[i];
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!ok) return false;
  }
  return true;
}

std::string schedule_table_html(const std::vector<plots::ScheduleItem>& schedule) {
  if (schedule.empty()) return "";
  std::string html;
  html.reserve(TABLE_OPEN.size() + TABLE_HEAD.size() + BODY_OPEN.size() + TABLE_CLOSE.size() + schedule.size() * 280);
  html += TABLE_OPEN;
  html += TABLE_HEAD;
  html += BODY_OPEN;
  for (const auto& item : schedule) {
    html += ROW_OPEN;
    append_cell(html, item.from);
    html += CELL_SEPARATOR;
    append_cell(html, item.to);
    html += CELL_SEPARATOR;
    append_cell(html, item.bearing);
    html += CELL_SEPARATOR;
    append_cell(html, item.distance);
    html += ROW_CLOSE;
  }
  html += TABLE_CLOSE;
  return html;
}

// Appended piece by piece: GCC 12 misreads "(" + text + ")" as an overlapping copy (-Wrestrict).
std::string date_text() {
  std::string text = "(";
  text += host::format_date_html(host::now());
  text += ')';
  return text;
}

std::string fill_placeholders(std::string_view page, const std::vector<Placeholder>& data) {
  std::string out;
  std::size_t extra = 0;
  for (const auto& p : data) extra += p.value.size();
  out.reserve(page.size() + extra + extra / 8);
  std::size_t i = 0;
  while (i < page.size()) {
    const Placeholder* hit = nullptr;
    for (const auto& p : data) {
      if (!p.key.empty() && page.compare(i, p.key.size(), p.key) == 0) {
        hit = &p;
        break;
      }
    }
    if (hit == nullptr) {
      out += page[i++];
      continue;
    }
    if (hit->raw)
      out += hit->value;
    else
      append_escaped(out, hit->value);
    i += hit->key.size();
  }
  return out;
}

}  // namespace vekt::brellow
