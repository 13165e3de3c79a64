// The API page (docs/api.md) and the description the server publishes (/openapi.json) name the
// same routes of /gis and /plans, each with the same statuses, so neither can drift from the code.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/http.hpp"
#include "support/process.hpp"

namespace {

using vekt::testing::http;
using vekt::testing::ServerProcess;

// "GET /gis/{layer_name}/" -> the statuses given for it.
using Statuses = std::map<std::string, std::set<std::string>>;

bool documented_prefix(const std::string& path) { return path.starts_with("/gis/") || path.starts_with("/plans/"); }

// "### GET /gis/..." -> "GET /gis/..."; "" for any other line.
std::string route_heading(const std::string& line) {
  if (!line.starts_with("### ")) return "";
  const std::size_t space = line.find(' ', 4);
  if (space == std::string::npos || space == 4) return "";
  const std::string method = line.substr(4, space - 4), path = line.substr(space + 1);
  const bool verb = std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  if (!verb || path.find(' ') != std::string::npos || !documented_prefix(path)) return "";
  return method + " " + path;
}

// "| 204 | ..." -> "204"; "" for any other line.
std::string status_of_row(const std::string& line) {
  if (line.size() < 7 || !line.starts_with("| ") || line.substr(5, 2) != " |") return "";
  const std::string code = line.substr(2, 3);
  const bool digits = std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; });
  return digits && code[0] >= '1' && code[0] <= '5' ? code : "";
}

// A route's section runs from its heading "### GET /gis/..." to the next heading of level 1 to 3;
// its statuses are the rows of its tables that begin with a status code.
Statuses page_statuses(const std::string& page) {
  Statuses out;
  std::string route;
  std::istringstream lines(page);
  for (std::string line; std::getline(lines, line);) {
    if (const std::string heading = route_heading(line); !heading.empty()) {
      route = heading;
      out[route];
    } else if (line.starts_with("# ") || line.starts_with("## ") || line.starts_with("### ")) {
      route.clear();
    } else if (const std::string code = status_of_row(line); !route.empty() && !code.empty()) {
      out[route].insert(code);
    }
  }
  return out;
}

Statuses published_statuses(const nlohmann::json& doc) {
  Statuses out;
  for (const auto& [path, item] : doc.at("paths").items()) {
    if (!documented_prefix(path)) continue;
    for (const auto& [method, op] : item.items()) {
      std::string verb = method;
      std::transform(verb.begin(), verb.end(), verb.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
      auto& statuses = out[verb + " " + path];
      for (const auto& [status, answer] : op.at("responses").items()) statuses.insert(status);
    }
  }
  return out;
}

std::string joined(const std::set<std::string>& items) {
  std::string out;
  for (const auto& s : items) out += (out.empty() ? "" : ", ") + s;
  return out;
}

TEST(ApiPage, NamesEveryRouteAndStatusTheServerPublishesAndNoOther) {
  std::ifstream in(std::filesystem::path(VEKT_SOURCE_DIR) / "docs" / "api.md");
  ASSERT_TRUE(in) << "docs/api.md";
  const Statuses page = page_statuses(std::string(std::istreambuf_iterator<char>(in), {}));

  ServerProcess server(std::map<std::string, std::string>{{"VEKT_THREADS", "1"}});
  const auto doc = nlohmann::json::parse(http(server.port(), "GET", "/openapi.json").body, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << server.stderr_text();
  const Statuses published = published_statuses(doc);
  ASSERT_FALSE(published.empty());

  for (const auto& [route, statuses] : published) {
    const auto it = page.find(route);
    if (it == page.end()) {
      ADD_FAILURE() << route << " is published but has no section on docs/api.md";
      continue;
    }
    std::set<std::string> missing, extra;
    std::set_difference(statuses.begin(), statuses.end(), it->second.begin(), it->second.end(),
                        std::inserter(missing, missing.end()));
    std::set_difference(it->second.begin(), it->second.end(), statuses.begin(), statuses.end(),
                        std::inserter(extra, extra.end()));
    EXPECT_TRUE(missing.empty()) << route << ": published, not on the page: " << joined(missing);
    EXPECT_TRUE(extra.empty()) << route << ": on the page, not published: " << joined(extra);
  }
  for (const auto& [route, statuses] : page)
    EXPECT_TRUE(published.contains(route)) << route << " is on docs/api.md but the server has no such route";
  EXPECT_EQ(server.terminate(std::chrono::seconds(20)), 0) << server.stderr_text();
}

}  // namespace
