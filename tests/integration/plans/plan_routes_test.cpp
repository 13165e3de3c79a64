// The plan routes over HTTP with a stand-in figure: what the figure is given, the particulars on
// both documents, and every way a request can fail, against the real database and PDF workers.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "support/all.hpp"
#include "brellow/errors.hpp"
#include "brellow/generator.hpp"
#include "brellow/service.hpp"
#include "host/database.hpp"
#include "host/logger.hpp"
#include "host/utils.hpp"
#include "pdf_tools.hpp"
#include "plan_server.hpp"
#include "support/run.hpp"
#include "pdf/pool.hpp"
#include "web/json.hpp"

namespace {

using namespace std::chrono_literals;
using vekt::testing::http;
using vekt::testing::HttpResponse;
using plans_test::StandInFigure;
using vekt::web::Json;

const std::string DEED_BODY =
    R"({"district": "ikeja", "cadzone": "c05", "file_no": "lkn/9999", "person_name": "adé bísí"})";

const std::vector<vekt::plots::ScheduleItem> SHORT_LEG = {{"PB4", "PB5", "225° 07'", "4.24"}};

class PlanRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = plans_test::server_port();
    if (!p) GTEST_SKIP() << "DATABASE_URL is not set";
    port_ = *p;
  }
  HttpResponse deed(const std::string& id, const std::string& body = DEED_BODY) {
    return http(port_, "POST", "/plans/" + id + "/deed-plan", {}, body);
  }
  HttpResponse site(const std::string& id, const std::string& query = "") {
    return http(port_, "GET", "/plans/" + id + "/site-plan" + query);
  }
  int port_ = 0;
};

// The time documents are dated with, fixed for the test.
struct FrozenClock {
  std::chrono::system_clock::time_point at = std::chrono::sys_days{std::chrono::March / 5 / 2026} + 12h;
  FrozenClock() {
    vekt::host::set_clock([t = at] { return t; });
  }
  ~FrozenClock() { vekt::host::set_clock(nullptr); }
  std::string date_text() const { return "(" + vekt::host::format_date_html(at) + ")"; }
};

std::set<std::int64_t> ids_of(const std::vector<vekt::plots::PlotRecord>& plots) {
  std::set<std::int64_t> ids;
  for (const auto& p : plots) ids.insert(p.id.value());
  return ids;
}

TEST_F(PlanRoutes, UnknownParcelIsNotFound) {
  StandInFigure figure;
  for (const HttpResponse& r : {deed("999"), site("999")}) {
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, R"({"detail":"Plot 999 not found"})");
  }
  EXPECT_TRUE(figure.calls().empty());
}

TEST_F(PlanRoutes, UnknownParcelReadsTheTemplateFirstAndOneStatement) {
  StandInFigure figure;
  boost::asio::io_context io;
  vekt::pg::Session session(vekt::host::database());
  vekt::brellow::PlanImageGenerator generator(session);
  std::vector<std::string> statements;
  generator.observe_statements([&](std::string_view sql) { statements.emplace_back(sql); });
  EXPECT_FALSE(vekt::testing::run(io, generator.generate_deedplan_html(999, "d", "f", "p", "c")));
  EXPECT_EQ(statements.size(), 1u);
  EXPECT_FALSE(vekt::testing::run(io, generator.generate_siteplan_html(999)));
  EXPECT_EQ(statements.size(), 2u);

  // Without templates the same request fails on the template, before the database is asked.
  const auto root = vekt::brellow::project_root();
  const auto empty = std::filesystem::temp_directory_path() / ("plans-no-templates-" + std::to_string(::getpid()));
  std::filesystem::create_directories(empty);
  vekt::brellow::set_project_root(empty);
  EXPECT_THROW(vekt::testing::run(io, generator.generate_deedplan_html(999, "d", "f", "p", "c")),
               vekt::brellow::TemplateError);
  EXPECT_EQ(statements.size(), 2u);
  HttpResponse r = deed("999");
  vekt::brellow::set_project_root(root);
  std::filesystem::remove_all(empty);
  EXPECT_EQ(r.status, 500);  // a missing template is our fault, not an unknown parcel
  vekt::testing::run(io, session.close());
  EXPECT_TRUE(figure.calls().empty());
}

TEST_F(PlanRoutes, FigureReceivesTheNeighbourhoodAndTheBoxAsGiven) {
  StandInFigure figure;
  ASSERT_EQ(deed("101").status, 200);
  ASSERT_EQ(deed("101", R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p",
                           "bounding_box": [799990, 999990, 800060, 1000060]})")
                .status,
            200);
  ASSERT_EQ(site("101").status, 200);
  ASSERT_EQ(site("101", "?bbox=7.1862,8.9465,7.1872,8.9475").status, 200);
  const auto calls = figure.calls();
  ASSERT_EQ(calls.size(), 4u);
  const std::optional<vekt::plots::BoundingBox> boxes[] = {
      std::nullopt, vekt::plots::BoundingBox{799990, 999990, 800060, 1000060}, std::nullopt,
      vekt::plots::BoundingBox{7.1862, 8.9465, 7.1872, 8.9475}};
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const auto& c = calls[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(ids_of(c.parcel_data), (std::set<std::int64_t>{101, 102, 103}));
    EXPECT_EQ(c.selected_parcel_number, vekt::plots::ParcelNumber(std::int64_t{101}));
    ASSERT_TRUE(c.road_data);
    std::vector<std::string> roads;
    for (const auto& road : *c.road_data) roads.push_back(road.name.value_or("?"));
    EXPECT_EQ(roads, (std::vector<std::string>{"R1", "R2", "R3"}));
    EXPECT_EQ(c.columnname, "id");
    EXPECT_EQ(c.bounding_box, boxes[i]);
    EXPECT_EQ(c.max_width_mm, 190);
    EXPECT_EQ(c.max_height_mm, 160);
  }
}

// A document answer: one A4 page named `filename`, whose text holds every text of `present`, the
// schedule row of 101's short leg, and none of `absent`.
void expect_document(const HttpResponse& r, const std::string& filename, const std::vector<std::string>& present,
                     const std::vector<std::string>& absent) {
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.header("Content-Type"), "application/pdf");
  EXPECT_EQ(r.header("Content-Disposition"), "attachment; filename=\"" + filename + "\"");
  ASSERT_EQ(r.body.rfind("%PDF-", 0), 0u);
  const std::string info = plans_test::pdf_info(r.body);
  EXPECT_NE(info.find("Pages: 1"), std::string::npos) << info;
  EXPECT_NE(info.find("595.276 x 841.89 pts (A4)"), std::string::npos) << info;
  const std::string text = plans_test::pdf_text(r.body);
  for (const std::string& expected : present)
    EXPECT_NE(text.find(expected), std::string::npos) << expected << " not in: " << text;
  for (const std::string& unexpected : absent)
    EXPECT_EQ(text.find(unexpected), std::string::npos) << unexpected << " in: " << text;
  const std::string rows = plans_test::pdf_text(r.body, true);
  EXPECT_NE(rows.find("PB4 PB5 225° 07' 4.24"), std::string::npos) << rows;
}

TEST_F(PlanRoutes, DeedPlanCarriesTheCallersAndTheParcelsParticulars) {
  StandInFigure figure(SHORT_LEG);
  FrozenClock clock;
  expect_document(deed("101"), "DeedPlan_101.pdf",
                  {"PLOT 12A", "IKEJA", "C05", "LKN/9999", "ADÉ BÍSÍ", clock.date_text(), "TP/55/2019", "PB1",
                   "345678.124", "7.000", "ORBEL STATE GEOGRAPHIC INFORMATION SYSTEM SERVICE", "1:500",
                   "12A OBA AKRAN STRASSE", "SURV. DALMO RENFIK .K.Mnis"},
                  {"LKN/1234", "{{", "None"});
}

TEST_F(PlanRoutes, SitePlanCarriesTheRecordsFileNumberAndNoCallerParticulars) {
  StandInFigure figure(SHORT_LEG);
  FrozenClock clock;
  expect_document(site("101"), "SitePlan_101.pdf",
                  {"LKN/1234", "PLOT 12A", clock.date_text(), "PB1", "345678.124", "7.000",
                   "SURV. DALMO RENFIK .K.Mnis", "ORBEL STATE GEOGRAPHIC INFORMATION SYSTEM SERVICE", "1:500"},
                  {"IKEJA", "ADÉ", "12A OBA AKRAN", "{{", "None"});

  // A parcel without a file number prints nothing in its place.
  HttpResponse none = site("110");
  ASSERT_EQ(none.status, 200) << none.body;
  const std::string text110 = plans_test::pdf_text(none.body);
  EXPECT_NE(text110.find("PLOT 110"), std::string::npos) << text110;
  EXPECT_EQ(text110.find("None"), std::string::npos) << text110;
  EXPECT_EQ(text110.find("{{"), std::string::npos) << text110;
}

TEST_F(PlanRoutes, ClientMistakesAreRefusedNeverAnswered500) {
  StandInFigure figure;
  struct Case {
    std::string method, target, body;
  };
  const std::string good = DEED_BODY;
  const std::vector<Case> cases = {
      {"POST", "/plans/abc/deed-plan", good},
      {"POST", "/plans/1.5/deed-plan", good},
      {"POST", "/plans/true/deed-plan", good},
      {"POST", "/plans/99999999999999999999/deed-plan", good},
      {"GET", "/plans/abc/site-plan", ""},
      {"GET", "/plans/99999999999999999999/site-plan", ""},
      {"POST", "/plans/101/deed-plan", R"({"cadzone": "c", "file_no": "f", "person_name": "p"})"},
      {"POST", "/plans/101/deed-plan", R"({"district": 1, "cadzone": "c", "file_no": "f", "person_name": "p"})"},
      {"POST", "/plans/101/deed-plan", "not json"},
      {"POST", "/plans/101/deed-plan", ""},
      {"POST", "/plans/101/deed-plan",
       R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p", "bounding_box": [1, 2, 3]})"},
      {"POST", "/plans/101/deed-plan",
       R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p", "bounding_box": [800060, 999990, 799990, 1000060]})"},
      {"GET", "/plans/101/site-plan?bbox=1,2,3", ""},
      {"GET", "/plans/101/site-plan?bbox=nan,8.98,7.19,8.99", ""},
      {"GET", "/plans/101/site-plan?bbox=7.19,8.98,7.18,8.99", ""},
      {"GET", "/plans/101/site-plan?bbox=0,0,50,50", ""},
      {"GET", "/plans/101/site-plan?bbox=1e400,8.98,7.19,8.99", ""},
      {"POST", "/plans/101/deed-plan",
       R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p", "bounding_box": [1e400, 0, 1, 1]})"},
      {"POST", "/plans/101/deed-plan", R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p", "n": -1e309})"},
  };
  for (const Case& c : cases) {
    HttpResponse r = http(port_, c.method, c.target, {}, c.body);
    EXPECT_EQ(r.status, 422) << c.method << " " << c.target << " " << c.body << " -> " << r.body;
    Json detail = Json::parse(r.body, nullptr, false);
    ASSERT_TRUE(detail.is_object() && detail.contains("detail")) << r.body;
    ASSERT_TRUE(detail["detail"].is_array()) << r.body;
    EXPECT_TRUE(detail["detail"][0].contains("loc") && detail["detail"][0].contains("msg")) << r.body;
  }
  HttpResponse overflow = http(port_, "POST", "/plans/101/deed-plan", {},
                               R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p", "bounding_box": [0, 1e400, 1, 1]})");
  EXPECT_EQ(overflow.body,
            R"({"detail":[{"loc":["body","bounding_box",1],"msg":"the number 1e400 is too large to be represented",)"
            R"("type":"value_error.number.overflow"}]})");
  HttpResponse missing = http(port_, "POST", "/plans/101/deed-plan", {},
                              R"({"cadzone": "c", "file_no": "f", "person_name": "p"})");
  EXPECT_EQ(missing.body,
            R"({"detail":[{"loc":["body","district"],"msg":"field required","type":"value_error.missing"}]})");
  EXPECT_TRUE(figure.calls().empty());
}

TEST_F(PlanRoutes, ParcelsThatCannotHaveAPlanAreRefusedBeforeTheFigure) {
  StandInFigure figure;
  struct Case {
    const char* id;
    int status;
    const char* body;
  };
  const Case cases[] = {
      {"105", 422, R"({"detail":"Plot 105 has no boundary beacons"})"},
      {"107", 422, R"({"detail":"Plot 107 has no geometry"})"},
      {"106", 500, R"({"detail":"Internal server error"})"},  // a broken survey record: ours to mend
  };
  vekt::testing::LogRecorder log(vekt::host::get_logger("vekt.plans"));
  for (const Case& c : cases) {
    EXPECT_EQ(deed(c.id).status, c.status) << c.id;
    HttpResponse s = site(c.id);
    EXPECT_EQ(s.status, c.status) << c.id;
    EXPECT_EQ(s.body, c.body) << c.id;
  }
  EXPECT_TRUE(figure.calls().empty());
  // Only our own fault is logged, with what to mend.
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].first, "ERROR");
  EXPECT_EQ(lines[1].second,
            "Plan document GET /plans/106/site-plan failed: Plot 106: boundary leg 123 names beacon 999, which does "
            "not exist");
}

TEST_F(PlanRoutes, BeyondTheQueueRequestsAreTurnedAwayWithRetryAfter) {
  StandInFigure figure({}, 3000ms);
  std::vector<int> statuses(plans_test::PLAN_QUEUE, 0);
  std::vector<std::thread> busy;
  for (std::size_t i = 0; i < plans_test::PLAN_QUEUE; ++i)
    busy.emplace_back([&, i] { statuses[i] = deed("101").status; });
  // Let every document take its place in the queue.
  for (int i = 0; i < 100 && vekt::brellow::document_queue().in_hand() < plans_test::PLAN_QUEUE; ++i)
    std::this_thread::sleep_for(20ms);
  ASSERT_EQ(vekt::brellow::document_queue().in_hand(), plans_test::PLAN_QUEUE);
  HttpResponse turned_away = site("101");
  EXPECT_EQ(turned_away.status, 503);
  EXPECT_EQ(turned_away.header("Retry-After"), "5");
  for (auto& t : busy) t.join();
  for (int s : statuses) EXPECT_EQ(s, 200);
  EXPECT_EQ(vekt::brellow::document_queue().in_hand(), 0u);
  EXPECT_EQ(site("101").status, 200);
}

TEST_F(PlanRoutes, RenderingPastItsLimitIs504AndTheNextPlanWorks) {
  {
    // A page too long to render within the limit: tens of thousands of schedule rows.
    std::vector<vekt::plots::ScheduleItem> endless(40000, vekt::plots::ScheduleItem{"PB1", "PB2", "10° 00'", "1.00"});
    StandInFigure figure(endless);
    HttpResponse r = deed("101");
    EXPECT_EQ(r.status, 504) << r.body;
  }
  {
    // A figure that outlasts its limit.
    StandInFigure figure({}, plans_test::FIGURE_TIMEOUT + 1500ms);
    HttpResponse r = deed("101");
    EXPECT_EQ(r.status, 504) << r.body;
    EXPECT_EQ(r.body, R"({"detail":"Rendering the plan took longer than its time limit"})");
  }
  StandInFigure figure(SHORT_LEG);
  HttpResponse next = deed("101");
  EXPECT_EQ(next.status, 200);
  EXPECT_EQ(next.body.rfind("%PDF-", 0), 0u);
}

// No plan answer may be kept by a cache: it carries a person's name, and an error is one caller's.
// That holds for whoever answers under /plans: the routes, the router (404, 405, the redirect) and
// the server refusing a request it cannot read (400, 413, 431).
TEST_F(PlanRoutes, EveryPlanAnswerIsMarkedNoStore) {
  StandInFigure figure(SHORT_LEG);
  struct Case {
    HttpResponse r;
    int status;
  };
  const Case cases[] = {
      {deed("101"), 200},
      {site("101"), 200},
      {site("999"), 404},
      {site("abc"), 422},
      {deed("101", "not json"), 422},
      {site("105"), 422},
      {http(port_, "GET", "/plans/101/site-plan", {{"X-Forwarded-For", "203.0.113.7"}}), 403},
      {http(port_, "GET", "/plans/101/deed-plan"), 405},
      {http(port_, "GET", "/plans/5107/other"), 404},
      {http(port_, "GET", "/plans/101/site-plan/"), 307},
      {http(port_, "POST", "/plans/101/deed-plan", {}, std::string((1 << 20) + 1, ' ')), 413},
      {http(port_, "GET", "/plans/101/site-plan", {{"X-Padding", std::string(20000, 'p')}}), 431},
      {http(port_, "GET", "/plans/101/site-plan", {{"Bad Field", "x"}}), 400},
      {http(port_, "GET", "/plans/101/site-plan", {{"Authorization", "Bearer a"}, {"Authorization", "Bearer b"}}), 400},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.r.status, c.status) << c.r.body;
    EXPECT_EQ(c.r.header("Cache-Control"), "no-store") << c.status << " " << c.r.body;
  }
  // Elsewhere the server's and the router's answers stay as they were.
  for (const HttpResponse& r : {http(port_, "GET", "/gis/plots/1/2/3/4/5"),
                                http(port_, "GET", "/gis/layers/", {{"X-Padding", std::string(20000, 'p')}}),
                                http(port_, "GET", "/plansx/101/site-plan")}) {
    EXPECT_FALSE(r.header("Cache-Control")) << r.status << " " << r.body;
  }
}

// Without a plan token, plans are for clients on this machine: a client behind the (trusted) proxy
// on this machine is judged by its own address, as for cache invalidation.
TEST_F(PlanRoutes, WithoutATokenOnlyClientsOnThisMachineGetAPlan) {
  StandInFigure figure;
  for (const char* client : {"203.0.113.7", "10.1.2.3, 198.51.100.4"}) {
    SCOPED_TRACE(client);
    for (const HttpResponse& r : {http(port_, "POST", "/plans/101/deed-plan", {{"X-Forwarded-For", client}}, DEED_BODY),
                                  http(port_, "GET", "/plans/999/site-plan", {{"X-Forwarded-For", client}})}) {
      EXPECT_EQ(r.status, 403) << r.body;
      EXPECT_EQ(r.body, R"({"detail":"Plan documents are issued to clients on this machine only"})");
    }
  }
  // A proxy that sends only the standard header is believed as much, and no more.
  for (const char* forwarded : {"for=203.0.113.7", "for=127.0.0.1, for=198.51.100.4", "for=unknown", "proto=https"}) {
    SCOPED_TRACE(forwarded);
    EXPECT_EQ(http(port_, "GET", "/plans/999/site-plan", {{"Forwarded", forwarded}}).status, 403);
  }
  EXPECT_TRUE(figure.calls().empty());
  EXPECT_EQ(http(port_, "GET", "/plans/999/site-plan", {{"X-Forwarded-For", "127.0.0.1"}}).status, 404);
  EXPECT_EQ(http(port_, "GET", "/plans/999/site-plan", {{"Forwarded", "for=\"[::1]:4711\";proto=http"}}).status, 404);
}

// A web page open in a browser on this machine connects over loopback too. Whether it names a
// site of its own as Origin, or reaches us through a name of its own (DNS rebinding), it is no
// client of this machine: refused before anything is read. Tiles stay open to every page.
TEST_F(PlanRoutes, APageOfAnotherSiteIsNoClientOfThisMachine) {
  StandInFigure figure;
  using Fields = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    Fields fields;
    bool local;
  };
  const Case cases[] = {
      {{{"Origin", "http://evil.example"}}, false},
      {{{"Origin", "null"}}, false},
      {{{"Origin", "http://localhost.evil.example:8000"}}, false},
      {{{"Host", "evil.example:8000"}}, false},
      {{{"Host", "evil.example:8000"}, {"Origin", "http://evil.example:8000"}}, false},
      {{{"Origin", "http://127.0.0.1:8000"}}, true},
      {{{"Host", "localhost:1234"}, {"Origin", "http://localhost:3000"}}, true},
  };
  // One request with these fields, and Host 127.0.0.1 unless they name one.
  auto send = [this](const std::string& method, const std::string& target, const Fields& fields,
                     const std::string& body) {
    vekt::testing::Connection c(port_, std::chrono::seconds(60));
    std::string head = method + " " + target + " HTTP/1.1\r\nConnection: close\r\n";
    bool named = false;
    for (const auto& [k, v] : fields) {
      head += k + ": " + v + "\r\n";
      named = named || k == "Host";
    }
    if (!named) head += "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    if (method == "POST") head += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    c.send(head + "\r\n" + body);
    return c.read_reply();
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const auto& [k, v] : c.fields) trace += k + ": " + v + "; ";
    SCOPED_TRACE(trace);
    const auto site = send("GET", "/plans/999/site-plan", c.fields, "");
    ASSERT_TRUE(site);
    EXPECT_EQ(site->status, c.local ? 404 : 403) << site->body;
    if (!c.local) {
      EXPECT_EQ(site->body, R"({"detail":"Plan documents are issued to clients on this machine only"})");
    }
    const auto deed = send("POST", "/plans/999/deed-plan", c.fields, DEED_BODY);
    ASSERT_TRUE(deed);
    EXPECT_EQ(deed->status, c.local ? 404 : 403) << deed->body;
    // Emptying the tile cache keeps the same rule (the layer does not exist: 404 shows it let through).
    const auto invalidate = send("POST", "/gis/cache/invalidate/nothing", c.fields, "");
    ASSERT_TRUE(invalidate);
    EXPECT_EQ(invalidate->status, c.local ? 404 : 403) << invalidate->body;
  }
  const HttpResponse tiles = http(port_, "GET", "/gis/layers/", {{"Origin", "http://evil.example"}});
  EXPECT_EQ(tiles.status, 200);
  EXPECT_TRUE(figure.calls().empty());
}

// A deed plan's particulars come as JSON only: what a page of another site may post without
// asking first (a form, text/plain) is refused before it is read, naming the type expected.
TEST_F(PlanRoutes, TheDeedPlanTakesAJsonBodyOnly) {
  StandInFigure figure;
  const char* const refused[] = {"text/plain", "application/x-www-form-urlencoded",
                                 "multipart/form-data; boundary=x", "application/jsonp", "", "text/json+x"};
  for (const char* type : refused) {
    SCOPED_TRACE(type);
    const HttpResponse r = http(port_, "POST", "/plans/101/deed-plan", {{"Content-Type", type}}, DEED_BODY);
    EXPECT_EQ(r.status, 415) << r.body;
    EXPECT_EQ(r.body, R"({"detail":"The request body must be application/json"})");
    EXPECT_EQ(r.header("Cache-Control"), "no-store");
  }
  // No Content-Type at all.
  vekt::testing::Connection bare(port_);
  ASSERT_TRUE(bare.send("POST /plans/101/deed-plan HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                        std::to_string(DEED_BODY.size()) + "\r\n\r\n" + DEED_BODY));
  const auto untyped = bare.read_reply();
  ASSERT_TRUE(untyped);
  EXPECT_EQ(untyped->status, 415);
  EXPECT_TRUE(figure.calls().empty());
  for (const char* type : {"application/json; charset=utf-8", "Application/JSON", "application/vnd.deed+json"}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(http(port_, "POST", "/plans/999/deed-plan", {{"Content-Type", type}}, DEED_BODY).status, 404);
  }
  // A NUL after the JSON value is trailing data like any other.
  const HttpResponse nul = http(port_, "POST", "/plans/101/deed-plan", {}, DEED_BODY + std::string(1, '\0') + "garbage");
  EXPECT_EQ(nul.status, 422) << nul.body;
  EXPECT_NE(nul.body.find("value_error.jsondecode"), std::string::npos) << nul.body;
  EXPECT_TRUE(figure.calls().empty());
}

// A read held up past its limit (here by a lock on the legs table) is a 504 that says so, and the
// log names the read.
TEST_F(PlanRoutes, AReadPastItsTimeLimitIs504AndTheLogNamesIt) {
  StandInFigure figure;
  vekt::testing::SyncPg blocker(*vekt::testing::env("DATABASE_URL"));
  blocker.exec(R"(SET lock_timeout = '10s'; BEGIN; LOCK TABLE "GIS"."BOUNDARY" IN ACCESS EXCLUSIVE MODE)");
  vekt::brellow::set_statement_timeout(500ms);
  vekt::testing::LogRecorder log(vekt::host::get_logger("vekt.plans"));
  HttpResponse r = site("101");
  blocker.exec("ROLLBACK");
  vekt::brellow::set_statement_timeout(vekt::brellow::STATEMENT_TIMEOUT);
  EXPECT_EQ(r.status, 504);
  EXPECT_EQ(r.body,
            R"({"detail":"Reading the parcel's records took longer than its time limit. Please try again shortly."})");
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, "ERROR");
  EXPECT_EQ(lines[0].second, R"(Plan document GET /plans/101/site-plan failed: the read of "GIS"."BOUNDARY" took )"
                             R"(longer than its time limit of 0.5 s)");
  EXPECT_TRUE(figure.calls().empty());
  EXPECT_EQ(site("101").status, 200);
}

// A parcel deleted after its own row was read but before its neighbourhood was is not found, as
// if it had never been there.
TEST_F(PlanRoutes, AParcelDeletedBetweenTwoStatementsIsNotFound) {
  StandInFigure figure;
  vekt::testing::SyncPg pg(*vekt::testing::env("DATABASE_URL"));
  // Two parcels of their own, far from the fixture's, so no other test sees them.
  pg.exec(R"(DELETE FROM "GIS"."PLOT" WHERE "ID" IN (190, 191))");
  pg.exec(R"(INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GEOMETRY") VALUES
               (190, 'PLOT 190', 'Vacant', 400.00, 'SRID=3857;POLYGON((905000 1000000,905020 1000000,905020 1000020,905000 1000020,905000 1000000))'),
               (191, 'PLOT 191', 'Vacant', 400.00, 'SRID=3857;POLYGON((905020 1000000,905040 1000000,905040 1000020,905020 1000020,905020 1000000))'))");
  boost::asio::io_context io;
  vekt::pg::Session session(vekt::host::database());
  vekt::brellow::PlanImageGenerator generator(session);
  int statements = 0;
  generator.observe_statements([&](std::string_view) {
    if (++statements == 2) pg.exec(R"(DELETE FROM "GIS"."PLOT" WHERE "ID" = 190)");
  });
  EXPECT_THROW(vekt::testing::run(io, generator.generate_siteplan_html(190)), vekt::brellow::PlotNotFound);
  vekt::testing::run(io, session.close());
  pg.exec(R"(DELETE FROM "GIS"."PLOT" WHERE "ID" IN (190, 191))");
  EXPECT_TRUE(figure.calls().empty());
}

// A deed plan request on a connection of its own, left open until the connection is closed.
std::unique_ptr<vekt::testing::Connection> open_client(int port, const std::string& body) {
  auto c = std::make_unique<vekt::testing::Connection>(port);
  if (!c->connected()) throw std::runtime_error("cannot connect");
  const std::string req = "POST /plans/101/deed-plan HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  if (!c->send(req)) throw std::runtime_error("cannot send");
  return c;
}

// Clients that hang up while their plans wait are dropped: the figures still in line are never
// drawn, those under way are let go, no PDF is rendered for any of them, their places fall free,
// and the next plan is made.
TEST_F(PlanRoutes, RequestsWhoseClientsHangUpAreDroppedBeforeTheirFigureOrPdf) {
  StandInFigure figure({}, 2000ms);
  vekt::testing::LogRecorder log(vekt::host::get_logger("vekt.plans"));
  std::vector<std::unique_ptr<vekt::testing::Connection>> clients;
  for (std::size_t i = 0; i < plans_test::PLAN_QUEUE; ++i) clients.push_back(open_client(port_, DEED_BODY));
  for (int i = 0; i < 250 && vekt::brellow::document_queue().in_hand() < plans_test::PLAN_QUEUE; ++i)
    std::this_thread::sleep_for(20ms);
  ASSERT_EQ(vekt::brellow::document_queue().in_hand(), plans_test::PLAN_QUEUE);
  // Hang up once every figure worker is drawing: two figures under way, two in line.
  for (int i = 0; i < 250 && figure.calls().size() < plans_test::FIGURE_THREADS; ++i) std::this_thread::sleep_for(20ms);
  ASSERT_EQ(figure.calls().size(), plans_test::FIGURE_THREADS);
  for (auto& c : clients) c->close();
  for (int i = 0; i < 500 && vekt::brellow::document_queue().in_hand() > 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(vekt::brellow::document_queue().in_hand(), 0u);
  int dropped = 0;
  for (const auto& [level, line] : log.lines()) {
    EXPECT_EQ(level, "INFO") << line;
    EXPECT_EQ(line, "Plan document POST /plans/101/deed-plan: the client had gone before its figure was drawn; dropped");
    ++dropped;
  }
  EXPECT_EQ(dropped, static_cast<int>(plans_test::PLAN_QUEUE));
  HttpResponse next = deed("101");
  EXPECT_EQ(next.status, 200) << next.body;
  // The figures that were in line when their clients left were never drawn.
  EXPECT_EQ(figure.calls().size(), plans_test::FIGURE_THREADS + 1);
}

// CPU time a process has used, in clock ticks (0 when it has gone).
long cpu_ticks(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto end = stat.rfind(')');
  if (end == std::string::npos) return 0;
  std::istringstream fields(stat.substr(end + 2));
  std::string f;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stol(f);
    if (i == 15) stime = std::stol(f);
  }
  return utime + stime;
}

// CPU time of each PDF worker once none of them is busy (starting or rendering): unchanged for a
// moment.
std::map<int, long> idle_pdf_workers() {
  std::map<int, long> before;
  for (int i = 0; i < 100; ++i) {
    std::map<int, long> now;
    for (int pid : vekt::brellow::pdf_pool().worker_pids()) now[pid] = cpu_ticks(pid);
    if (now == before && !now.empty()) return now;
    before = std::move(now);
    std::this_thread::sleep_for(300ms);
  }
  return before;
}

// Kills the first PDF worker seen working (its CPU time growing past `idle`, or since it was
// first seen) that is not in `spared`; returns its pid, or 0 when none was seen within 30 s.
int kill_working_pdf_worker(std::map<int, long> idle, const std::set<int>& spared = {}) {
  for (int i = 0; i < 3000; ++i) {
    for (int pid : vekt::brellow::pdf_pool().worker_pids()) {
      if (spared.contains(pid)) continue;
      const long ticks = cpu_ticks(pid);
      auto [it, first] = idle.emplace(pid, ticks);
      if (!first && ticks >= it->second + 3) {
        ::kill(pid, SIGKILL);
        return pid;
      }
    }
    std::this_thread::sleep_for(10ms);
  }
  return 0;
}

// A PDF worker that dies under a plan costs its caller nothing: the plan is rendered on another
// worker. Only when that one dies too is the caller told to come back (503, never 500).
TEST_F(PlanRoutes, APlanWhosePdfWorkerDiesIsRenderedOnAnotherWorker) {
  // A page of a second or two of rendering: hundreds of schedule rows.
  std::vector<vekt::plots::ScheduleItem> rows(400, vekt::plots::ScheduleItem{"PB1", "PB2", "10° 00'", "1.00"});
  StandInFigure figure(rows);
  ASSERT_EQ(site("101").status, 200);  // every worker this pool has started is warm

  HttpResponse once;
  auto idle = idle_pdf_workers();
  std::thread request([&] { once = deed("101"); });
  const int killed = kill_working_pdf_worker(idle);
  request.join();
  ASSERT_NE(killed, 0) << "no worker was seen rendering";
  EXPECT_EQ(once.status, 200) << once.body;
  EXPECT_EQ(once.body.rfind("%PDF-", 0), 0u);
  const auto pids = vekt::brellow::pdf_pool().worker_pids();
  EXPECT_EQ(std::find(pids.begin(), pids.end(), killed), pids.end());

  vekt::testing::LogRecorder log(vekt::host::get_logger("vekt.plans"));
  HttpResponse twice;
  idle = idle_pdf_workers();
  std::thread second([&] { twice = deed("101"); });
  const int first = kill_working_pdf_worker(idle);
  const int then = kill_working_pdf_worker(idle, {first});
  second.join();
  ASSERT_NE(first, 0);
  ASSERT_NE(then, 0);
  EXPECT_EQ(twice.status, 503) << twice.body;
  EXPECT_EQ(twice.header("Retry-After"), "5");
  EXPECT_EQ(twice.body, R"({"detail":"The PDF renderer is not available. Please try again shortly."})");
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, "ERROR");
  EXPECT_NE(lines[0].second.find("Plan document POST /plans/101/deed-plan failed: PDF worker"), std::string::npos)
      << lines[0].second;

  EXPECT_EQ(deed("101").status, 200);
}

}  // namespace
