#pragma once
// The ".env" file: found in a directory or its nearest parent that has one, parsed with the
// usual subset (export prefix, quotes, escapes in double quotes, comments, ${VAR} expansion),
// and merged into the process environment without overriding what is already set.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vekt::base {

// The assignments of a dotenv text in file order. A leading UTF-8 byte order mark is skipped. A
// bare "KEY" line sets nothing and is left out; "KEY=" gives "". ${VAR} and ${VAR:-default} expand
// outside single quotes: `lookup` (the environment, which wins) first, then the keys earlier in the
// same text, else the default or "". A line that cannot be parsed (an unterminated quote, text
// after a closing quote, no key, a key followed by anything but "=") is skipped, and its number
// (from 1) added to `unparsed` when given; the other lines still count.
using EnvLookup = std::optional<std::string> (*)(const std::string& name);
std::vector<std::pair<std::string, std::string>> parse_dotenv(std::string_view text, EnvLookup lookup = nullptr,
                                                              std::vector<std::size_t>* unparsed = nullptr);

// The first regular file ".env" in `start` or one of its parents, if any.
std::optional<std::filesystem::path> find_dotenv(const std::filesystem::path& start);

// Find ".env" from the working directory upwards and set every key the environment lacks.
// Returns the file used, if any. A missing file is not an error; an unreadable one throws Error.
// Each line that cannot be parsed gives one warning on standard error:
// "WARNING: /path/.env:3: could not parse this line; it is ignored".
std::optional<std::filesystem::path> load_dotenv();
std::optional<std::filesystem::path> load_dotenv(const std::filesystem::path& file);

}  // namespace vekt::base
