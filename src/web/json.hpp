#pragma once
// JSON text as the clients of this service have always received it: keys in insertion order,
// floats written like Python's repr (800000.0, 1e-05, 1e+16), compact separators, non-ASCII as
// raw UTF-8 (invalid bytes replaced by U+FFFD). Non-finite floats are written as null.
#include <string>

#include <nlohmann/json.hpp>

namespace vekt::web {

using Json = nlohmann::ordered_json;

// Compact form for HTTP bodies: {"a":1,"b":[1.0,"x"]}.
std::string dump_json(const Json& value);

// The layout of Python's json.dumps defaults: ", " and ": " separators, non-ASCII as \uXXXX
// (surrogate pairs above U+FFFF), NaN/Infinity spelled as Python does.
std::string dump_json_python(const Json& value);

}  // namespace vekt::web
