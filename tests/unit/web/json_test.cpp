#include "web/json.hpp"

#include <limits>

#include <gtest/gtest.h>

namespace {

using vekt::web::dump_json;
using vekt::web::dump_json_python;
using vekt::web::Json;

TEST(Json, FloatsPrintLikePython) {
  struct Case {
    double v;
    const char* text;
  };
  const Case cases[] = {
      {800000.0, "800000.0"}, {1e-05, "1e-05"},   {1e16, "1e+16"},    {1e15, "1000000000000000.0"},
      {0.1, "0.1"},           {-0.0, "-0.0"},     {0.0001, "0.0001"}, {-20037508.342789244, "-20037508.342789244"},
      {1.5e300, "1.5e+300"},  {123.456, "123.456"},
  };
  for (const auto& c : cases) EXPECT_EQ(dump_json(Json(c.v)), c.text) << c.text;
}

TEST(Json, CompactKeepsOrderAndRawUtf8) {
  Json j = Json::object();
  j["z"] = 1;
  j["a"] = Json::array({1.0, "ÄÖÜ m²", nullptr, true});
  j["m"] = "say \"hi\"\n\x01";
  EXPECT_EQ(dump_json(j), "{\"z\":1,\"a\":[1.0,\"ÄÖÜ m²\",null,true],\"m\":\"say \\\"hi\\\"\\n\\u0001\"}");
}

TEST(Json, InvalidUtf8IsReplacedNotThrown) {
  EXPECT_EQ(dump_json(Json(std::string("a\xff" "b"))), "\"a\xef\xbf\xbd" "b\"");
}

TEST(Json, NonFiniteFloats) {
  Json j = Json::array({std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()});
  EXPECT_EQ(dump_json(j), "[null,null]");
  EXPECT_EQ(dump_json_python(j), "[Infinity, NaN]");
}

TEST(Json, PythonLayout) {
  Json j = Json::object();
  j["name"] = "Zoné 😀";
  j["v"] = Json::array({1, 2.5});
  j["e"] = Json::object();
  EXPECT_EQ(dump_json_python(j), "{\"name\": \"Zon\\u00e9 \\ud83d\\ude00\", \"v\": [1, 2.5], \"e\": {}}");
}

TEST(Json, DeleteIsEscapedOnlyInThePythonLayout) {
  Json j = Json("a\x7f" "b");
  EXPECT_EQ(dump_json_python(j), "\"a\\u007fb\"");
  EXPECT_EQ(dump_json(j), "\"a\x7f" "b\"");
}

}  // namespace
