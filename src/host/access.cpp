#include "host/access.hpp"

#include "base/strings.hpp"

namespace vekt::host {

bool same_secret(const std::string& a, const std::string& b) {
  unsigned diff = a.size() == b.size() ? 0u : 1u;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned>(a[i] ^ (i < b.size() ? b[i] : 0));
  return diff == 0;
}

std::optional<std::string> bearer_credentials(std::string_view value) {
  constexpr std::string_view scheme = "bearer";
  if (value.size() <= scheme.size() || value[scheme.size()] != ' ') return std::nullopt;
  if (!base::iequals_ascii(value.substr(0, scheme.size()), scheme)) return std::nullopt;
  std::size_t start = scheme.size();
  while (start < value.size() && value[start] == ' ') ++start;
  if (start == value.size()) return std::nullopt;
  return std::string(value.substr(start));
}

void check_caller(const web::Request& request, const std::optional<std::string>& token,
                  const std::string& local_only_detail) {
  if (request.headers.count("Authorization") > 1)
    throw web::HttpError(400, "Only one Authorization header may be sent");
  if (token) {
    const std::string* auth = request.headers.find("Authorization");
    const std::optional<std::string> given = auth ? bearer_credentials(*auth) : std::nullopt;
    if (!given || !same_secret(*given, *token))
      throw web::HttpError(401, "Not authenticated", {{"WWW-Authenticate", "Bearer"}});
  } else if (!request.local) {
    throw web::HttpError(403, local_only_detail);
  }
}

}  // namespace vekt::host
