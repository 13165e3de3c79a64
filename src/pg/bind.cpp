// ":name" binds of textual statements, turned into libpq's "$n" markers.
#include <algorithm>

#include "pg/session.hpp"

namespace vekt::pg {

namespace {

bool word_char(unsigned char c) {
  // Non-ASCII bytes count as word characters: names and identifiers in UTF-8 letters stay whole.
  return c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}

}  // namespace

BoundSql bind_named(std::string_view sql) {
  BoundSql out;
  out.sql.reserve(sql.size());
  const std::size_t n = sql.size();
  std::size_t i = 0;
  while (i < n) {
    const char c = sql[i];
    // "\:" is an escaped colon: the colon stays, the backslash goes.
    if (c == '\\' && i + 1 < n && sql[i + 1] == ':') {
      out.sql += ':';
      i += 2;
      // The escaped colon's word (if any) is copied as is.
      while (i < n && word_char(static_cast<unsigned char>(sql[i]))) out.sql += sql[i++];
      continue;
    }
    if (c != ':') {
      out.sql += c;
      ++i;
      continue;
    }
    const bool blocked =
        i > 0 && (sql[i - 1] == ':' || sql[i - 1] == '\\' || word_char(static_cast<unsigned char>(sql[i - 1])));
    std::size_t j = i + 1;
    while (j < n && word_char(static_cast<unsigned char>(sql[j]))) ++j;
    std::size_t len = j - (i + 1);
    // A name must not be followed by ':'; like a backtracking regex, the name then gives up its last
    // character (":ab:" binds "a").
    if (len > 0 && j < n && sql[j] == ':') --len;
    if (blocked || len == 0) {
      out.sql += c;
      ++i;
      continue;
    }
    std::string name(sql.substr(i + 1, len));
    auto it = std::find(out.names.begin(), out.names.end(), name);
    std::size_t number;
    if (it == out.names.end()) {
      out.names.push_back(name);
      number = out.names.size();
    } else {
      number = static_cast<std::size_t>(it - out.names.begin()) + 1;
    }
    out.sql += '$';
    out.sql += std::to_string(number);
    i += 1 + len;
  }
  return out;
}

}  // namespace vekt::pg
