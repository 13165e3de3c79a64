#pragma once
// The 422 answer to a request whose fields are wrong: {"detail": [{"loc": [...], "msg": ...,
// "type": ...}, ...]}, every error listed. The router builds it for parameters that do not
// convert; a handler that checks a body itself throws ValidationError and gets the same answer,
// so the wire shape and its published schema have this one owner.
#include <stdexcept>
#include <string>
#include <vector>

#include "web/http.hpp"
#include "web/json.hpp"

namespace vekt::web {

// One wrong field: where it is (["query", "minx"], ["body", "bounding_box", 2]), what is wrong
// with it and the error's type ("type_error.integer", "value_error.missing", ...).
struct FieldError {
  Json loc;
  std::string msg;
  std::string type;
  // {"loc": ..., "msg": ..., "type": ...}, keys in that order.
  Json to_json() const;
};

// Thrown by a handler: answered 422 with every error listed, in order.
class ValidationError : public std::runtime_error {
 public:
  explicit ValidationError(std::vector<FieldError> errors);
  const std::vector<FieldError>& errors() const { return errors_; }

 private:
  std::vector<FieldError> errors_;
};

// The 422 answer listing `errors`.
Response validation_response(const std::vector<FieldError>& errors);

// The "HTTPValidationError" and "ValidationError" schemas the API description publishes for it.
Json validation_schemas();

}  // namespace vekt::web
