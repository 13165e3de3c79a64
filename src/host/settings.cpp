#include "host/settings.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <thread>

#include <boost/asio/ip/address.hpp>
#include <fmt/format.h>

#include "base/pyconv.hpp"
#include "base/strings.hpp"

namespace vekt::host {
namespace {

using base::split_list;
using base::trim_blanks;

// Connections of a pool: any positive number a machine could hold.
constexpr long long kMaxPool = 1'000'000;

unsigned cores() { return std::max(1u, std::thread::hardware_concurrency()); }

// One line per integer setting: `field` takes the variable's value when it is set.
template <class T>
void read_int(const EnvLookup& env, const char* name, T& field, long long lo, long long hi) {
  if (auto v = env(name)) field = static_cast<T>(int_setting(name, *v, lo, hi));
}

// An IANA zone name with its file in the system's zone database. glibc reads an unknown name as
// UTC without a word, which would put a wrong date on every document.
bool time_zone_known(const std::string& zone) {
  if (zone.empty() || zone.front() == '/' || zone.find("..") != std::string::npos) return false;
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::path("/usr/share/zoneinfo") / zone, ec);
}

// Redis port and database: Python's int() of any size, the text kept for the start-up lines.
base::PyInt any_int_setting(const EnvLookup& env, const char* name, const char* fallback) {
  std::string text = env(name).value_or(fallback);
  auto v = base::py_int(text);
  if (!v) throw SettingsError(fmt::format("{}: invalid literal for int() with base 10: '{}'", name, text));
  return *v;
}

long long saturated(const base::PyInt& v) {
  if (v.value) return *v.value;
  return v.text.starts_with("-") ? std::numeric_limits<long long>::min() : std::numeric_limits<long long>::max();
}

// Every event loop keeps a database connection of its own, so more loops than VEKT_DB_POOL_SIZE
// would open more connections than it allows. Loops asked for (VEKT_THREADS) beyond it are
// refused; the default, a loop a core, stays within it.
unsigned event_loops(unsigned asked, std::size_t pool_size) {
  if (asked == 0) return static_cast<unsigned>(std::min<std::size_t>(cores(), pool_size));
  if (asked > pool_size)
    throw SettingsError(fmt::format("VEKT_THREADS: {} event loops would open at least {} database connections, more "
                                    "than VEKT_DB_POOL_SIZE={} allows (each loop keeps one of its own): lower "
                                    "VEKT_THREADS or raise VEKT_DB_POOL_SIZE",
                                    asked, asked, pool_size));
  return asked;
}

std::vector<std::string> read_trusted_proxies(const std::string& text) {
  std::vector<std::string> out;
  for (auto& item : split_list(text)) {
    if (item == "*") {
      out.push_back(item);
      continue;
    }
    boost::system::error_code ec;
    auto addr = boost::asio::ip::make_address(item, ec);
    if (ec) throw SettingsError("FORWARDED_ALLOW_IPS: '" + item + "' is not an IP address or \"*\"");
    out.push_back(addr.to_string());
  }
  return out;
}

std::vector<std::string> read_origins(const std::string& text) {
  std::vector<std::string> out;
  for (auto& item : split_list(text)) {
    // An origin is scheme://host[:port]; anything with blanks or a path is a typo worth stopping on.
    bool ok = item == "*" || ((item.starts_with("http://") || item.starts_with("https://")) &&
                              item.find_first_of(" \t/", item.find("//") + 2) == std::string::npos);
    if (!ok) throw SettingsError("CORS_ALLOW_ORIGINS: '" + item + "' is not \"*\" or an origin like https://maps.example.org");
    out.push_back(item);
  }
  return out;
}

std::string read_project_root(const EnvLookup& env) {
  std::error_code ec;
  std::filesystem::path root = env("VEKT_PROJECT_ROOT").value_or("");
  if (root.empty()) root = std::filesystem::current_path(ec);
  if (!ec) root = std::filesystem::absolute(root, ec);
  if (ec) throw SettingsError("VEKT_PROJECT_ROOT: cannot make '" + root.string() + "' absolute: " + ec.message());
  return root.lexically_normal().string();
}

double read_pdf_timeout(const std::string& text) {
  auto t = base::py_float(text);
  if (!t || !(*t > 0) || *t > 3600)
    throw SettingsError("VEKT_PDF_TIMEOUT: invalid value '" + text + "' (expected seconds, more than 0 and at most 3600)");
  return *t;
}

std::string read_time_zone(const std::string& text) {
  std::string zone = trim_blanks(text);
  if (zone.starts_with(':')) zone.erase(0, 1);
  if (!time_zone_known(zone))
    throw SettingsError("TZ: unknown time zone '" + text + "' (expected a name such as Africa/Lagos or UTC)");
  return zone;
}

}  // namespace

std::optional<std::string> process_env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

long long int_setting(const char* name, std::string_view text, long long lo, long long hi) {
  auto v = base::py_int(text);
  if (!v || !v->value || *v->value < lo || *v->value > hi)
    throw SettingsError(fmt::format("{}: invalid value '{}' (expected an integer from {} to {})", name, text, lo, hi));
  return *v->value;
}

RedisSettings read_redis_settings(const EnvLookup& env) {
  RedisSettings s;
  s.redis_host = env("REDIS_HOST").value_or("localhost");
  const base::PyInt port = any_int_setting(env, "REDIS_PORT", "6379");
  const base::PyInt db = any_int_setting(env, "REDIS_DB", "0");
  s.redis_port = saturated(port);
  s.redis_db = saturated(db);
  s.redis_port_text = port.text;
  s.redis_db_text = db.text;
  s.redis_password = env("REDIS_PASSWORD");
  s.redis_username = env("REDIS_USERNAME");
  return s;
}

std::size_t read_redis_pool(const EnvLookup& env, std::size_t fallback) {
  read_int(env, "VEKT_REDIS_POOL", fallback, 1, kMaxPool);
  return fallback;
}

pg::DatabaseOptions read_database_settings(const EnvLookup& env) {
  pg::DatabaseOptions o;
  if (auto url = env("DATABASE_URL")) {
    // libpq would read an empty one as "the defaults" and reach some other database, or none.
    if (trim_blanks(*url).empty())
      throw SettingsError("DATABASE_URL: must not be empty (expected a PostgreSQL connection URI such as "
                          "postgresql://user@localhost:5432/gis)");
    o.url = *url;
    // A URL libpq cannot read stops start-up here instead of failing every request later.
    try {
      pg::check_connection_url(o.url);
    } catch (const pg::Error& e) {
      throw SettingsError(std::string("DATABASE_URL: not a PostgreSQL connection URI: ") + e.what());
    }
  }
  // Two connections a core for the whole server leaves room in PostgreSQL's default 100 for two or
  // three servers side by side (a rolling restart, a second host).
  o.pool_size = 2 * std::size_t{cores()};
  read_int(env, "VEKT_DB_POOL_SIZE", o.pool_size, 1, kMaxPool);
  return o;
}

Settings load_settings(const EnvLookup& env) {
  Settings s;
  if (auto v = env("VEKT_HOST")) {
    if (trim_blanks(*v).empty()) throw SettingsError("VEKT_HOST: must not be empty");
    s.host = trim_blanks(*v);
  }
  read_int(env, "VEKT_PORT", s.port, 0, 65535);
  read_int(env, "VEKT_THREADS", s.threads, 1, 1024);
  read_int(env, "VEKT_SHUTDOWN_GRACE", s.shutdown_grace, 0, 3600);
  if (auto v = env("FORWARDED_ALLOW_IPS")) s.trusted_proxies = read_trusted_proxies(*v);
  if (auto v = env("CORS_ALLOW_ORIGINS")) s.cors_allow_origins = read_origins(*v);
  s.project_root = read_project_root(env);
  read_int(env, "VEKT_PLAN_QUEUE", s.plan_queue, 1, 100000);
  read_int(env, "VEKT_PDF_WORKERS", s.pdf_workers, 1, 256);
  if (auto v = env("VEKT_PDF_TIMEOUT")) s.pdf_timeout = read_pdf_timeout(*v);
  if (auto v = env("TZ")) s.time_zone = read_time_zone(*v);
  read_int(env, "VEKT_PDF_WORKER_DOCUMENTS", s.pdf_worker_documents, 0, 1000000);
  read_int(env, "VEKT_PDF_WORKER_MEMORY_MB", s.pdf_worker_memory_mb, 0, 1048576);
  if (auto v = env("VEKT_ADMIN_TOKEN"); v && !v->empty()) s.admin_token = *v;
  if (auto v = env("VEKT_PLAN_TOKEN"); v && !v->empty()) s.plan_token = *v;
  s.database = read_database_settings(env);
  s.database.loops = event_loops(s.threads, s.database.pool_size);
  s.redis = read_redis_settings(env);
  s.redis_pool = read_redis_pool(env, s.redis_pool);
  return s;
}

}  // namespace vekt::host
