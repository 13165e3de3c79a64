// The published API description (GET /openapi.json), built from the mounted routes.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "base/strings.hpp"
#include "web/router.hpp"
#include "web/validation.hpp"

namespace vekt::web {
namespace {

// str.title() of Python on ASCII text, then "_" -> " ".
std::string py_title(std::string_view name) {
  std::string out;
  bool prev_cased = false;
  for (char c : name) {
    bool lower = c >= 'a' && c <= 'z', upper = c >= 'A' && c <= 'Z';
    if (lower || upper) {
      if (!prev_cased && lower) c = static_cast<char>(c - 'a' + 'A');
      else if (prev_cased && upper) c = base::ascii_lower(c);
      prev_cased = true;
    } else {
      prev_cased = false;
    }
    out += c == '_' ? ' ' : c;
  }
  return out;
}

std::string operation_id(const Route& r, const std::string& full_path) {
  std::string id = r.name + full_path;
  for (char& c : id) {
    bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                static_cast<unsigned char>(c) >= 0x80;
    if (!word) c = '_';
  }
  return id + "_" + base::ascii_lower(r.method);
}

const char* type_name(ParamType t) {
  switch (t) {
    case ParamType::string: return "string";
    case ParamType::integer: return "integer";
    case ParamType::number: return "number";
    case ParamType::boolean: return "boolean";
  }
  return "string";
}

// The operation's responses in the order of their status codes (three digits each, so the
// order of their texts).
Json sorted_by_status(Json responses) {
  std::vector<std::string> codes;
  for (auto it = responses.begin(); it != responses.end(); ++it) codes.push_back(it.key());
  std::sort(codes.begin(), codes.end());
  Json out = Json::object();
  for (const std::string& code : codes) out[code] = std::move(responses[code]);
  return out;
}

}  // namespace

Json App::openapi() const {
  Json doc = Json::object();
  doc["openapi"] = "3.0.2";
  doc["info"] = Json::object({{"title", title_}, {"version", version_}});
  Json paths = Json::object();
  bool any_validation = false;
  for (const Mounted& m : routes_) {
    const Route& r = m.route;
    Json op = Json::object();
    if (!m.tags.empty()) op["tags"] = m.tags;
    op["summary"] = py_title(r.name);
    std::string description = cleandoc(r.doc);
    if (!description.empty()) op["description"] = description;
    op["operationId"] = operation_id(r, r.path);
    if (!r.params.empty()) {
      Json params = Json::array();
      for (int pass = 0; pass < 2; ++pass) {
        ParamIn in = pass == 0 ? ParamIn::path : ParamIn::query;
        for (const ParamSpec& p : r.params) {
          if (p.in != in) continue;
          // Key order of the published objects, as clients diffing the description have seen
          // it: a schema is title, type, description, default; a parameter is description,
          // required, schema, name, in.
          Json schema = Json::object();
          schema["title"] = p.title.empty() ? py_title(p.name) : p.title;
          schema["type"] = type_name(p.type);
          if (!p.description.empty()) schema["description"] = p.description;
          if (!p.required && !p.default_value.is_null()) schema["default"] = p.default_value;
          Json param = Json::object();
          if (!p.description.empty()) param["description"] = p.description;
          param["required"] = p.in == ParamIn::path ? true : p.required;
          param["schema"] = std::move(schema);
          param["name"] = p.name;
          param["in"] = p.in == ParamIn::path ? "path" : "query";
          params.push_back(std::move(param));
        }
      }
      op["parameters"] = std::move(params);
    }
    if (!r.request_body.is_null()) op["requestBody"] = r.request_body;
    Json responses = Json::object();
    Json ok = Json::object({{"description", "Successful Response"}});
    if (r.json_response) ok["content"] = Json::parse(R"({"application/json":{"schema":{}}})");
    responses["200"] = std::move(ok);
    if (!r.params.empty() || !r.request_body.is_null()) {
      any_validation = true;
      responses["422"] = Json::parse(
          R"({"description":"Validation Error","content":{"application/json":{"schema":{"$ref":"#/components/schemas/HTTPValidationError"}}}})");
    }
    // The route's other answers, in the order of their status; the two above stay as they are.
    for (const RouteAnswer& a : r.answers) {
      const std::string code = std::to_string(a.status);
      if (!responses.contains(code)) responses[code] = Json::object({{"description", a.description}});
    }
    if (!r.answers.empty()) responses = sorted_by_status(std::move(responses));
    op["responses"] = std::move(responses);
    paths[r.path][base::ascii_lower(r.method)] = std::move(op);
  }
  // Several methods on one path are published in the fixed order of a path item, whatever the
  // order in which they were registered.
  static const char* const method_order[] = {"get", "put", "post", "delete", "options", "head", "patch", "trace"};
  for (auto it = paths.begin(); it != paths.end(); ++it) {
    const Json& item = it.value();
    if (item.size() < 2) continue;
    Json ordered = Json::object();
    for (const char* method : method_order)
      if (item.contains(method)) ordered[method] = item.at(method);
    for (auto op = item.begin(); op != item.end(); ++op)
      if (!ordered.contains(op.key())) ordered[op.key()] = op.value();
    it.value() = std::move(ordered);
  }
  doc["paths"] = std::move(paths);
  if (any_validation) doc["components"] = Json::object({{"schemas", validation_schemas()}});
  return doc;
}

}  // namespace vekt::web
