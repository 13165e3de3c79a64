#pragma once
// Every setting of vekt-server, read in one place from the environment (after .env filled what it
// lacks) and handed to the parts that use them; the libraries read none. A bad value throws
// SettingsError, whose message begins with the variable's name and a colon.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "pg/session.hpp"

namespace vekt::host {

// A ValueError, as the tile service's start-up promises for a Redis port or database that is not
// an integer.
class SettingsError : public base::ValueError {
 public:
  using base::ValueError::ValueError;
};

using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// The process environment (a variable set to "" counts as present).
std::optional<std::string> process_env(const char* name);

// The one integer reader of the settings: `text` as Python's int() reads it (blanks around, a sign,
// single underscores between digits), from `lo` to `hi`.
long long int_setting(const char* name, std::string_view text, long long lo, long long hi);

// The Redis server of the tile service.
struct RedisSettings {
  std::string redis_host = "localhost";
  // Integers beyond 64 bits are held at the nearest 64-bit bound; they fail at the first
  // connection like any other port or database Redis does not have.
  long long redis_port = 6379;
  long long redis_db = 0;
  std::optional<std::string> redis_password;
  std::optional<std::string> redis_username;
  // The two integers in decimal, whatever their size, as the start-up lines print them.
  std::string redis_port_text;
  std::string redis_db_text;
};

// REDIS_HOST (default "localhost"), REDIS_PORT ("6379"), REDIS_DB ("0"), REDIS_PASSWORD and
// REDIS_USERNAME (absent by default), in this order. Port and database are read like Python's
// int(), with any number of digits. One that is not an integer throws SettingsError
// "NAME: invalid literal for int() with base 10: 'text'".
RedisSettings read_redis_settings(const EnvLookup& env = process_env);

// VEKT_REDIS_POOL when it is set, else `fallback`.
std::size_t read_redis_pool(const EnvLookup& env, std::size_t fallback);

// DATABASE_URL (a PostgreSQL connection URI libpq can read) and VEKT_DB_POOL_SIZE, the
// connections of the whole server (absent: two a core), for one event loop.
pg::DatabaseOptions read_database_settings(const EnvLookup& env = process_env);

struct Settings {
  std::string host = "127.0.0.1";   // VEKT_HOST
  std::uint16_t port = 8000;        // VEKT_PORT
  // VEKT_THREADS: event loops (0/absent: one a core). More than VEKT_DB_POOL_SIZE are refused, since
  // each loop keeps a database connection; the loops the server runs are `database.loops`.
  unsigned threads = 0;
  // VEKT_SHUTDOWN_GRACE: seconds the requests in hand at a stop (SIGTERM, SIGINT) may take to
  // finish; past it each one still in hand is answered 503 "The server is shutting down".
  unsigned shutdown_grace = 10;
  // FORWARDED_ALLOW_IPS: peers whose X-Forwarded-For is believed ("*": every peer).
  std::vector<std::string> trusted_proxies{"127.0.0.1"};
  // CORS_ALLOW_ORIGINS: origins of the web maps allowed to call us ("*": any; empty: CORS off).
  std::vector<std::string> cors_allow_origins{"*"};
  // VEKT_PROJECT_ROOT: the directory the plan templates lie under (templates/deedplan.html), made
  // absolute against the working directory at start-up (absent: the working directory).
  std::string project_root;
  // VEKT_PLAN_QUEUE: plan documents in hand at once; beyond it requests are answered 503.
  unsigned plan_queue = 32;
  // VEKT_PDF_WORKERS: PDF renderer processes (0/absent: half the cores, at least one).
  unsigned pdf_workers = 0;
  // VEKT_PDF_TIMEOUT: the longest one document may take to render, seconds.
  double pdf_timeout = 30.0;
  // VEKT_PDF_WORKER_DOCUMENTS: documents a PDF renderer process renders before a fresh one takes its
  // place (0: no limit).
  unsigned pdf_worker_documents = 200;
  // VEKT_PDF_WORKER_MEMORY_MB: resident size, MiB, past which a PDF renderer process is replaced
  // after its document (0: no limit), so the memory a large plan took comes back.
  unsigned pdf_worker_memory_mb = 320;
  // TZ: the zone of the dates printed on documents, an IANA name. Set explicitly so a host clock
  // kept in UTC does not print yesterday's date on a plan made just after local midnight.
  std::string time_zone = "Africa/Lagos";
  // VEKT_ADMIN_TOKEN: the bearer token that may empty the tile cache (absent or empty: none).
  std::optional<std::string> admin_token;
  // VEKT_PLAN_TOKEN: the bearer token a caller must present to get a plan document (absent or
  // empty: plans for clients on this machine only).
  std::optional<std::string> plan_token;
  // DATABASE_URL, VEKT_DB_POOL_SIZE; its pool split over the event loops: VEKT_THREADS, or by
  // default one a core but no more than VEKT_DB_POOL_SIZE.
  pg::DatabaseOptions database;
  // REDIS_HOST, REDIS_PORT, REDIS_DB, REDIS_PASSWORD, REDIS_USERNAME.
  RedisSettings redis;
  // VEKT_REDIS_POOL: Redis connections per event loop at most.
  std::size_t redis_pool = 256;
};

// Read every setting from `env`.
Settings load_settings(const EnvLookup& env = process_env);

}  // namespace vekt::host
