#include "host/settings.hpp"

#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "base/dotenv.hpp"
#include "host/utils.hpp"

namespace {

using namespace vekt;

class EnvGuard {
 public:
  explicit EnvGuard(std::vector<std::string> names) : names_(std::move(names)) {
    for (const auto& n : names_) {
      const char* v = std::getenv(n.c_str());
      saved_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
      ::unsetenv(n.c_str());
    }
  }
  ~EnvGuard() {
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (saved_[i]) ::setenv(names_[i].c_str(), saved_[i]->c_str(), 1);
      else ::unsetenv(names_[i].c_str());
    }
    ::tzset();  // TZ may have been among them
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::optional<std::string>> saved_;
};

const std::vector<std::string> VARS{"VEKT_HOST", "VEKT_PORT", "VEKT_THREADS", "FORWARDED_ALLOW_IPS", "CORS_ALLOW_ORIGINS"};

TEST(Settings, Defaults) {
  EnvGuard g(VARS);
  host::Settings s = host::load_settings();
  EXPECT_EQ(s.host, "127.0.0.1");
  EXPECT_EQ(s.port, 8000);
  EXPECT_EQ(s.threads, 0u);
  EXPECT_EQ(s.trusted_proxies, (std::vector<std::string>{"127.0.0.1"}));
  EXPECT_EQ(s.cors_allow_origins, (std::vector<std::string>{"*"}));
}

struct Case {
  const char* name;
  const char* value;
  bool ok;
};

// Each value alone in an environment without `vars`: accepted, or refused with a message that
// names its variable.
void expect_accepted_or_named(const std::vector<std::string>& vars, std::initializer_list<Case> cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    EnvGuard g(vars);
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
}

TEST(Settings, ValuesAndErrorsNameTheVariable) {
  expect_accepted_or_named(VARS, {
      {"VEKT_PORT", "08080", true}, {"VEKT_PORT", " 9000 ", true}, {"VEKT_PORT", "0", true},
      {"VEKT_PORT", "", false},     {"VEKT_PORT", "80x", false},   {"VEKT_PORT", "65536", false},
      {"VEKT_PORT", "-1", false},   {"VEKT_THREADS", "4", true},   {"VEKT_THREADS", "0", false},
      {"VEKT_THREADS", "two", false}, {"VEKT_HOST", "0.0.0.0", true}, {"VEKT_HOST", " ", false},
      {"FORWARDED_ALLOW_IPS", "10.0.0.1, ::1", true}, {"FORWARDED_ALLOW_IPS", "", true},
      {"FORWARDED_ALLOW_IPS", "*", true}, {"FORWARDED_ALLOW_IPS", "10.0.0.1,proxy.local", false},
      {"CORS_ALLOW_ORIGINS", "*", true}, {"CORS_ALLOW_ORIGINS", "", true},
      {"CORS_ALLOW_ORIGINS", "https://maps.example.org, http://localhost:5173", true},
      {"CORS_ALLOW_ORIGINS", "maps.example.org", false}, {"CORS_ALLOW_ORIGINS", "https://a.org/path", false},
  });
  EnvGuard g(VARS);
  ::setenv("VEKT_PORT", "08080", 1);
  ::setenv("FORWARDED_ALLOW_IPS", " 10.0.0.1 ,, ::1 ", 1);
  ::setenv("CORS_ALLOW_ORIGINS", "", 1);
  host::Settings s = host::load_settings();
  EXPECT_EQ(s.port, 8080);
  EXPECT_EQ(s.trusted_proxies, (std::vector<std::string>{"10.0.0.1", "::1"}));
  EXPECT_TRUE(s.cors_allow_origins.empty());
}

TEST(Dotenv, ParserSubset) {
  const char* text =
      "# comment\n"
      "PLAIN=value\n"
      "export EXPORTED = spaced value  \n"
      "INLINE=abc # a comment\n"
      "HASH=abc#not-a-comment\n"
      "SINGLE='lit ${PLAIN} \\n'\n"
      "DOUBLE=\"a\\tb\\n\\\"q\\\" \\\\\"  # after\n"
      "MULTI=\"line1\nline2\"\n"
      "EMPTY=\n"
      "BARE\n"
      "EXPANDED=${PLAIN}-${MISSING:-fallback}-${MISSING}\n"
      "FROM_ENV=${VEKT_TEST_OUTER}\n"
      "  INDENTED=1\n"
      "'QUOTED KEY'=q\n"
      "CR1=one\rCR2=\"two\"\r\n"
      "BROKEN='unterminated\n"
      "AFTER=ok\n"
      "LAST=end";
  static const auto lookup = [](const std::string& name) -> std::optional<std::string> {
    if (name == "VEKT_TEST_OUTER") return std::string("outer");
    if (name == "PLAIN") return std::string("env-wins");
    return std::nullopt;
  };
  auto got = base::parse_dotenv(text, +lookup);
  std::vector<std::pair<std::string, std::string>> want{
      {"PLAIN", "value"},
      {"EXPORTED", "spaced value"},
      {"INLINE", "abc"},
      {"HASH", "abc#not-a-comment"},
      {"SINGLE", "lit ${PLAIN} \\n"},
      {"DOUBLE", "a\tb\n\"q\" \\"},
      {"MULTI", "line1\nline2"},
      {"EMPTY", ""},
      {"EXPANDED", "env-wins-fallback-"},
      {"FROM_ENV", "outer"},
      {"INDENTED", "1"},
      {"QUOTED KEY", "q"},
      {"CR1", "one"},
      {"CR2", "two"},
      {"AFTER", "ok"},
      {"LAST", "end"},
  };
  EXPECT_EQ(got, want);
}

// A byte order mark is no part of the first key; a line the reader cannot take is reported by its
// number and the lines around it still count.
TEST(Dotenv, ByteOrderMarkAndLinesThatCannotBeParsed) {
  struct DotenvCase {
    const char* text;
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<std::size_t> unparsed;
  };
  const DotenvCase cases[] = {
      {"\xEF\xBB\xBFREDIS_DB=3\nREDIS_HOST=h\n", {{"REDIS_DB", "3"}, {"REDIS_HOST", "h"}}, {}},
      {"A=1\nREDIS_PORT=\"57501\nB=2\n", {{"A", "1"}, {"B", "2"}}, {2}},
      {"A=1\nREDIS_PORT='57501\n", {{"A", "1"}}, {2}},
      {"# c\n\nA=\"x\" y\nB=2", {{"B", "2"}}, {3}},
      {"A B\n=nokey\nBARE\nBARE2 # comment\nC=3\r\n'KEY\nD=4", {{"C", "3"}, {"D", "4"}}, {1, 2, 6}},
  };
  for (const DotenvCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::size_t> unparsed;
    EXPECT_EQ(base::parse_dotenv(c.text, nullptr, &unparsed), c.values);
    EXPECT_EQ(unparsed, c.unparsed);
  }
}

// Each such line gives one warning on standard error naming the file and the line.
TEST(Dotenv, EachLineThatCannotBeParsedIsWarnedAbout) {
  namespace fs = std::filesystem;
  const fs::path file = fs::temp_directory_path() / ("vekt-dotenv-warn-" + std::to_string(::getpid()) + ".env");
  std::ofstream(file) << "\xEF\xBB\xBFVEKT_TEST_A=1\nVEKT_TEST_B=\"2\nVEKT_TEST_C=3\n";
  EnvGuard g({"VEKT_TEST_A", "VEKT_TEST_B", "VEKT_TEST_C"});
  ::testing::internal::CaptureStderr();
  base::load_dotenv(file);
  const std::string err = ::testing::internal::GetCapturedStderr();
  fs::remove(file);
  EXPECT_EQ(err, "WARNING: " + file.string() + ":2: could not parse this line; it is ignored\n");
  EXPECT_STREQ(std::getenv("VEKT_TEST_A"), "1");
  EXPECT_EQ(std::getenv("VEKT_TEST_B"), nullptr);
  EXPECT_STREQ(std::getenv("VEKT_TEST_C"), "3");
}

TEST(Dotenv, NearestFileFillsOnlyWhatTheEnvironmentLacks) {
  namespace fs = std::filesystem;
  fs::path root = fs::temp_directory_path() / ("vekt-dotenv-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "a" / "b");
  {
    std::ofstream(root / ".env") << "VEKT_TEST_A=from-root\n";
    // A key given twice in the file takes its last value.
    std::ofstream(root / "a" / ".env") << "VEKT_TEST_A=first\nVEKT_TEST_B=from-a\nVEKT_TEST_A=from-a\n";
  }
  EXPECT_EQ(base::find_dotenv(root / "a" / "b"), root / "a" / ".env");
  EXPECT_EQ(base::find_dotenv(root), root / ".env");

  EnvGuard g({"VEKT_TEST_A", "VEKT_TEST_B"});
  ::setenv("VEKT_TEST_B", "from-env", 1);
  auto old = fs::current_path();
  fs::current_path(root / "a" / "b");
  auto used = base::load_dotenv();
  fs::current_path(old);
  EXPECT_EQ(used, root / "a" / ".env");
  EXPECT_STREQ(std::getenv("VEKT_TEST_A"), "from-a");
  EXPECT_STREQ(std::getenv("VEKT_TEST_B"), "from-env");
  fs::remove_all(root);
}

const std::vector<std::string> DOCUMENT_VARS{"VEKT_PDF_WORKERS", "VEKT_PDF_TIMEOUT", "TZ", "VEKT_PDF_WORKER_DOCUMENTS",
                                             "VEKT_PDF_WORKER_MEMORY_MB", "VEKT_PLAN_TOKEN"};

TEST(DocumentSettings, Defaults) {
  EnvGuard g(DOCUMENT_VARS);
  auto s = host::load_settings();
  EXPECT_EQ(s.pdf_workers, 0u);
  EXPECT_EQ(s.pdf_timeout, 30.0);
  EXPECT_EQ(s.time_zone, "Africa/Lagos");
  EXPECT_EQ(s.pdf_worker_documents, 200u);
  EXPECT_EQ(s.pdf_worker_memory_mb, 320u);
  EXPECT_FALSE(s.plan_token);
}

TEST(DocumentSettings, ValuesAndErrorsNameTheVariable) {
  expect_accepted_or_named(DOCUMENT_VARS, {
      {"VEKT_PDF_WORKERS", "4", true},     {"VEKT_PDF_WORKERS", "0", false},  {"VEKT_PDF_WORKERS", "x", false},
      {"VEKT_PDF_TIMEOUT", "2.5", true},   {"VEKT_PDF_TIMEOUT", "0", false},  {"VEKT_PDF_TIMEOUT", "-1", false},
      {"VEKT_PDF_TIMEOUT", "nan", false},  {"VEKT_PDF_TIMEOUT", "inf", false}, {"TZ", "UTC", true},
      {"TZ", "Europe/Berlin", true},       {"TZ", ":Africa/Lagos", true},     {"TZ", "Mars/Olympus", false},
      {"TZ", "../../etc/passwd", false},   {"TZ", "", false},
      {"VEKT_PDF_WORKER_DOCUMENTS", "0", true}, {"VEKT_PDF_WORKER_DOCUMENTS", "-1", false},
      {"VEKT_PDF_WORKER_DOCUMENTS", "many", false}, {"VEKT_PDF_WORKER_MEMORY_MB", "512", true},
      {"VEKT_PDF_WORKER_MEMORY_MB", "1.5", false},
  });
  EnvGuard g(DOCUMENT_VARS);
  ::setenv("VEKT_PDF_WORKERS", "3", 1);
  ::setenv("VEKT_PDF_TIMEOUT", "12.5", 1);
  ::setenv("TZ", ":UTC", 1);
  ::setenv("VEKT_PDF_WORKER_DOCUMENTS", "50", 1);
  ::setenv("VEKT_PDF_WORKER_MEMORY_MB", "0", 1);
  ::setenv("VEKT_PLAN_TOKEN", "s3cret", 1);
  auto s = host::load_settings();
  EXPECT_EQ(s.pdf_workers, 3u);
  EXPECT_EQ(s.pdf_timeout, 12.5);
  EXPECT_EQ(s.time_zone, "UTC");
  EXPECT_EQ(s.pdf_worker_documents, 50u);
  EXPECT_EQ(s.pdf_worker_memory_mb, 0u);
  EXPECT_EQ(s.plan_token, "s3cret");
  ::setenv("VEKT_PLAN_TOKEN", "", 1);
  EXPECT_FALSE(host::load_settings().plan_token);
}

// The grace of a stop: whole seconds, 10 unless set, 0 (answer at once) to an hour.
TEST(Settings, ShutdownGrace) {
  const std::vector<std::string> vars{"VEKT_SHUTDOWN_GRACE"};
  {
    EnvGuard g(vars);
    EXPECT_EQ(host::load_settings().shutdown_grace, 10u);
  }
  expect_accepted_or_named(vars, {
      {"VEKT_SHUTDOWN_GRACE", "0", true},     {"VEKT_SHUTDOWN_GRACE", "3600", true},
      {"VEKT_SHUTDOWN_GRACE", "3601", false}, {"VEKT_SHUTDOWN_GRACE", "-1", false},
      {"VEKT_SHUTDOWN_GRACE", "2.5", false},  {"VEKT_SHUTDOWN_GRACE", "soon", false},
  });
  EnvGuard g(vars);
  ::setenv("VEKT_SHUTDOWN_GRACE", "3", 1);
  EXPECT_EQ(host::load_settings().shutdown_grace, 3u);
}

// The database, Redis and pool settings come through the same reader, and every refusal begins
// with the variable's name.
TEST(ServiceSettings, ReadWithTheOthersAndRefusedByName) {
  const std::vector<std::string> vars{"DATABASE_URL", "VEKT_DB_POOL_SIZE", "VEKT_REDIS_POOL", "REDIS_HOST",
                                      "REDIS_PORT", "REDIS_DB"};
  expect_accepted_or_named(vars, {
      {"VEKT_DB_POOL_SIZE", "4", true},  {"VEKT_DB_POOL_SIZE", "0", false},  {"VEKT_DB_POOL_SIZE", "abc", false},
      {"VEKT_REDIS_POOL", "1_000", true}, {"VEKT_REDIS_POOL", "0", false},   {"VEKT_REDIS_POOL", "-3", false},
      {"REDIS_PORT", "06379", true},      {"REDIS_PORT", "abc", false},      {"REDIS_DB", "1.5", false},
      {"DATABASE_URL", "postgresql://127.0.0.1:5432/gis", true},
      {"DATABASE_URL", "postgresql://127.0.0.1:5432/gis?sslmode", false},
  });
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"VEKT_DB_POOL_SIZE", "abc"}, {"VEKT_REDIS_POOL", "0"}, {"REDIS_PORT", "x"},
           {"DATABASE_URL", "postgresql://h/db?sslmode"}}) {
    EnvGuard g(vars);
    ::setenv(name.c_str(), value.c_str(), 1);
    try {
      host::load_settings();
      ADD_FAILURE() << name << " accepted";
    } catch (const host::SettingsError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(name + ": ", 0), 0u) << e.what();
    }
  }
  EnvGuard g(vars);
  ::setenv("DATABASE_URL", "postgresql://db.example:5433/gis", 1);
  ::setenv("VEKT_DB_POOL_SIZE", "7", 1);
  ::setenv("VEKT_REDIS_POOL", "12", 1);
  ::setenv("REDIS_HOST", "10.0.0.7", 1);
  ::setenv("REDIS_PORT", "7000", 1);
  auto s = host::load_settings();
  EXPECT_EQ(s.database.url, "postgresql://db.example:5433/gis");
  EXPECT_EQ(s.database.pool_size, 7u);
  EXPECT_EQ(s.redis_pool, 12u);
  EXPECT_EQ(s.redis.redis_host, "10.0.0.7");
  EXPECT_EQ(s.redis.redis_port, 7000);
}

// VEKT_DB_POOL_SIZE is the whole server's: two connections a core by default, split over its
// event loops, so two or three servers fit PostgreSQL's default of 100 connections.
TEST(ServiceSettings, TheDatabasePoolIsTheServersSplitOverItsLoops) {
  const std::vector<std::string> vars{"VEKT_DB_POOL_SIZE", "VEKT_THREADS"};
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  {
    EnvGuard g(vars);
    const auto s = host::load_settings();
    EXPECT_EQ(s.database.pool_size, 2 * cores);
    EXPECT_EQ(s.database.loops, cores);
    EXPECT_EQ(vekt::pg::connections_per_loop(s.database), 2u);
  }
  struct Case {
    const char* pool;
    const char* threads;
    std::size_t per_loop;
  };
  for (const Case& c : {Case{"16", "8", 2}, Case{"17", "8", 2}, Case{"8", "8", 1}, Case{"30", "3", 10}}) {
    EnvGuard g(vars);
    ::setenv("VEKT_DB_POOL_SIZE", c.pool, 1);
    ::setenv("VEKT_THREADS", c.threads, 1);
    const auto s = host::load_settings();
    EXPECT_EQ(s.database.pool_size, std::stoul(c.pool));
    EXPECT_EQ(s.database.loops, std::stoul(c.threads));
    EXPECT_EQ(vekt::pg::connections_per_loop(s.database), c.per_loop) << c.pool << " over " << c.threads;
  }
}

// Every loop keeps a database connection: more loops asked for than VEKT_DB_POOL_SIZE would open
// more connections than it allows, and are refused naming both; the default, one a core, keeps
// within it.
TEST(ServiceSettings, NoMoreEventLoopsThanDatabaseConnections) {
  const std::vector<std::string> vars{"VEKT_DB_POOL_SIZE", "VEKT_THREADS"};
  struct Refused {
    const char* pool;
    const char* threads;
  };
  for (const Refused& c : {Refused{"4", "8"}, Refused{"1", "2"}, Refused{"10", "1000"}}) {
    SCOPED_TRACE(std::string("VEKT_DB_POOL_SIZE=") + c.pool + " VEKT_THREADS=" + c.threads);
    EnvGuard g(vars);
    ::setenv("VEKT_DB_POOL_SIZE", c.pool, 1);
    ::setenv("VEKT_THREADS", c.threads, 1);
    try {
      host::load_settings();
      ADD_FAILURE() << "accepted";
    } catch (const host::SettingsError& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("VEKT_THREADS: ", 0), 0u) << what;
      EXPECT_NE(what.find("VEKT_DB_POOL_SIZE"), std::string::npos) << what;
    }
  }
  EnvGuard g(vars);
  ::setenv("VEKT_DB_POOL_SIZE", "1", 1);
  const auto s = host::load_settings();
  EXPECT_EQ(s.database.loops, 1u);
  EXPECT_EQ(s.threads, 0u);
}

// A DATABASE_URL libpq would read but could not connect with as given stops start-up by name.
TEST(ServiceSettings, ADatabaseUrlLibpqCannotUseIsRefused) {
  struct UrlCase {
    const char* url;
    bool ok;
  };
  for (const UrlCase& c : {UrlCase{"", false}, UrlCase{"  ", false}, UrlCase{"postgres://user@host:port/db", false},
                           UrlCase{"postgresql://h:0/db", false}, UrlCase{"postgresql://h:65536/db", false},
                           UrlCase{"host=h port=5x dbname=gis", false}, UrlCase{"postgresql://a:5432,b:x/db", false},
                           UrlCase{"postgresql://h:5432/db", true}, UrlCase{"postgresql://a:5432,b/db", true},
                           UrlCase{"host=h port=6432 dbname=gis", true}, UrlCase{"postgresql:///gis", true}}) {
    SCOPED_TRACE(std::string("DATABASE_URL=") + c.url);
    EnvGuard g({"DATABASE_URL"});
    ::setenv("DATABASE_URL", c.url, 1);
    if (c.ok) {
      EXPECT_NO_THROW(host::load_settings());
      continue;
    }
    try {
      host::load_settings();
      ADD_FAILURE() << "accepted";
    } catch (const host::SettingsError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("DATABASE_URL: ", 0), 0u) << e.what();
    }
  }
}

// 23:30 UTC on 9 December is already 10 December in Lagos (UTC+1): the printed date follows the
// configured zone, not the machine's.
TEST(DocumentSettings, DatesFollowTheConfiguredZone) {
  EnvGuard g({"TZ"});
  const auto late_evening_utc = std::chrono::system_clock::from_time_t(1796859000);  // 2026-12-09 23:30:00 UTC
  host::set_time_zone("UTC");
  EXPECT_EQ(host::format_date_html(late_evening_utc), "9 December 2026");
  host::set_time_zone("Africa/Lagos");
  EXPECT_EQ(host::format_date_html(late_evening_utc), "10 December 2026");
}

}  // namespace
