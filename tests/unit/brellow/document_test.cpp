// The values both plan pages print, and the checks a parcel passes before it is drawn.
#include <clocale>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brellow/document.hpp"
#include "brellow/errors.hpp"

// GCC 12 sees a moved-from std::string inside a std::variant temporary as maybe uninitialised
// (a known false positive of its variant move at -O2).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace {

using namespace vekt::brellow::document;
using vekt::plots::Decimal;
using vekt::plots::Number;
using vekt::plots::PlotRecord;

TEST(PlanValues, CoordinatesWithThreeDecimals) {
  EXPECT_EQ(coordinate_text(Number(345678.12351)), "345678.124");
  EXPECT_EQ(coordinate_text(Number(std::int64_t{7})), "7.000");
  EXPECT_EQ(coordinate_text(Number(2.5)), "2.500");
  EXPECT_EQ(coordinate_text(Number(-0.0004)), "-0.000");
  EXPECT_EQ(coordinate_text(Number(Decimal{"1000015.5"})), "1000015.500");
  EXPECT_EQ(coordinate_text(std::nullopt), "");  // never "None"
  // The decimal point stays a dot whatever the locale.
  if (std::setlocale(LC_ALL, "de_DE.UTF-8")) {
    EXPECT_EQ(coordinate_text(Number(345678.12351)), "345678.124");
    std::setlocale(LC_ALL, "C");
  }
}

TEST(PlanValues, SizesAndMissingTexts) {
  EXPECT_EQ(size_text(190), "190");
  EXPECT_EQ(size_text(160.0), "160");
  EXPECT_EQ(size_text(180.5), "180.5");
  EXPECT_EQ(text(std::nullopt), "");  // never "None"
  EXPECT_EQ(text(std::string("PB1")), "PB1");
}

PlotRecord plot(std::int64_t id, bool outline, int legs) {
  PlotRecord p;
  p.id = id;
  if (outline) p.geometry = vekt::plots::GeoJson{R"({"type": "Polygon", "coordinates": []})"};
  p.boundary = std::vector<vekt::plots::BeaconRecord>(static_cast<std::size_t>(legs));
  return p;
}

TEST(PlanValues, OnlyAParcelWithAnOutlineAndLegsCanBeDrawn) {
  const std::vector<PlotRecord> plots = {plot(5, true, 4), plot(7, true, 0), plot(7, true, 3), plot(9, false, 4),
                                         plot(11, true, 4)};
  EXPECT_EQ(&drawable_plot(plots, 5), &plots[0]);
  EXPECT_EQ(&drawable_plot(plots, 11), &plots[4]);
  EXPECT_THROW(drawable_plot(plots, 7), vekt::brellow::ParcelHasNoBoundary);  // the first record decides
  EXPECT_THROW(drawable_plot(plots, 9), vekt::brellow::ParcelHasNoGeometry);
  // Absent from a neighbourhood read around its own outline: deleted meanwhile, so not found.
  EXPECT_THROW(drawable_plot(plots, 13), vekt::brellow::PlotNotFound);
}

}  // namespace
