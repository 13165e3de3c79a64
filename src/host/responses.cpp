#include "host/responses.hpp"

#include <string_view>

#include "base/strings.hpp"

namespace vekt::host {
namespace {

std::string media_type_for(std::string_view filename) {
  auto dot = filename.rfind('.');
  const std::string ext = dot == std::string_view::npos ? std::string() : base::ascii_lower(filename.substr(dot + 1));
  if (ext == "pdf") return "application/pdf";
  if (ext == "png") return "image/png";
  if (ext == "json") return "application/json";
  if (ext == "html" || ext == "htm") return "text/html; charset=utf-8";
  if (ext == "txt") return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

// Percent-encoding with "/" kept, as urllib's quote() does by default.
std::string quote(std::string_view s) { return base::percent_encode(s, "_.-~/"); }

// A plain file name goes out quoted; anything that would need escaping (quotes, control
// characters, non-ASCII) goes out percent-encoded in the filename* form, so the field can never
// be broken open by the name.
std::string content_disposition(std::string_view filename) {
  std::string quoted = quote(filename);
  if (quoted == filename) return "attachment; filename=\"" + std::string(filename) + "\"";
  return "attachment; filename*=utf-8''" + quoted;
}

}  // namespace

ApiResponse api_response(ApiResponse args) { return args; }

Json envelope_json(const ApiResponse& envelope) {
  Json body = Json::object();
  body["status_code"] = envelope.status_code;
  body["message"] = envelope.message ? Json(*envelope.message) : Json(nullptr);
  body["data"] = envelope.data ? *envelope.data : Json(nullptr);
  return body;
}

web::Response api_router_response(const ApiResponse& envelope) {
  unsigned status = envelope.status_code >= 100 && envelope.status_code <= 599
                        ? static_cast<unsigned>(envelope.status_code)
                        : 500u;
  if (envelope.file) {
    std::string filename = envelope.filename.value_or("download");
    std::string media = envelope.media_type.value_or(media_type_for(filename));
    return web::bytes_response(status, *envelope.file, std::move(media),
                               {{"Content-Disposition", content_disposition(filename)}});
  }
  return web::json_response(status, envelope_json(envelope));
}

}  // namespace vekt::host
