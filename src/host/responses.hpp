#pragma once
// The response envelope of the JSON routes, {"status_code": ..., "message": ..., "data": ...},
// and its file variant for documents.
#include <optional>
#include <string>

#include "web/http.hpp"
#include "web/json.hpp"

namespace vekt::host {

using Json = web::Json;

// The arguments of api_response, all optional. Designated initialisers follow this order:
//   api_response({.data = d})
//   api_response({.data = d, .message = "..."})
//   api_response({.message = "Layer has no geometry", .status_code = 404})
//   api_response({.file = pdf_bytes, .filename = "SitePlan_42.pdf"})
struct ApiResponse {
  std::optional<Json> data{};            // absent: null
  std::optional<std::string> message{};  // absent: null
  int status_code = 200;
  std::optional<std::string> file{};     // bytes of a file answer
  std::optional<std::string> filename{};
  std::optional<std::string> media_type{};  // file answers: default from the file name's extension
};

// The envelope value, passed on unchanged by callers.
ApiResponse api_response(ApiResponse args);

// The envelope's JSON object: status_code, message, data, in that order.
Json envelope_json(const ApiResponse& envelope);

// The HTTP answer: JSON envelope with HTTP status = status_code; with a file, its bytes with
// their media type and Content-Disposition: attachment; filename="...".
web::Response api_router_response(const ApiResponse& envelope);

}  // namespace vekt::host
