// vekt-server as a process: settings errors, serving the API description, exit on SIGTERM.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/command.hpp"
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
                        {"DATABASE_URL", ""},
                        {"DATABASE_URL", "postgres://user@host:port/db"},
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

// One server's loops would open more database connections than its pool allows: refused before it
// starts, naming both settings, like any other bad setting.
TEST(VektServer, MoreEventLoopsThanDatabaseConnectionsExitNamingBoth) {
  const auto p = run_server_to_exit({{"VEKT_THREADS", "1000"}, {"VEKT_DB_POOL_SIZE", "10"}});
  EXPECT_EQ(p.exit_code, 2) << p.err;
  EXPECT_EQ(p.err.rfind("vekt-server: VEKT_THREADS: ", 0), 0u) << p.err;
  EXPECT_NE(p.err.find("VEKT_DB_POOL_SIZE"), std::string::npos) << p.err;
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

// Standard error to a pipe whose reader goes away (a log shipper that died, "| tee" ended): the
// lines that cannot be written are lost, and the server serves on and stops cleanly.
TEST(VektServer, AClosedLogPipeDoesNotEndTheServer) {
  vekt::testing::ScratchDir dir("vekt-log-pipe");
  const std::string fifo = dir.path() + "/log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ServerProcess p({{"VEKT_THREADS", "1"}}, vekt::testing::Launcher({"sh", "-c", "exec \"$0\" 2>" + vekt::testing::sh_quote(fifo)}));
  char buf[65536];
  const ssize_t got = ::read(reader, buf, sizeof buf);
  ASSERT_GT(got, 0);
  EXPECT_NE(std::string(buf, static_cast<std::size_t>(got)).find("Listening on"), std::string::npos);
  ::close(reader);
  // Each of these logs a line ("Layer plots not available at zoom 1 ...") into the pipe nobody reads.
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(http(p.port(), "GET", "/gis/plots/1/0/0.pbf").status, 204);
    EXPECT_TRUE(p.running());
  }
  EXPECT_EQ(http(p.port(), "GET", "/openapi.json").status, 200);
  EXPECT_EQ(p.terminate(std::chrono::seconds(20)), 0);
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
