// Reading a plan request: the deed plan's JSON body, the site plan's bbox, and the checks a map
// window must pass before anything is drawn.
#include <cmath>
#include <limits>
#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "brellow/plan_request.hpp"
#include "web/validation.hpp"

namespace {

using vekt::brellow::bounding_box_fault;
using vekt::brellow::parse_bbox_query;
using vekt::brellow::parse_deed_plan_body;
using vekt::web::Json;

// The error list a body is refused with (null when it is accepted).
Json refusal(const std::string& body) {
  try {
    parse_deed_plan_body(body);
  } catch (const vekt::web::ValidationError& e) {
    Json errors = Json::array();
    for (const auto& error : e.errors()) errors.push_back(error.to_json());
    return errors;
  }
  return nullptr;
}

TEST(DeedPlanBody, ReadsTheParticularsAndTheBox) {
  auto p = parse_deed_plan_body(
      R"({"district": "ikeja", "cadzone": "c05", "file_no": "lkn/9999", "person_name": "adé bísí",
          "bounding_box": [3.35, 6.6, 3.36, 6.61]})");
  EXPECT_EQ(p.district, "ikeja");
  EXPECT_EQ(p.cadzone, "c05");
  EXPECT_EQ(p.file_no, "lkn/9999");
  EXPECT_EQ(p.person_name, "adé bísí");
  ASSERT_TRUE(p.bounding_box);
  EXPECT_EQ((*p.bounding_box)[2], 3.36);

  auto q = parse_deed_plan_body(R"({"district": "", "cadzone": "", "file_no": "", "person_name": "", "bounding_box": null})");
  EXPECT_FALSE(q.bounding_box);
  auto r = parse_deed_plan_body(R"({"district": "a", "cadzone": "b", "file_no": "c", "person_name": "d"})");
  EXPECT_FALSE(r.bounding_box);
}

// A number beyond a double's range is the caller's mistake wherever it stands, named by its place.
TEST(DeedPlanBody, ANumberThatOverflowsIsRefusedWithItsPlace) {
  const std::string particulars = R"("district": "d", "cadzone": "c", "file_no": "f", "person_name": "p")";
  struct Case {
    std::string body;
    const char* loc;
    const char* number;  // as the message names it
  };
  const Case cases[] = {
      {"{" + particulars + R"(, "bounding_box": [7.18, 1e400, 7.19, 8.99]})", R"(["body","bounding_box",1])", "1e400"},
      {"{" + particulars + R"(, "bounding_box": [-1e309, 8.98, 7.19, 8.99]})", R"(["body","bounding_box",0])", "-1e309"},
      {R"({"district": 1e400, "cadzone": "c", "file_no": "f", "person_name": "p"})", R"(["body","district"])", "1e400"},
      {"{" + particulars + R"(, "extra": {"deep": [[1, 2], [3, -1e309]]}})", R"(["body","extra","deep",1,1])",
       "-1e309"},
      {"1e400", R"(["body"])", "1e400"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    Json errors = refusal(c.body);
    ASSERT_TRUE(errors.is_array() && errors.size() == 1) << errors.dump();
    EXPECT_EQ(errors[0]["loc"], Json::parse(c.loc));
    EXPECT_EQ(errors[0]["type"], "value_error.number.overflow");
    EXPECT_EQ(errors[0]["msg"], fmt::format("the number {} is too large to be represented", c.number));
  }
  // Large numbers that still fit stay numbers (and fail, or pass, as before).
  EXPECT_TRUE(refusal("{" + particulars + R"(, "bounding_box": [1e308, 0, 1.7e308, 1]})").is_array());
  EXPECT_TRUE(refusal("{" + particulars + R"(, "extra": 1e300})").is_null());
}

TEST(DeedPlanBody, RefusesEveryMistakeInTheFrameworksShape) {
  struct Case {
    const char* body;
    const char* errors;  // the expected "detail" list
  };
  const Case cases[] = {
      {R"({"cadzone": "c", "file_no": "f", "person_name": "p"})",
       R"([{"loc":["body","district"],"msg":"field required","type":"value_error.missing"}])"},
      {R"({"district": 7, "cadzone": null, "file_no": "f", "person_name": ["p"]})",
       R"([{"loc":["body","district"],"msg":"str type expected","type":"type_error.str"},)"
       R"({"loc":["body","cadzone"],"msg":"field required","type":"value_error.missing"},)"
       R"({"loc":["body","person_name"],"msg":"str type expected","type":"type_error.str"}])"},
      {R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p", "bounding_box": [1, 2, 3]})",
       R"([{"loc":["body","bounding_box"],"msg":"ensure this value has exactly 4 items: [minx, miny, maxx, maxy]",)"
       R"("type":"value_error.list.min_items"}])"},
      {R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p", "bounding_box": [1, "2", 3, 4]})",
       R"([{"loc":["body","bounding_box",1],"msg":"value is not a valid float","type":"type_error.float"}])"},
      {R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p", "bounding_box": "1,2,3,4"})",
       R"([{"loc":["body","bounding_box"],"msg":"value is not a valid list","type":"type_error.list"}])"},
      {R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p", "bounding_box": [3, 6, 2, 7]})",
       R"([{"loc":["body","bounding_box"],"msg":"the bounding box needs minx < maxx and miny < maxy","type":"value_error"}])"},
      {R"([1, 2])", R"([{"loc":["body"],"msg":"value is not a valid dict","type":"type_error.dict"}])"},
      {"", R"([{"loc":["body"],"msg":"field required","type":"value_error.missing"}])"},
  };
  for (const Case& c : cases) EXPECT_EQ(refusal(c.body), Json::parse(c.errors)) << c.body;

  Json bad_json = refusal(R"({"district": )");
  ASSERT_EQ(bad_json.size(), 1u);
  EXPECT_EQ(bad_json[0]["type"], "value_error.jsondecode");
  EXPECT_EQ(bad_json[0]["loc"], Json::parse(R"(["body"])"));
}

// Only blanks may follow the JSON value; a NUL byte is no end of the body.
TEST(DeedPlanBody, AnythingButBlanksAfterTheValueIsNotJson) {
  const std::string value = R"({"district": "d", "cadzone": "c", "file_no": "f", "person_name": "p"})";
  struct Case {
    std::string trailing;
    std::size_t byte;  // where the error is named, 1-based
  };
  const Case cases[] = {
      {" garbage", value.size() + 2},
      {std::string(1, '\0') + "garbage", value.size() + 1},
      {std::string(1, '\0'), value.size() + 1},
      {" \n" + std::string(1, '\0'), value.size() + 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.byte);
    Json errors = refusal(value + c.trailing);
    ASSERT_TRUE(errors.is_array() && errors.size() == 1) << errors.dump();
    EXPECT_EQ(errors[0]["type"], "value_error.jsondecode");
    EXPECT_EQ(errors[0]["msg"], "the body is not valid JSON (at byte " + std::to_string(c.byte) + ")");
  }
  EXPECT_TRUE(refusal(value + " \t\r\n").is_null());
}

TEST(BoundingBox, AcceptsOnlyAWindowAPlanCanShow) {
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  struct Case {
    vekt::plots::BoundingBox box;
    bool accepted;
  };
  const Case cases[] = {
      {{3.35, 6.60, 3.36, 6.61}, true},                // degrees
      {{800000, 1000000, 800300, 1000200}, true},      // metres
      {{-0.05, -0.05, 0.05, 0.05}, true},              // degrees across the origin
      {{3.36, 6.60, 3.35, 6.61}, false},               // minx > maxx
      {{3.35, 6.61, 3.36, 6.61}, false},               // no height
      {{nan, 6.60, 3.36, 6.61}, false},
      {{3.35, 6.60, inf, 6.61}, false},
      {{3.0, 6.0, 4.0, 7.0}, false},                   // a degree wide: no plan scale shows that
      {{800000, 1000000, 900000, 1000200}, false},     // 100 km
      {{170, 80, 800000, 86}, false},                  // degrees and metres mixed
      {{800000, 1000000, 800300, 3e7}, false},         // off the plane
  };
  for (const Case& c : cases)
    EXPECT_EQ(!bounding_box_fault(c.box).has_value(), c.accepted)
        << c.box[0] << "," << c.box[1] << "," << c.box[2] << "," << c.box[3];
}

TEST(BoundingBox, SitePlanQueryReadsFourNumbers) {
  EXPECT_FALSE(parse_bbox_query(std::nullopt));
  auto box = parse_bbox_query(std::string("800000,1000000,800300.5,1000200"));
  ASSERT_TRUE(box);
  EXPECT_EQ((*box)[2], 800300.5);
  for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "a,b,c,d", "3.36,6.60,3.35,6.61", "nan,6.6,3.36,6.61", "1,,2,3"}) {
    try {
      parse_bbox_query(std::string(bad));
      ADD_FAILURE() << "accepted " << bad;
    } catch (const vekt::web::ValidationError& e) {
      ASSERT_EQ(e.errors().size(), 1u);
      EXPECT_EQ(e.errors()[0].loc, Json::parse(R"(["query","bbox"])")) << bad;
    }
  }
}

}  // namespace

TEST(DeedPlanBody, TextsUpToTheirLimitAreTakenLongerOnesRefusedByName) {
  // Limits count characters, not bytes: 300 of "é" are 600 bytes and still within the name's.
  struct Fields {
    std::string district = "d", cadzone = "c", file_no = "f", person_name = "p";
  };
  const auto body = [](const Fields& f) {
    return R"({"district": ")" + f.district + R"(", "cadzone": ")" + f.cadzone + R"(", "file_no": ")" + f.file_no +
           R"(", "person_name": ")" + f.person_name + R"("})";
  };
  const auto times = [](std::size_t n, const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
  };
  const Fields at_limits{times(100, "é"), times(100, "é"), times(60, "é"), times(300, "é")};
  const auto taken = parse_deed_plan_body(body(at_limits));
  EXPECT_EQ(taken.district, at_limits.district);
  EXPECT_EQ(taken.cadzone, at_limits.cadzone);
  EXPECT_EQ(taken.file_no, at_limits.file_no);
  EXPECT_EQ(taken.person_name, at_limits.person_name);

  struct Case {
    std::string field;
    std::size_t limit;
  };
  for (const Case& c : {Case{"district", 100}, Case{"cadzone", 100}, Case{"file_no", 60}, Case{"person_name", 300}}) {
    Fields f;
    (c.field == "district" ? f.district : c.field == "cadzone" ? f.cadzone : c.field == "file_no" ? f.file_no
                                                                                                  : f.person_name) =
        times(c.limit + 1, "é");
    Json e = refusal(body(f));
    ASSERT_TRUE(e.is_array()) << c.field;
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0]["loc"], Json::array({"body", c.field}));
    EXPECT_EQ(e[0]["msg"], "ensure this value has at most " + std::to_string(c.limit) + " characters");
    EXPECT_EQ(e[0]["type"], "value_error.any_str.max_length");
  }
}
