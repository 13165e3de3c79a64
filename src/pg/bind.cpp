// Parameter binding: ":name" markers of textual statements turned into libpq's "$n" markers, and
// typed values turned into libpq's parameter arrays.
#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#include "pg/bind.hpp"

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

namespace {

template <class T>
std::string be_bytes(T v) {
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(T) == 4) v = static_cast<T>(__builtin_bswap32(static_cast<std::uint32_t>(v)));
    if constexpr (sizeof(T) == 8) v = static_cast<T>(__builtin_bswap64(static_cast<std::uint64_t>(v)));
  }
  std::string s(sizeof v, '\0');
  std::memcpy(s.data(), &v, sizeof v);
  return s;
}

}  // namespace

Bound bind_values(const std::vector<std::string>& names, const Params& params) {
  Bound b;
  const std::size_t n = names.size();
  b.types.resize(n);
  b.storage.resize(n);
  b.values.resize(n);
  b.lengths.resize(n);
  b.formats.resize(n);
  std::vector<bool> is_null(n, false);
  for (std::size_t i = 0; i < n; ++i) {
    const Value* v = nullptr;
    for (const auto& [k, val] : params)
      if (k == names[i]) v = &val;  // the last one given wins
    if (!v) throw Error::misuse("A value is required for bind parameter '" + names[i] + "'");
    std::visit(
        [&](const auto& x) {
          using X = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<X, Null>) {
            b.types[i] = 0;
            is_null[i] = true;
          } else if constexpr (std::is_same_v<X, bool>) {
            b.types[i] = 16;
            b.storage[i] = std::string(1, x ? '\1' : '\0');
            b.formats[i] = 1;
          } else if constexpr (std::is_same_v<X, std::int32_t>) {
            b.types[i] = 23;
            b.storage[i] = be_bytes(x);
            b.formats[i] = 1;
          } else if constexpr (std::is_same_v<X, std::int64_t>) {
            b.types[i] = 20;
            b.storage[i] = be_bytes(x);
            b.formats[i] = 1;
          } else if constexpr (std::is_same_v<X, double>) {
            b.types[i] = 701;
            b.storage[i] = be_bytes(std::bit_cast<std::uint64_t>(x));
            b.formats[i] = 1;
          } else if constexpr (std::is_same_v<X, std::string>) {
            b.types[i] = 0;  // text: the server infers the type from the statement
            b.storage[i] = x;
            b.formats[i] = 0;
          } else {
            b.types[i] = 17;
            b.storage[i] = x.data;
            b.formats[i] = 1;
          }
        },
        *v);
    b.type_key += std::to_string(b.types[i]);
    b.type_key += ',';
  }
  for (std::size_t i = 0; i < n; ++i) {
    b.values[i] = is_null[i] ? nullptr : b.storage[i].data();
    b.lengths[i] = static_cast<int>(b.storage[i].size());
  }
  return b;
}

}  // namespace vekt::pg
