#include "host/settings.hpp"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>

#include <boost/asio/ip/address.hpp>

#include "base/pyconv.hpp"
#include "base/strings.hpp"

namespace vekt::host {
namespace {

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

long long int_setting(const char* name, const std::string& text, long long lo, long long hi) {
  auto v = base::py_int(text);
  if (!v || !v->value || *v->value < lo || *v->value > hi)
    throw SettingsError(std::string(name) + ": invalid value '" + text + "' (expected an integer from " +
                        std::to_string(lo) + " to " + std::to_string(hi) + ")");
  return *v->value;
}

// An IANA zone name with its file in the system's zone database. glibc reads an unknown name as
// UTC without a word, which would put a wrong date on every document.
bool time_zone_known(const std::string& zone) {
  if (zone.empty() || zone.front() == '/' || zone.find("..") != std::string::npos) return false;
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::path("/usr/share/zoneinfo") / zone, ec);
}

using base::split_list;
using base::trim_blanks;

}  // namespace

Settings load_settings() {
  Settings s;
  if (auto v = env("VEKT_HOST")) {
    if (trim_blanks(*v).empty()) throw SettingsError("VEKT_HOST: must not be empty");
    s.host = trim_blanks(*v);
  }
  if (auto v = env("VEKT_PORT")) s.port = static_cast<std::uint16_t>(int_setting("VEKT_PORT", *v, 0, 65535));
  if (auto v = env("VEKT_THREADS")) s.threads = static_cast<unsigned>(int_setting("VEKT_THREADS", *v, 1, 1024));
  if (auto v = env("FORWARDED_ALLOW_IPS")) {
    s.trusted_proxies.clear();
    for (auto& item : split_list(*v)) {
      if (item == "*") {
        s.trusted_proxies.push_back(item);
        continue;
      }
      boost::system::error_code ec;
      auto addr = boost::asio::ip::make_address(item, ec);
      if (ec) throw SettingsError("FORWARDED_ALLOW_IPS: '" + item + "' is not an IP address or \"*\"");
      s.trusted_proxies.push_back(addr.to_string());
    }
  }
  if (auto v = env("CORS_ALLOW_ORIGINS")) {
    s.cors_allow_origins.clear();
    for (auto& item : split_list(*v)) {
      // An origin is scheme://host[:port]; anything with blanks or a path is a typo worth stopping on.
      bool ok = item == "*" || ((item.starts_with("http://") || item.starts_with("https://")) &&
                                item.find_first_of(" \t/", item.find("//") + 2) == std::string::npos);
      if (!ok) throw SettingsError("CORS_ALLOW_ORIGINS: '" + item + "' is not \"*\" or an origin like https://maps.example.org");
      s.cors_allow_origins.push_back(item);
    }
  }
  {
    std::error_code ec;
    std::filesystem::path root = env("VEKT_PROJECT_ROOT").value_or("");
    if (root.empty()) root = std::filesystem::current_path(ec);
    if (!ec) root = std::filesystem::absolute(root, ec);
    if (ec) throw SettingsError("VEKT_PROJECT_ROOT: cannot make '" + root.string() + "' absolute: " + ec.message());
    s.project_root = root.lexically_normal().string();
  }
  if (auto v = env("VEKT_PLAN_QUEUE")) s.plan_queue = static_cast<unsigned>(int_setting("VEKT_PLAN_QUEUE", *v, 1, 100000));
  if (auto v = env("VEKT_PDF_WORKERS"))
    s.pdf_workers = static_cast<unsigned>(int_setting("VEKT_PDF_WORKERS", *v, 1, 256));
  if (auto v = env("VEKT_PDF_TIMEOUT")) {
    auto t = base::py_float(*v);
    if (!t || !(*t > 0) || *t > 3600)
      throw SettingsError("VEKT_PDF_TIMEOUT: invalid value '" + *v + "' (expected seconds, more than 0 and at most 3600)");
    s.pdf_timeout = *t;
  }
  if (auto v = env("VEKT_PDF_WORKER_DOCUMENTS"))
    s.pdf_worker_documents = static_cast<unsigned>(int_setting("VEKT_PDF_WORKER_DOCUMENTS", *v, 0, 1000000));
  if (auto v = env("VEKT_PDF_WORKER_MEMORY_MB"))
    s.pdf_worker_memory_mb = static_cast<unsigned>(int_setting("VEKT_PDF_WORKER_MEMORY_MB", *v, 0, 1048576));
  if (auto v = env("TZ")) {
    std::string zone = trim_blanks(*v);
    if (zone.starts_with(':')) zone.erase(0, 1);
    if (!time_zone_known(zone))
      throw SettingsError("TZ: unknown time zone '" + *v + "' (expected a name such as Africa/Lagos or UTC)");
    s.time_zone = zone;
  }
  if (auto v = env("VEKT_ADMIN_TOKEN"); v && !v->empty()) s.admin_token = *v;
  if (auto v = env("VEKT_PLAN_TOKEN"); v && !v->empty()) s.plan_token = *v;
  return s;
}

}  // namespace vekt::host
