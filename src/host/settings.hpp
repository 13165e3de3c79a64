#pragma once
// Settings of vekt-server from the environment (after .env filled what it lacks). A bad value
// throws SettingsError whose message names the variable.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace vekt::host {

class SettingsError : public base::Error {
 public:
  using base::Error::Error;
};

struct Settings {
  std::string host = "127.0.0.1";   // VEKT_HOST
  std::uint16_t port = 8000;        // VEKT_PORT
  unsigned threads = 0;             // VEKT_THREADS (0/absent: the number of cores)
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
};

// Read the settings from the current environment.
Settings load_settings();

}  // namespace vekt::host
