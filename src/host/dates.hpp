#pragma once
// The dates on documents: the clock they read (fixed in tests), the process's time zone and the
// date text.
#include <chrono>
#include <ctime>
#include <functional>
#include <string>

namespace vekt::host {

// The clock documents read their date from; tests set a fixed one (nullptr: the system clock).
using Clock = std::function<std::chrono::system_clock::time_point()>;
void set_clock(Clock clock);
std::chrono::system_clock::time_point now();

// Makes `zone` (an IANA name from the settings) the local time zone of this process, for the
// dates on documents. Call once at start-up, before any other thread runs: it sets TZ.
void set_time_zone(const std::string& zone);

// A plain date text in local time: "10 December 2026" (day without leading zero, English month).
std::string format_date_html(std::chrono::system_clock::time_point when);
std::string format_date_html(const std::tm& local);

}  // namespace vekt::host
