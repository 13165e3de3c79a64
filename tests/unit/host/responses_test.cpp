#include "host/responses.hpp"

#include <gtest/gtest.h>

namespace {

using namespace vekt::host;

TEST(Envelope, KeysInOrderAndStatusFromStatusCode) {
  Json data = Json::object();
  data["layers"] = Json::array({"plots"});
  data["ratio"] = 800000.0;
  struct Case {
    ApiResponse args;
    unsigned status;
    const char* body;
  };
  const Case cases[] = {
      {{.data = data}, 200, R"({"status_code":200,"message":null,"data":{"layers":["plots"],"ratio":800000.0}})"},
      {{.data = Json::object({{"deleted", 3}}), .message = "Cache for layer 'plots' invalidated"}, 200,
       R"({"status_code":200,"message":"Cache for layer 'plots' invalidated","data":{"deleted":3}})"},
      {{.message = "No geometry found for layer", .status_code = 404}, 404,
       R"({"status_code":404,"message":"No geometry found for layer","data":null})"},
      {{}, 200, R"({"status_code":200,"message":null,"data":null})"},
  };
  for (const auto& c : cases) {
    vekt::web::Response r = api_router_response(api_response(c.args));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.content_type, "application/json");
    EXPECT_EQ(r.body, c.body);
  }
}

TEST(Envelope, FileAnswer) {
  struct Case {
    const char* filename;
    const char* media;
    const char* disposition;
  };
  const Case cases[] = {
      {"SitePlan_42.pdf", "application/pdf", "attachment; filename=\"SitePlan_42.pdf\""},
      {"figure.PNG", "image/png", "attachment; filename=\"figure.PNG\""},
      {"data.bin", "application/octet-stream", "attachment; filename=\"data.bin\""},
      // Names that would need escaping never break the header open.
      {"a\"b\r\nX: y.pdf", "application/pdf", "attachment; filename*=utf-8''a%22b%0D%0AX%3A%20y.pdf"},
      {"Plän.pdf", "application/pdf", "attachment; filename*=utf-8''Pl%C3%A4n.pdf"},
  };
  for (const auto& c : cases) {
    std::string pdf("%PDF-1.7\n\x00\xff", 11);
    vekt::web::Response r = api_router_response(api_response({.file = pdf, .filename = c.filename}));
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, pdf);
    EXPECT_EQ(r.content_type, c.media);
    EXPECT_EQ(r.headers.get("Content-Disposition"), c.disposition);
  }
}

}  // namespace
