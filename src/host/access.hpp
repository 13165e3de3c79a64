#pragma once
// Who may call the routes that act for the operator (emptying the tile cache) or that issue
// documents in the state's name (the plans): the bearer of the route's token when one is set,
// else clients on this machine only. Whether a client is on this machine the server decided
// (web::is_local_request): a client behind a trusted reverse proxy is judged by its own address,
// not the proxy's, a forwarding header that cannot be believed never makes a client local, and
// neither does a web page in a browser here (its request names another Host or Origin). The
// routes ask this as their guard, on the request's head, before its body is read.
#include <optional>
#include <string>
#include <string_view>

#include "web/http.hpp"

namespace vekt::host {

// The credentials of an "Authorization: Bearer <token>" value; the scheme's name is
// case-insensitive, as every HTTP authentication scheme is.
std::optional<std::string> bearer_credentials(std::string_view value);

// Equal texts, compared in a time that does not depend on where they differ.
bool same_secret(const std::string& a, const std::string& b);

// Throws web::HttpError 400 when the request carries more than one Authorization header (which
// one a proxy or a cache would act on is anyone's guess), 401 "Not authenticated" (with
// "WWW-Authenticate: Bearer") when `token` is set and the request does not present it, and 403
// `local_only_detail` when no token is set and the client is not on this machine.
void check_caller(const web::Request& request, const std::optional<std::string>& token,
                  const std::string& local_only_detail);

}  // namespace vekt::host
