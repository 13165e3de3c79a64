#pragma once
// What a statement is given: typed parameter values, named, and the ":name" markers of its text.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vekt::pg {

// Parameter values. Bytes is bytea (raw bytes); std::string is text.
struct Bytes {
  std::string data;
  bool operator==(const Bytes&) const = default;
};
using Null = std::monostate;
using Value = std::variant<Null, bool, std::int32_t, std::int64_t, double, std::string, Bytes>;

// Named parameters in the order the caller lists them; bound from the SQL's ":name" markers.
using Params = std::vector<std::pair<std::string, Value>>;

// ":name" -> "$n", numbered by first appearance (a repeated name reuses its number). A marker is a
// colon not preceded by ':', a word character or a backslash, followed by word characters that are
// not followed by ':' ("::int" casts and "a::b" stay as they are). Returns the new text and the
// names in $-order.
struct BoundSql {
  std::string sql;
  std::vector<std::string> names;
};
BoundSql bind_named(std::string_view sql);

using Oid = unsigned int;

}  // namespace vekt::pg
