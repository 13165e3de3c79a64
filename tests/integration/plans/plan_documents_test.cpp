// Both documents with the real plan figure and the real PDF workers: the schedule row of the
// short leg, pictures of the pages to look at, two plans at once, and the map staying fast while
// plans render.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/all.hpp"
#include "pdf_tools.hpp"
#include "plan_server.hpp"

namespace {

using namespace std::chrono_literals;
using vekt::testing::http;
using vekt::testing::HttpResponse;

class PlanDocuments : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = plans_test::server_port();
    if (!p) GTEST_SKIP() << "DATABASE_URL is not set";
    port_ = *p;
  }
  HttpResponse deed(int id, const std::string& person = "adé bísí") {
    return http(port_, "POST", "/plans/" + std::to_string(id) + "/deed-plan", {},
                R"({"district": "ikeja", "cadzone": "c05", "file_no": "lkn/9999", "person_name": ")" + person +
                    R"("})");
  }
  int port_ = 0;
};

TEST_F(PlanDocuments, BothDocumentsOfAParcelWithAShortLeg) {
  HttpResponse d = deed(101);
  ASSERT_EQ(d.status, 200) << d.body;
  HttpResponse s = http(port_, "GET", "/plans/101/site-plan");
  ASSERT_EQ(s.status, 200) << s.body;
  for (const HttpResponse* r : {&d, &s}) {
    const std::string text = plans_test::pdf_text(r->body);
    EXPECT_NE(text.find("1:500"), std::string::npos) << text;
    const std::string rows = plans_test::pdf_text(r->body, true);
    EXPECT_NE(rows.find("PB4 PB5 225° 07' 4.24"), std::string::npos) << rows;
    EXPECT_EQ(text.find("{{"), std::string::npos) << text;
    EXPECT_EQ(text.find("None"), std::string::npos) << text;
    const std::string info = plans_test::pdf_info(r->body);
    EXPECT_NE(info.find("Pages: 1"), std::string::npos) << info;
  }
  // Kept for a person to look at: the PDFs and their pages as pictures.
  EXPECT_NE(plans_test::pictures_of(plans_test::keep("DeedPlan_101.pdf", d.body)), "");
  EXPECT_NE(plans_test::pictures_of(plans_test::keep("SitePlan_101.pdf", s.body)), "");
}

TEST_F(PlanDocuments, ALongScheduleStillFitsOnePage) {
  // Parcel 111: 25 legs of about 2.5 m, every one of them in the schedule.
  HttpResponse d = deed(111);
  ASSERT_EQ(d.status, 200) << d.body;
  HttpResponse s = http(port_, "GET", "/plans/111/site-plan");
  ASSERT_EQ(s.status, 200) << s.body;
  for (const HttpResponse* r : {&d, &s}) {
    const std::string info = plans_test::pdf_info(r->body);
    EXPECT_NE(info.find("Pages: 1"), std::string::npos) << info;
  }
  EXPECT_NE(plans_test::pictures_of(plans_test::keep("DeedPlan_111.pdf", d.body)), "");
}

TEST_F(PlanDocuments, TwoPlansAtOnceEachCarryTheirOwnParticulars) {
  HttpResponse a, b;
  std::thread ta([&] { a = deed(101, "first owner"); });
  std::thread tb([&] { b = deed(102, "second owner"); });
  ta.join();
  tb.join();
  ASSERT_EQ(a.status, 200) << a.body;
  ASSERT_EQ(b.status, 200) << b.body;
  const std::string text_a = plans_test::pdf_text(a.body), text_b = plans_test::pdf_text(b.body);
  EXPECT_NE(text_a.find("PLOT 12A"), std::string::npos);
  EXPECT_NE(text_a.find("FIRST OWNER"), std::string::npos);
  EXPECT_EQ(text_a.find("PLOT 12B"), std::string::npos);
  EXPECT_EQ(text_a.find("SECOND OWNER"), std::string::npos);
  EXPECT_NE(text_b.find("PLOT 12B"), std::string::npos);
  EXPECT_NE(text_b.find("SECOND OWNER"), std::string::npos);
  EXPECT_EQ(text_b.find("FIRST OWNER"), std::string::npos);
  EXPECT_NE(text_b.find("T. ADEYEMI"), std::string::npos);  // 102's own surveyor
}

// Milliseconds of `n` requests to `target`, one after another.
std::vector<double> latencies(int port, const std::string& target, int n) {
  std::vector<double> ms;
  for (int i = 0; i < n; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    HttpResponse r = http(port, "GET", target);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    EXPECT_LT(r.status, 300) << target;
    std::this_thread::sleep_for(50ms);  // within the tile rate limit
  }
  return ms;
}

double p95(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(0.95 * static_cast<double>(v.size())))];
}

TEST_F(PlanDocuments, TilesAndHealthStayFastWhilePlansRender) {
  // The tile of plot 101 at zoom 16, fetched once so that the rest are cache hits.
  const std::string tile = "/gis/plots/16/34076/31132.pbf";
  ASSERT_LT(http(port_, "GET", tile).status, 300);
  const double tile_alone = p95(latencies(port_, tile, 10));
  const double health_alone = p95(latencies(port_, "/gis/health/", 10));

  std::vector<std::thread> plans;
  std::vector<int> statuses(plans_test::PLAN_QUEUE, 0);
  for (std::size_t i = 0; i < plans_test::PLAN_QUEUE; ++i)
    plans.emplace_back([&, i] { statuses[i] = deed(i % 2 == 0 ? 101 : 102).status; });
  std::this_thread::sleep_for(200ms);
  const double tile_busy = p95(latencies(port_, tile, 20));
  const double health_busy = p95(latencies(port_, "/gis/health/", 20));
  for (auto& t : plans) t.join();
  for (int s : statuses) EXPECT_EQ(s, 200);

  std::printf("tile p95 %.1f ms alone, %.1f ms beside plans; health p95 %.1f ms alone, %.1f ms beside plans\n",
              tile_alone, tile_busy, health_alone, health_busy);
  EXPECT_LT(tile_busy, 200);
  EXPECT_LT(health_busy, 200);
}

}  // namespace
