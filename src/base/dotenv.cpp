#include "base/dotenv.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <system_error>

#include "base/error.hpp"

namespace vekt::base {
namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}
  bool done() const { return i_ >= s_.size(); }
  char peek() const { return done() ? '\0' : s_[i_]; }
  char get() { return s_[i_++]; }
  void skip_inline_blanks() {
    while (!done() && (peek() == ' ' || peek() == '\t')) ++i_;
  }
  bool at_line_end() const { return done() || peek() == '\n' || peek() == '\r'; }
  // To the start of the next line; "\n", "\r\n" and a lone "\r" all end a line.
  void skip_line() {
    while (!at_line_end()) ++i_;
    if (!done() && get() == '\r' && peek() == '\n') ++i_;
  }
  bool consume(std::string_view word) {
    if (s_.substr(i_, word.size()) == word) {
      i_ += word.size();
      return true;
    }
    return false;
  }
  std::size_t pos() const { return i_; }
  void seek(std::size_t p) { i_ = p; }
  std::string_view rest_of_line() {
    std::size_t start = i_;
    while (!at_line_end()) ++i_;
    return s_.substr(start, i_ - start);
  }

 private:
  std::string_view s_;
  std::size_t i_ = 0;
};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Quoted value after its opening quote; false when the closing quote is missing.
bool read_quoted(Reader& r, char quote, std::string& out) {
  while (!r.done()) {
    char c = r.get();
    if (c == quote) return true;
    if (c == '\\' && !r.done()) {
      char n = r.peek();
      if (quote == '\'') {
        if (n == '\\' || n == '\'') {
          out += r.get();
          continue;
        }
      } else {
        const char* from = "\\'\"abfnrtv";
        const char* to = "\\'\"\a\b\f\n\r\t\v";
        if (const char* p = std::strchr(from, n); p != nullptr && n != '\0') {
          r.get();
          out += to[p - from];
          continue;
        }
      }
    }
    out += c;
  }
  return false;
}

std::string expand(std::string_view value, EnvLookup lookup,
                   const std::map<std::string, std::string, std::less<>>& seen) {
  std::string out;
  std::size_t i = 0;
  while (i < value.size()) {
    if (value[i] == '$' && i + 1 < value.size() && value[i + 1] == '{') {
      std::size_t close = value.find('}', i + 2);
      if (close != std::string_view::npos) {
        std::string_view inner = value.substr(i + 2, close - i - 2);
        std::size_t colon = inner.find(':');
        std::string_view name = inner.substr(0, colon);
        std::optional<std::string_view> fallback;
        bool ok = true;
        if (colon != std::string_view::npos) {
          if (inner.substr(colon, 2) == ":-") fallback = inner.substr(colon + 2);
          else ok = false;
        }
        if (ok) {
          std::optional<std::string> found;
          if (lookup != nullptr) found = lookup(std::string(name));
          if (!found) {
            if (auto it = seen.find(name); it != seen.end()) found = it->second;
          }
          if (found) out += *found;
          else if (fallback) out += *fallback;
          i = close + 1;
          continue;
        }
      }
    }
    out += value[i++];
  }
  return out;
}

std::optional<std::string> getenv_lookup(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

// The key of the line at `r` (after an optional "export "), or nullopt with the line skipped
// when it has none.
std::optional<std::string> read_key(Reader& r) {
  std::size_t line_start = r.pos();
  if (r.consume("export") && (r.peek() == ' ' || r.peek() == '\t')) {
    r.skip_inline_blanks();
  } else {
    r.seek(line_start);
  }
  std::string key;
  if (r.peek() == '\'') {
    // 'KEY WITH BLANKS'=value: the key is everything up to the next quote.
    r.get();
    std::size_t after_quote = r.pos();
    while (!r.done() && r.peek() != '\'') key += r.get();
    if (r.done()) {  // unterminated: skip this line only
      r.seek(after_quote);
      r.skip_line();
      return std::nullopt;
    }
    r.get();
  } else {
    while (!r.done() && r.peek() != '=' && r.peek() != '#' && !is_space(r.peek())) key += r.get();
  }
  if (key.empty()) {
    r.skip_line();
    return std::nullopt;
  }
  return key;
}

struct RawValue {
  std::string text;
  bool interpolate = true;  // double-quoted or unquoted
};

// The value after "=", or nullopt with the line skipped when it is malformed.
std::optional<RawValue> read_value(Reader& r) {
  RawValue value;
  if (r.peek() == '\'' || r.peek() == '"') {
    char q = r.get();
    value.interpolate = q == '"';
    std::size_t after_quote = r.pos();
    if (!read_quoted(r, q, value.text)) {  // unterminated: skip this line only
      r.seek(after_quote);
      r.skip_line();
      return std::nullopt;
    }
    r.skip_inline_blanks();
    if (r.peek() == '#') r.rest_of_line();
    if (!r.at_line_end()) {
      r.skip_line();
      return std::nullopt;
    }
    return value;
  }
  std::string part(r.rest_of_line());
  // An inline comment needs a blank before its "#".
  for (std::size_t k = 1; k < part.size(); ++k) {
    if (part[k] == '#' && is_space(part[k - 1])) {
      std::size_t b = k - 1;
      while (b > 0 && is_space(part[b - 1])) --b;
      part.resize(b);
      break;
    }
  }
  while (!part.empty() && is_space(part.back())) part.pop_back();
  value.text = std::move(part);
  return value;
}

// The 1-based number of the line that `pos` lies on; "\n", "\r\n" and a lone "\r" end a line.
std::size_t line_at(std::string_view text, std::size_t pos) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < pos && i < text.size(); ++i)
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) ++line;
  return line;
}

constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

}  // namespace

std::vector<std::pair<std::string, std::string>> parse_dotenv(std::string_view text, EnvLookup lookup,
                                                              std::vector<std::size_t>* unparsed) {
  std::vector<std::pair<std::string, std::string>> out;
  std::map<std::string, std::string, std::less<>> seen;
  // An editor's byte order mark is no part of the first key.
  if (text.starts_with(BYTE_ORDER_MARK)) text.remove_prefix(BYTE_ORDER_MARK.size());
  Reader r(text);
  std::size_t statement = 0;
  auto cannot_take = [&] {
    if (unparsed != nullptr) unparsed->push_back(line_at(text, statement));
  };
  while (!r.done()) {
    // Blank lines and comment lines.
    while (!r.done() && is_space(r.peek())) r.get();
    if (r.done()) break;
    if (r.peek() == '#') {
      r.skip_line();
      continue;
    }
    statement = r.pos();
    std::optional<std::string> key = read_key(r);
    if (!key) {
      cannot_take();
      continue;
    }
    r.skip_inline_blanks();
    if (r.peek() != '=') {
      // "KEY" alone (optionally followed by a comment) sets nothing; anything else is malformed.
      if (!r.at_line_end() && r.peek() != '#') cannot_take();
      r.skip_line();
      continue;
    }
    r.get();
    r.skip_inline_blanks();
    std::optional<RawValue> raw = read_value(r);
    if (!raw) {
      cannot_take();
      continue;
    }
    r.skip_line();
    std::string value = raw->interpolate ? expand(raw->text, lookup, seen) : std::move(raw->text);
    seen[*key] = value;
    out.emplace_back(std::move(*key), std::move(value));
  }
  return out;
}

std::optional<std::filesystem::path> find_dotenv(const std::filesystem::path& start) {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::absolute(start, ec);
  if (ec) return std::nullopt;
  for (;;) {
    std::filesystem::path candidate = dir / ".env";
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    if (!dir.has_parent_path() || dir.parent_path() == dir) return std::nullopt;
    dir = dir.parent_path();
  }
}

std::optional<std::filesystem::path> load_dotenv(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw Error("cannot read " + file.string() + ": " + std::strerror(errno));
  std::ostringstream buf;
  buf << in.rdbuf();
  // A key given twice takes its last value; only a key the environment had before loading
  // keeps the environment's value.
  std::map<std::string, std::string, std::less<>> file_values;
  std::vector<std::size_t> unparsed;
  for (auto& [key, value] : parse_dotenv(buf.str(), &getenv_lookup, &unparsed)) file_values[key] = std::move(value);
  // A line dropped without a word would leave its setting at a default nobody chose.
  for (std::size_t line : unparsed)
    std::cerr << "WARNING: " << file.string() << ":" << line << ": could not parse this line; it is ignored\n";
  for (const auto& [key, value] : file_values) {
    if (std::getenv(key.c_str()) != nullptr) continue;
    ::setenv(key.c_str(), value.c_str(), /*overwrite=*/1);
  }
  return file;
}

std::optional<std::filesystem::path> load_dotenv() {
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  if (ec) return std::nullopt;
  auto file = find_dotenv(cwd);
  if (!file) return std::nullopt;
  return load_dotenv(*file);
}

}  // namespace vekt::base
