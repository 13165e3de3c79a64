// vekt-server as a program serves both plan documents under /plans and publishes their routes.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/all.hpp"
#include "pdf_tools.hpp"
#include "support/plan_fixture.hpp"

namespace {

using vekt::testing::http;
using vekt::testing::ServerProcess;

class VektServerPlans : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (vekt::testing::env("DATABASE_URL")) vekt::testing::load_plan_fixture();
  }
  static void TearDownTestSuite() {
    if (vekt::testing::env("DATABASE_URL")) vekt::testing::clear_plan_fixture();
  }
  void SetUp() override {
    if (!vekt::testing::env("DATABASE_URL")) GTEST_SKIP() << "DATABASE_URL is not set";
  }
};

TEST_F(VektServerPlans, ServesBothDocumentsAndPublishesTheRoutes) {
  ServerProcess server({{"VEKT_PROJECT_ROOT", VEKT_SOURCE_DIR}, {"VEKT_THREADS", "2"}, {"VEKT_PDF_WORKERS", "1"}});
  auto deed = http(server.port(), "POST", "/plans/101/deed-plan", {},
                   R"({"district": "ikeja", "cadzone": "c05", "file_no": "lkn/9999", "person_name": "adé bísí"})");
  ASSERT_EQ(deed.status, 200) << deed.body << server.stderr_text();
  EXPECT_EQ(deed.header("Content-Disposition"), "attachment; filename=\"DeedPlan_101.pdf\"");
  EXPECT_NE(plans_test::pdf_text(deed.body).find("ADÉ BÍSÍ"), std::string::npos);

  auto site = http(server.port(), "GET", "/plans/101/site-plan");
  ASSERT_EQ(site.status, 200) << site.body << server.stderr_text();
  EXPECT_EQ(site.header("Content-Disposition"), "attachment; filename=\"SitePlan_101.pdf\"");
  EXPECT_NE(plans_test::pdf_text(site.body).find("LKN/1234"), std::string::npos);

  EXPECT_EQ(http(server.port(), "GET", "/plans/999/site-plan").status, 404);

  auto doc = nlohmann::json::parse(http(server.port(), "GET", "/openapi.json").body);
  const auto& deed_op = doc["paths"]["/plans/{plot_id}/deed-plan"]["post"];
  const auto& site_op = doc["paths"]["/plans/{plot_id}/site-plan"]["get"];
  EXPECT_FALSE(deed_op.value("description", "").empty());
  EXPECT_FALSE(site_op.value("description", "").empty());
  EXPECT_EQ(deed_op["requestBody"]["content"]["application/json"]["schema"]["required"],
            nlohmann::json::parse(R"(["district", "cadzone", "file_no", "person_name"])"));
  EXPECT_EQ(deed_op["tags"], nlohmann::json::parse(R"(["Plan documents"])"));

  // Both documents of a generated parcel with a leg short enough for the schedule, kept with
  // pictures of their pages for a person to look at.
  vekt::testing::SyncPg pg(*vekt::testing::env("DATABASE_URL"));
  auto short_leg = pg.exec(R"(SELECT "PLOTID" FROM "GIS"."BOUNDARY" WHERE "PLOTID" >= 1000 AND "LENGTH" < 6
                              ORDER BY "PLOTID" LIMIT 1)");
  ASSERT_EQ(short_leg.size(), 1u);
  const std::string id = short_leg[0].value();
  auto demo_deed = http(server.port(), "POST", "/plans/" + id + "/deed-plan", {},
                        R"({"district": "Kawo", "cadzone": "AA01", "file_no": "TUD/LAN/2011/001000", "person_name": "Amina Bello"})");
  ASSERT_EQ(demo_deed.status, 200) << demo_deed.body;
  auto demo_site = http(server.port(), "GET", "/plans/" + id + "/site-plan");
  ASSERT_EQ(demo_site.status, 200) << demo_site.body;
  for (const auto& [name, pdf] : {std::pair{"DeedPlan_" + id + ".pdf", &demo_deed.body},
                                  std::pair{"SitePlan_" + id + ".pdf", &demo_site.body}}) {
    EXPECT_NE(plans_test::pdf_text(*pdf, true).find("Dist(m)"), std::string::npos) << name;  // a schedule table
    EXPECT_NE(plans_test::pictures_of(plans_test::keep(name, *pdf)), "") << name;
  }
}

}  // namespace
