#pragma once
// The page steps both plan documents share: reading a template, the beacon schedule table, the
// date text, filling the placeholders, and the page rule each document hands the renderer.
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "base/blocking_pool.hpp"
#include "plots/records.hpp"

namespace vekt::brellow {

// One placeholder of a page ("{{scale}}") and what takes its place. Values are HTML-escaped on
// the way in, so a parcel number or an address can never add markup or fetch a file; `raw` is
// only for markup of our own making (the schedule table, the date text, checked base64 image data).
struct Placeholder {
  std::string key;
  std::string value;
  bool raw = false;
};

// How long reading a template may take: the files are a few kilobytes, but a disk can stall.
inline constexpr std::chrono::seconds TEMPLATE_READ_TIMEOUT{5};

// The template `relative_path` ("templates/deedplan.html") under `project_root`, read anew on each
// call on a thread of `files` (never on the event loop), checked to be strict UTF-8, with CRLF and
// CR line ends turned into LF. A missing, unreadable or undecodable file, or one not read within
// `limit`, throws TemplateError naming it.
boost::asio::awaitable<std::string> read_template(base::BlockingPool& files, std::filesystem::path project_root,
                                                  std::string relative_path,
                                                  std::chrono::milliseconds limit = TEMPLATE_READ_TIMEOUT);
// The same on base::shared_blocking_pool(), for programs and tests without threads of their own.
boost::asio::awaitable<std::string> read_template(std::filesystem::path project_root,
                                                  std::string relative_path);

// The beacon schedule as one line of HTML (a table with the heading row From, To, Bearing,
// Dist(m) and one row per item, & < > of every cell escaped); "" for an empty schedule.
std::string schedule_table_html(const std::vector<plots::ScheduleItem>& schedule);

// "(" + format_date_html(the current time of the host clock, in the configured time zone) + ")".
std::string date_text();

// The page with every placeholder replaced by its value, in one pass from left to right: text
// that a value brings in is never searched again, so a parcel number that reads "{{scale}}" stays
// as written. Braces that no key names are left alone. When two keys match at the same place the
// earlier entry wins.
std::string fill_placeholders(std::string_view page, const std::vector<Placeholder>& data);

// `text` with & < > " ' written as character references.
std::string html_escape(std::string_view text);

// True when `text` is base64 of the standard alphabet ([A-Za-z0-9+/]* with up to two '=' at the
// end), i.e. it can stand inside a data: URL attribute without changing the markup.
bool is_base64_text(std::string_view text);

// The page rule each document passes to the renderer: A4 with no margin.
inline constexpr std::string_view DEEDPLAN_CSS =
    "\n        @page {\n            size: A4;\n            margin: 0;\n        }\n        ";
inline constexpr std::string_view SITEPLAN_CSS = "@page { size: A4; margin: 0; }";

}  // namespace vekt::brellow
