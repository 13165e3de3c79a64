#include "web/validation.hpp"

#include <utility>

namespace vekt::web {

Json FieldError::to_json() const {
  Json e = Json::object();
  e["loc"] = loc;
  e["msg"] = msg;
  e["type"] = type;
  return e;
}

ValidationError::ValidationError(std::vector<FieldError> errors)
    : std::runtime_error("invalid request"), errors_(std::move(errors)) {}

Response validation_response(const std::vector<FieldError>& errors) {
  Json detail = Json::array();
  for (const FieldError& e : errors) detail.push_back(e.to_json());
  Json body = Json::object();
  body["detail"] = std::move(detail);
  return json_response(422, body);
}

Json validation_schemas() {
  return Json::parse(R"({
    "HTTPValidationError": {"title": "HTTPValidationError", "type": "object", "properties": {
      "detail": {"title": "Detail", "type": "array", "items": {"$ref": "#/components/schemas/ValidationError"}}}},
    "ValidationError": {"title": "ValidationError", "required": ["loc", "msg", "type"], "type": "object",
      "properties": {
        "loc": {"title": "Location", "type": "array", "items": {"anyOf": [{"type": "string"}, {"type": "integer"}]}},
        "msg": {"title": "Message", "type": "string"},
        "type": {"title": "Error Type", "type": "string"}}}})");
}

}  // namespace vekt::web
