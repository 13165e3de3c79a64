#include "web/json.hpp"

#include <cmath>
#include <cstdint>

#include "base/numfmt.hpp"

namespace vekt::web {
namespace {

// Next code point of `s` at `i` (advancing i); invalid or truncated sequences give U+FFFD and
// consume one byte.
std::uint32_t next_code_point(const std::string& s, std::size_t& i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  int len = 0;
  std::uint32_t cp = 0, min = 0;
  if (c >= 0xc2 && c <= 0xdf) len = 2, cp = c & 0x1f, min = 0x80;
  else if (c >= 0xe0 && c <= 0xef) len = 3, cp = c & 0x0f, min = 0x800;
  else if (c >= 0xf0 && c <= 0xf4) len = 4, cp = c & 0x07, min = 0x10000;
  if (len == 0 || i + static_cast<std::size_t>(len) > s.size()) {
    ++i;
    return 0xfffd;
  }
  for (int k = 1; k < len; ++k) {
    unsigned char d = b(i + static_cast<std::size_t>(k));
    if ((d & 0xc0) != 0x80) {
      ++i;
      return 0xfffd;
    }
    cp = (cp << 6) | (d & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
    ++i;
    return 0xfffd;
  }
  i += static_cast<std::size_t>(len);
  return cp;
}

void put_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

void put_u_escape(std::string& out, std::uint32_t unit) {
  static const char* hex = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += hex[(unit >> shift) & 0xf];
}

void put_string(std::string& out, const std::string& s, bool ascii) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    std::uint32_t cp = next_code_point(s, i);
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\b': out += "\\b"; continue;
      case '\f': out += "\\f"; continue;
      default: break;
    }
    if (cp < 0x20) {
      put_u_escape(out, cp);
    } else if (ascii && cp >= 0x7f) {
      // Everything outside " ".."~" is escaped in this layout, DEL included.
      if (cp >= 0x10000) {
        std::uint32_t v = cp - 0x10000;
        put_u_escape(out, 0xd800 + (v >> 10));
        put_u_escape(out, 0xdc00 + (v & 0x3ff));
      } else {
        put_u_escape(out, cp);
      }
    } else {
      put_utf8(out, cp);
    }
  }
  out += '"';
}

struct Style {
  bool python;  // json.dumps defaults instead of compact
};

void dump(std::string& out, const Json& v, Style st) {
  switch (v.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
    case Json::value_t::binary:
      out += "null";
      return;
    case Json::value_t::boolean:
      out += v.get<bool>() ? "true" : "false";
      return;
    case Json::value_t::number_integer:
      out += std::to_string(v.get<std::int64_t>());
      return;
    case Json::value_t::number_unsigned:
      out += std::to_string(v.get<std::uint64_t>());
      return;
    case Json::value_t::number_float: {
      double d = v.get<double>();
      if (std::isnan(d)) out += st.python ? "NaN" : "null";
      else if (std::isinf(d)) out += st.python ? (d > 0 ? "Infinity" : "-Infinity") : "null";
      else out += base::py_float_str(d);
      return;
    }
    case Json::value_t::string:
      put_string(out, v.get_ref<const std::string&>(), st.python);
      return;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& e : v) {
        if (!first) out += st.python ? ", " : ",";
        first = false;
        dump(out, e, st);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += st.python ? ", " : ",";
        first = false;
        put_string(out, it.key(), st.python);
        out += st.python ? ": " : ":";
        dump(out, it.value(), st);
      }
      out += '}';
      return;
    }
  }
}

}  // namespace

std::string dump_json(const Json& value) {
  std::string out;
  dump(out, value, Style{false});
  return out;
}

std::string dump_json_python(const Json& value) {
  std::string out;
  dump(out, value, Style{true});
  return out;
}

}  // namespace vekt::web
