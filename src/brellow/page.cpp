#include "brellow/page.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "base/utf8.hpp"
#include "brellow/errors.hpp"
#include "host/utils.hpp"

namespace vekt::brellow {
namespace asio = boost::asio;

namespace {

// Template files are a few kilobytes, but a disk can stall: the reads run here, never on a loop.
asio::thread_pool& file_threads() {
  static asio::thread_pool pool(2);
  return pool;
}

std::string read_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw TemplateError(path, std::string("cannot be opened: ") + std::strerror(errno));
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      ::close(fd);
      throw TemplateError(path, std::string("cannot be read: ") + std::strerror(e));
    }
    text.append(buf, static_cast<std::size_t>(got));
  }
  ::close(fd);
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

asio::awaitable<std::string> read_template_here(std::filesystem::path path) {
  std::string raw = read_file(path);
  if (auto bad = base::first_invalid_utf8(raw))
    throw TemplateError(path, fmt::format("is not valid UTF-8 (byte {})", *bad));
  co_return unify_line_ends(raw);
}

// The fixed pieces of the schedule table.
constexpr std::string_view TABLE_OPEN =
    "<table style=\"width: auto; font-size: 6pt; border-collapse: collapse; margin-top: 2px; margin-left: 0;\">";
constexpr std::string_view TABLE_HEAD =
    "<thead><tr><th style=\"padding: 1px 4px; white-space: nowrap;\">From</th>"
    "<th style=\"padding: 1px 4px; white-space: nowrap;\">To</th>"
    "<th style=\"padding: 1px 4px; white-space: nowrap;\">Bearing</th>"
    "<th style=\"padding: 1px 4px; white-space: nowrap;\">Dist(m)</th></tr></thead>";
constexpr std::string_view BODY_OPEN = "<tbody>";
constexpr std::string_view ROW_OPEN = "<tr><td style=\"padding: 1px 4px; white-space: nowrap;\">";
constexpr std::string_view CELL_SEPARATOR = "</td><td style=\"padding: 1px 4px; white-space: nowrap;\">";
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

asio::awaitable<std::string> read_template(std::filesystem::path project_root, std::string relative_path) {
  co_return co_await asio::co_spawn(file_threads(), read_template_here(project_root / relative_path),
                                    asio::use_awaitable);
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

std::string date_text() { return "(" + host::format_date_html(host::now()) + ")"; }

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
