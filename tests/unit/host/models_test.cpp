#include "host/models.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace vekt::host;

// The select lists are statement text the plan documents send; each must read the whole row in
// the order its decoding takes it.
TEST(Models, SelectListsNameEveryColumnInDecodingOrder) {
  struct Case {
    const std::string& columns;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {PLOT::columns(),
       R"("ID", "PLOT_NO", "AREA_SYSTEM", "file_no", "SURVEYED_BY", "ADDRESS", "PLAN_LAYOUT_NO", )"
       R"(ST_AsEWKB("GEOMETRY"), ST_AsGeoJSON("GEOMETRY", 15, 0))"},
      {BEACON::columns(), R"("ID", "BEACON_NO", "NORTHING", "EASTING", ST_AsEWKB("GEOMETRY"), ST_AsGeoJSON("GEOMETRY", 15, 0))"},
      {BOUNDARY::columns(), R"("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN")"},
      {ROAD::columns(), R"("ID", "ROAD_NAME", ST_AsEWKB("GEOMETRY"), ST_AsGeoJSON("GEOMETRY", 15, 0))"},
      {LandPurpose::columns(), R"("ID", "GENERAL_LU", "DETAIL_LU", "DESCRIPTION")"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.columns, c.expected);
}

}  // namespace
