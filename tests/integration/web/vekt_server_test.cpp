// vekt-server as a process: settings errors, serving the API description, exit on SIGTERM.
#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/http.hpp"
#include "support/process.hpp"

namespace {

using vekt::testing::http;
using vekt::testing::run_server_to_exit;
using vekt::testing::ServerProcess;

TEST(VektServer, BadSettingExitsNamingIt) {
  struct Case {
    const char* name;
    const char* value;
  };
  const Case cases[] = {{"VEKT_PORT", "80x"},
                        {"VEKT_THREADS", "-2"},
                        {"FORWARDED_ALLOW_IPS", "nope"},
                        {"VEKT_DB_POOL_SIZE", "abc"},
                        {"DATABASE_URL", "postgresql://127.0.0.1:15432/gis?sslmode"},
                        {"VEKT_REDIS_POOL", "0"},
                        {"REDIS_PORT", "abc"}};
  for (const auto& c : cases) {
    const auto p = run_server_to_exit({{c.name, c.value}});
    int code = p.exit_code;
    EXPECT_EQ(code, 2) << c.name << "=" << c.value;
    EXPECT_NE(code, 0) << c.name << "=" << c.value;
    EXPECT_EQ(p.err.rfind(std::string("vekt-server: ") + c.name + ":", 0), 0u) << p.err;
    EXPECT_NE(p.err.find(c.name), std::string::npos) << p.err;
  }
}

TEST(VektServer, ServesTheApiDescriptionAndStopsOnSigterm) {
  // Port 0: the server takes one of the kernel's and names it on its "Listening on" line.
  ServerProcess p({{"VEKT_PORT", "0"}, {"VEKT_THREADS", "2"}});
  ASSERT_NE(p.port(), 0) << p.stderr_text();
  auto doc = nlohmann::json::parse(http(p.port(), "GET", "/openapi.json").body, nullptr, false);
  ASSERT_FALSE(doc.is_discarded());
  EXPECT_EQ(doc["openapi"], "3.0.2");
  EXPECT_TRUE(doc.contains("paths"));
  EXPECT_EQ(p.terminate(std::chrono::seconds(20)), 0) << p.stderr_text();
}

TEST(VektServer, CorsFieldsOnEveryAnswerAndPreflights) {
  using Headers = std::vector<std::pair<std::string, std::string>>;
  const Headers from_maps = {{"Origin", "https://maps.example.org"}};
  struct Case {
    const char* origins;  // CORS_ALLOW_ORIGINS
    const char* method;
    Headers headers;
    const char* path;
    const char* status;    // status line start
    const char* contains;  // "" = must carry no Access-Control-Allow-Origin
  };
  const Case cases[] = {
      {"*", "GET", from_maps, "/openapi.json", "HTTP/1.1 200", "Access-Control-Allow-Origin: *"},
      {"*", "GET", {}, "/nowhere", "HTTP/1.1 404", "Access-Control-Allow-Origin: *"},
      {"*", "OPTIONS",
       {{"Origin", "https://maps.example.org"}, {"Access-Control-Request-Method", "GET"},
        {"Access-Control-Request-Headers", "authorization"}},
       "/gis/layers/", "HTTP/1.1 200", "Access-Control-Allow-Headers: authorization"},
      // Emptying the cache and the plans are offered to no origin through "*", only by name.
      {"*", "OPTIONS", {{"Origin", "https://maps.example.org"}, {"Access-Control-Request-Method", "POST"}},
       "/gis/cache/invalidate/all", "HTTP/1.1 400", ""},
      {"*", "GET", from_maps, "/plans/1/site-plan", "HTTP/1.1 403", ""},
      {"*", "GET", from_maps, "/plans/nowhere", "HTTP/1.1 404", ""},
      {"*,https://maps.example.org", "OPTIONS",
       {{"Origin", "https://maps.example.org"}, {"Access-Control-Request-Method", "POST"}},
       "/gis/cache/invalidate/all", "HTTP/1.1 200", "Access-Control-Allow-Origin: https://maps.example.org"},
      {"*,https://maps.example.org", "GET", from_maps, "/plans/1/site-plan", "HTTP/1.1 403",
       "Access-Control-Allow-Origin: https://maps.example.org"},
      {"*,https://maps.example.org", "GET", from_maps, "/gis/layers/", "HTTP/1.1 200", "Access-Control-Allow-Origin: *"},
      {"https://maps.example.org", "GET", from_maps, "/nowhere", "HTTP/1.1 404",
       "Access-Control-Allow-Origin: https://maps.example.org"},
      {"https://maps.example.org", "GET", {{"Origin", "https://evil.example"}}, "/nowhere", "HTTP/1.1 404", ""},
      {"", "GET", from_maps, "/nowhere", "HTTP/1.1 404", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("CORS_ALLOW_ORIGINS=") + c.origins + " " + c.method + " " + c.path);
    ServerProcess p({{"VEKT_PORT", "0"}, {"VEKT_THREADS", "1"}, {"CORS_ALLOW_ORIGINS", c.origins}});
    const std::string out = http(p.port(), c.method, c.path, c.headers).head;
    EXPECT_EQ(out.rfind(c.status, 0), 0u) << out;
    if (*c.contains)
      EXPECT_NE(out.find(c.contains), std::string::npos) << out;
    else
      EXPECT_EQ(out.find("Access-Control-Allow-Origin"), std::string::npos) << out;
    EXPECT_EQ(p.terminate(std::chrono::seconds(20)), 0) << p.stderr_text();
  }
}

}  // namespace
