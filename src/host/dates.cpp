#include "host/dates.hpp"

#include <cstdlib>
#include <ctime>
#include <mutex>

namespace vekt::host {
namespace {

std::mutex clock_mu;
Clock clock_fn;

}  // namespace

void set_clock(Clock clock) {
  std::lock_guard lk(clock_mu);
  clock_fn = std::move(clock);
}

std::chrono::system_clock::time_point now() {
  std::lock_guard lk(clock_mu);
  return clock_fn ? clock_fn() : std::chrono::system_clock::now();
}

void set_time_zone(const std::string& zone) {
  ::setenv("TZ", zone.c_str(), 1);
  ::tzset();
}

std::string format_date_html(const std::tm& local) {
  static const char* months[] = {"January", "February", "March",     "April",   "May",      "June",
                                 "July",    "August",   "September", "October", "November", "December"};
  int m = local.tm_mon;
  if (m < 0 || m > 11) m = 0;
  return std::to_string(local.tm_mday) + " " + months[m] + " " + std::to_string(local.tm_year + 1900);
}

std::string format_date_html(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  return format_date_html(local);
}

}  // namespace vekt::host
