// vekt-server's plan routes when the database fails (an outage is a 503 to try again, a database
// that does not answer a 504, and service comes back by itself), when forwarding headers would
// pass a remote client off as a local one, and when a request carries its credentials twice.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/all.hpp"
#include "support/silent_listener.hpp"

namespace {

using vekt::testing::http;
using vekt::testing::HttpResponse;
using vekt::testing::Loopback;
using vekt::testing::ServerProcess;
using Env = std::map<std::string, std::string>;
using Fields = std::vector<std::pair<std::string, std::string>>;
using namespace std::chrono_literals;

// vekt-server with the plan routes and `extra`.
Env plans_with(Env extra) {
  Env env{{"VEKT_PROJECT_ROOT", VEKT_SOURCE_DIR}, {"VEKT_THREADS", "2"}, {"VEKT_PDF_WORKERS", "1"}};
  for (auto& [k, v] : extra) env[k] = v;
  return env;
}

std::string detail(const HttpResponse& r) {
  const auto body = nlohmann::json::parse(r.body, nullptr, false);
  return body.is_object() && body.contains("detail") ? body["detail"].get<std::string>() : r.body;
}

// The server's standard error once it holds `text` (waits at most 5 s for the line).
std::string stderr_with(ServerProcess& server, const std::string& text) {
  std::string log = server.stderr_text();
  for (int i = 0; i < 50 && log.find(text) == std::string::npos; ++i) {
    std::this_thread::sleep_for(100ms);
    log = server.stderr_text();
  }
  return log;
}

// The status of one request over a fresh loopback connection of the given kind.
int status_over(Loopback over, int port, const std::string& method, const std::string& target, const Fields& fields) {
  vekt::testing::Connection c(port, std::chrono::seconds(60), over);
  if (!c.connected()) return 0;
  std::string request = method + " " + target + " HTTP/1.1\r\nConnection: close\r\n";
  if (method == "POST") request += "Content-Length: 0\r\n";
  bool named = false;
  for (const auto& [k, v] : fields) {
    request += k + ": " + v + "\r\n";
    named = named || k == "Host";
  }
  if (!named) request += "Host: localhost\r\n";
  c.send(request + "\r\n");
  const auto reply = c.read_reply();
  return reply ? reply->status : 0;
}

class PlanServiceFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto u = vekt::testing::env("DATABASE_URL");
    if (!u) GTEST_SKIP() << "DATABASE_URL is not set";
    url_ = *u;
  }
  std::string url_;
};

TEST_F(PlanServiceFaults, ADatabaseThatRefusesOrDoesNotAnswerIsAnOutageOrATimeOut) {
  vekt::testing::SilentListener silent;
  ASSERT_NE(silent.port(), 0);
  struct Case {
    const char* fault;
    int port;
    int status;
    const char* detail;
    const char* cause;  // in the log line
  };
  const Case cases[] = {
      {"refused", vekt::testing::free_port(), 503, "The database is not available. Please try again shortly.",
       "the database is not available: "},
      {"silent", silent.port(), 504, "The database did not answer in time. Please try again shortly.",
       "the database did not answer in time: timeout expired while connecting to the database"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    ServerProcess server(plans_with({{"DATABASE_URL", "postgresql://postgres@127.0.0.1:" + std::to_string(c.port) + "/gis"}}));
    const HttpResponse r = http(server.port(), "GET", "/plans/999/site-plan");
    EXPECT_EQ(r.status, c.status) << r.body;
    EXPECT_EQ(detail(r), c.detail);
    EXPECT_EQ(r.header("Retry-After").has_value(), c.status == 503);
    EXPECT_EQ(r.header("Cache-Control"), "no-store");
    const std::string line = std::string("ERROR:vekt.plans:Plan document GET /plans/999/site-plan failed: ") + c.cause;
    const std::string log = stderr_with(server, line);
    EXPECT_NE(log.find(line), std::string::npos) << log;
  }
}

// A role at its connection limit is the same outage as a server out of connections; once it has
// room again the next request is served, with no restart.
TEST_F(PlanServiceFaults, ARoleOutOfConnectionsIsAnOutageUntilItHasRoomAgain) {
  vekt::testing::SyncPg admin(url_);
  const std::string role = "vekt_plans_limited_" + std::to_string(::getpid());
  admin.exec("DROP ROLE IF EXISTS " + role);
  admin.exec("CREATE ROLE " + role + " LOGIN CONNECTION LIMIT 0");
  admin.exec("GRANT pg_read_all_data TO " + role);
  const std::size_t at = url_.find("://") + 3;
  const std::string limited = url_.substr(0, at) + role + url_.substr(url_.find('@', at));
  {
    ServerProcess server(plans_with({{"DATABASE_URL", limited}}));
    const HttpResponse out = http(server.port(), "POST", "/plans/999/deed-plan", {},
                                  R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p"})");
    EXPECT_EQ(out.status, 503) << out.body;
    EXPECT_EQ(detail(out), "The database is not available. Please try again shortly.");
    EXPECT_TRUE(out.header("Retry-After"));
    const std::string log = stderr_with(server, "too many connections for role");
    EXPECT_NE(log.find("ERROR:vekt.plans:Plan document POST /plans/999/deed-plan failed: the database is not available: "),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("too many connections for role"), std::string::npos) << log;

    admin.exec("ALTER ROLE " + role + " CONNECTION LIMIT -1");
    const HttpResponse back = http(server.port(), "GET", "/plans/999/site-plan");
    EXPECT_EQ(back.status, 404) << back.body;
    EXPECT_EQ(detail(back), "Plot 999 not found");
  }
  admin.exec("DROP ROLE " + role);
}

// Without a token a request is local only when it comes over loopback, every forwarding header it
// carries leads, through trusted proxies, to this machine, its Host names this machine and its
// Origin, if any, is a loopback one; the tile cache's invalidation keeps the same rule. An unknown
// parcel (404) shows that a caller was let through.
TEST_F(PlanServiceFaults, AForwardedRequestIsLocalOnlyWhenEveryHeaderLeadsHere) {
  struct Case {
    Loopback over;
    Fields fields;
    bool local;
  };
  struct Setup {
    const char* name;
    Env env;
    std::vector<Case> cases;
  };
  const std::vector<Setup> setups = {
      {"every peer trusted",
       {{"FORWARDED_ALLOW_IPS", "*"}},
       {{Loopback::v4, {}, true},
        {Loopback::v4, {{"X-Forwarded-For", "127.0.0.1"}}, false},
        {Loopback::v4, {{"Forwarded", "for=127.0.0.1"}}, false}}},
      // Listening on every address, so that a proxy on this machine may come over ::1.
      {"the default proxies",
       {{"VEKT_HOST", "::"}},
       {{Loopback::v6, {}, true},
        {Loopback::v6, {{"X-Forwarded-For", "203.0.113.7"}}, false},
        {Loopback::v6, {{"X-Forwarded-For", "::1"}}, true},
        {Loopback::v4, {{"Forwarded", "for=203.0.113.7"}}, false},
        {Loopback::v4, {{"Forwarded", "for=\"[::1]:4711\""}}, true},
        {Loopback::v4, {{"X-Forwarded-For", "127.0.0.1"}, {"Forwarded", "for=198.51.100.4"}}, false},
        // A page of another site in a browser here, or one reaching us through a name of its own.
        {Loopback::v4, {{"Origin", "http://evil.example"}}, false},
        {Loopback::v6, {{"Host", "evil.example:8000"}}, false},
        {Loopback::v6, {{"Host", "[::1]:8000"}, {"Origin", "http://[::1]:8000"}}, true}}},
  };
  for (const Setup& s : setups) {
    ServerProcess server(plans_with(s.env));
    for (const Case& c : s.cases) {
      std::string trace = std::string(s.name) + (c.over == Loopback::v6 ? ", over ::1" : ", over 127.0.0.1");
      for (const auto& [k, v] : c.fields) trace += ", " + k + ": " + v;
      SCOPED_TRACE(trace);
      EXPECT_EQ(status_over(c.over, server.port(), "GET", "/plans/999/site-plan", c.fields), c.local ? 404 : 403);
      EXPECT_EQ(status_over(c.over, server.port(), "POST", "/gis/cache/invalidate/roads", c.fields),
                c.local ? 200 : 403);
    }
  }
}

// Two Authorization headers are refused whichever comes first: which one a proxy in between acted
// on cannot be known.
TEST_F(PlanServiceFaults, MoreThanOneAuthorizationHeaderIsABadRequest) {
  ServerProcess server(plans_with({{"VEKT_PLAN_TOKEN", "plan-s3cret"}, {"VEKT_ADMIN_TOKEN", "admin-s3cret"}}));
  struct Case {
    Fields plan;
    Fields admin;
    int plan_status;
    int admin_status;
  };
  const Case cases[] = {
      {{{"Authorization", "Bearer plan-s3cret"}},
       {{"Authorization", "Bearer admin-s3cret"}},
       404,
       200},
      {{{"Authorization", "Bearer plan-s3cret"}, {"Authorization", "Bearer wrong"}},
       {{"Authorization", "Bearer admin-s3cret"}, {"Authorization", "Bearer wrong"}},
       400,
       400},
      {{{"Authorization", "Bearer wrong"}, {"Authorization", "Bearer plan-s3cret"}},
       {{"Authorization", "Bearer wrong"}, {"authorization", "Bearer admin-s3cret"}},
       400,
       400},
      {{{"Authorization", "Bearer plan-s3cret"}, {"Authorization", "Bearer plan-s3cret"}},
       {{"Authorization", "Bearer admin-s3cret"}, {"Authorization", "Bearer admin-s3cret"}},
       400,
       400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plan.back().second + " of " + std::to_string(c.plan.size()));
    const HttpResponse plan = http(server.port(), "GET", "/plans/999/site-plan", c.plan);
    EXPECT_EQ(plan.status, c.plan_status) << plan.body;
    EXPECT_EQ(plan.header("Cache-Control"), "no-store");
    const HttpResponse admin = http(server.port(), "POST", "/gis/cache/invalidate/roads", c.admin);
    EXPECT_EQ(admin.status, c.admin_status) << admin.body;
    if (c.plan_status == 400) {
      EXPECT_EQ(detail(plan), "Only one Authorization header may be sent");
      EXPECT_EQ(detail(admin), "Only one Authorization header may be sent");
    }
  }
}

// A template that never answers (a FIFO standing for a hung network mount) with eight deed plans
// reading it costs only those documents: each gets its 500 after the read's time limit, with a log
// line naming the file, while tile misses that must connect to the database afresh (a name to look
// up) are served at their usual pace meanwhile.
TEST_F(PlanServiceFaults, AHungTemplateHoldsUpOnlyTheDocumentsThatReadIt) {
  namespace fs = std::filesystem;
  vekt::testing::ScratchDir root("vekt-hung-template");
  fs::create_directories(fs::path(root.path()) / "templates");
  fs::copy_file(fs::path(VEKT_SOURCE_DIR) / "templates/siteplan.html", fs::path(root.path()) / "templates/siteplan.html");
  const std::string fifo = root.path() + "/templates/deedplan.html";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  // A host name, so that every new connection looks it up on the server's helper threads.
  const std::size_t at = url_.find('@') + 1;
  const std::string by_name = url_.substr(0, at) + "localhost" + url_.substr(url_.find(':', at));
  ServerProcess server(plans_with({{"VEKT_PROJECT_ROOT", root.path()}, {"DATABASE_URL", by_name}, {"REDIS_HOST", "localhost"}}));
  const auto tile = [&](int i) {
    return http(server.port(), "GET", "/gis/roads/14/" + std::to_string(8000 + i) + "/8000.pbf");
  };
  ASSERT_LT(tile(0).status, 300);

  std::vector<std::future<HttpResponse>> plans;
  for (int i = 0; i < 8; ++i)
    plans.push_back(std::async(std::launch::async, [&] {
      return http(server.port(), "POST", "/plans/999/deed-plan", {},
                  R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p"})");
    }));
  std::this_thread::sleep_for(500ms);
  vekt::testing::SyncPg(url_).exec(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database() "
      "AND backend_type = 'client backend' AND pid <> pg_backend_pid()");
  for (int i = 1; i <= 10; ++i) {
    SCOPED_TRACE("tile " + std::to_string(i));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_LT(tile(i).status, 300);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  }
  for (auto& p : plans) {
    const HttpResponse r = p.get();
    EXPECT_EQ(r.status, 500) << r.body;
  }
  const std::string log = stderr_with(server, "was not read within its time limit");
  EXPECT_NE(log.find("templates/deedplan.html: was not read within its time limit"), std::string::npos) << log;

  // The file answers at last (empty), and what is read from now on is a plain file again, so the
  // reads still waiting end and the server can stop.
  const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  const std::string plain = root.path() + "/templates/deedplan.plain";
  std::ofstream(plain) << "<html></html>";
  fs::rename(plain, fifo);
  std::this_thread::sleep_for(100ms);
  if (writer >= 0) ::close(writer);
  EXPECT_EQ(server.terminate(30s), 0) << server.stderr_text();
}

}  // namespace
