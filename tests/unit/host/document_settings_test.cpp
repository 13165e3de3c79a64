// The settings of the plan documents: the PDF renderer pool and the time zone of printed dates.
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/settings.hpp"
#include "host/utils.hpp"

namespace {

using namespace vekt;

// Clears the variables for one test and puts the old values back afterwards.
class EnvVars {
 public:
  explicit EnvVars(std::vector<std::string> names) : names_(std::move(names)) {
    for (const auto& n : names_) {
      const char* v = std::getenv(n.c_str());
      saved_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
      ::unsetenv(n.c_str());
    }
  }
  ~EnvVars() {
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (saved_[i])
        ::setenv(names_[i].c_str(), saved_[i]->c_str(), 1);
      else
        ::unsetenv(names_[i].c_str());
    }
    ::tzset();
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::optional<std::string>> saved_;
};

const std::vector<std::string> VARS{"VEKT_PDF_WORKERS", "VEKT_PDF_TIMEOUT", "TZ"};

TEST(DocumentSettings, Defaults) {
  EnvVars g(VARS);
  auto s = host::load_settings();
  EXPECT_EQ(s.pdf_workers, 0u);
  EXPECT_EQ(s.pdf_timeout, 30.0);
  EXPECT_EQ(s.time_zone, "Africa/Lagos");
}

TEST(DocumentSettings, ValuesAndErrorsNameTheVariable) {
  struct Case {
    const char* name;
    const char* value;
    bool ok;
  };
  const Case cases[] = {
      {"VEKT_PDF_WORKERS", "4", true},     {"VEKT_PDF_WORKERS", "0", false},  {"VEKT_PDF_WORKERS", "x", false},
      {"VEKT_PDF_TIMEOUT", "2.5", true},   {"VEKT_PDF_TIMEOUT", "0", false},  {"VEKT_PDF_TIMEOUT", "-1", false},
      {"VEKT_PDF_TIMEOUT", "nan", false},  {"VEKT_PDF_TIMEOUT", "inf", false}, {"TZ", "UTC", true},
      {"TZ", "Europe/Berlin", true},       {"TZ", ":Africa/Lagos", true},     {"TZ", "Mars/Olympus", false},
      {"TZ", "../../etc/passwd", false},   {"TZ", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    EnvVars g(VARS);
    ::setenv(c.name, c.value, 1);
    if (c.ok) {
      EXPECT_NO_THROW(host::load_settings());
    } else {
      try {
        host::load_settings();
        ADD_FAILURE() << "accepted";
      } catch (const host::SettingsError& e) {
        EXPECT_NE(std::string(e.what()).find(c.name), std::string::npos) << e.what();
      }
    }
  }
  EnvVars g(VARS);
  ::setenv("VEKT_PDF_WORKERS", "3", 1);
  ::setenv("VEKT_PDF_TIMEOUT", "12.5", 1);
  ::setenv("TZ", ":UTC", 1);
  auto s = host::load_settings();
  EXPECT_EQ(s.pdf_workers, 3u);
  EXPECT_EQ(s.pdf_timeout, 12.5);
  EXPECT_EQ(s.time_zone, "UTC");
}

// 23:30 UTC on 9 December is already 10 December in Lagos (UTC+1): the printed date follows the
// configured zone, not the machine's.
TEST(DocumentSettings, DatesFollowTheConfiguredZone) {
  EnvVars g({"TZ"});
  const auto late_evening_utc = std::chrono::system_clock::from_time_t(1796859000);  // 2026-12-09 23:30:00 UTC
  host::set_time_zone("UTC");
  EXPECT_EQ(host::format_date_html(late_evening_utc), "9 December 2026");
  host::set_time_zone("Africa/Lagos");
  EXPECT_EQ(host::format_date_html(late_evening_utc), "10 December 2026");
}

}  // namespace
