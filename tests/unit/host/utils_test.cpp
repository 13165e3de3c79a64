#include "host/utils.hpp"

#include <cmath>
#include <ctime>

#include <gtest/gtest.h>

#include "web/json.hpp"

namespace {

using namespace vekt::host;

TEST(TileArithmetic, BoundsOfKnownTiles) {
  struct Case {
    long long z, x, y;
    const char* repr;
  };
  const Case cases[] = {
      {0, 0, 0,
       "{'minx': -20037508.342789244, 'miny': -20037508.342789244, 'maxx': 20037508.342789244, 'maxy': 20037508.342789244}"},
      {1, 0, 0, "{'minx': -20037508.342789244, 'miny': 0.0, 'maxx': 0.0, 'maxy': 20037508.342789244}"},
      {10, 511, 340,
       "{'minx': -39135.75848200917, 'miny': 6692214.700423752, 'maxx': 1.0695657692849636e-09, 'maxy': 6731350.458905762}"},
      {16, 32768, 21845, "{'minx': 0.0, 'miny': 6678761.78344556, 'maxx': 611.49622628141, 'maxy': 6679373.279671842}"},
      {20, 1048575, 1048575,
       "{'minx': 20037470.1242751, 'miny': -20037508.342789244, 'maxx': 20037508.342789244, 'maxy': -20037470.1242751}"},
  };
  for (const auto& c : cases) {
    TileBounds b = xyz_to_bbox_web_mercator(c.z, c.x, c.y);
    EXPECT_EQ(b.py_repr(), c.repr) << c.z << "/" << c.x << "/" << c.y;
  }
  TileBounds b = xyz_to_bbox_web_mercator(1, 0, 0);
  EXPECT_EQ(vekt::web::dump_json(b.to_json()),
            "{\"minx\":-20037508.342789244,\"miny\":0.0,\"maxx\":0.0,\"maxy\":20037508.342789244}");
}

TEST(TileArithmetic, TileOfKnownPoints) {
  struct Case {
    double lat, lon;
    int zoom;
    long long x, y;
  };
  const Case cases[] = {
      {51.5074, -0.1278, 10, 511, 340},   // London
      {9.0765, 7.3986, 16, 34114, 31108},  // Abuja
      {-33.8688, 151.2093, 12, 3768, 2457},
      {0.0, 0.0, 1, 1, 1},
      {0.0, 0.0, 0, 0, 0},
      // Clamped to the pyramid at the poles and the antimeridian.
      {85.06, 0.0, 3, 4, 0},
      {90.0, 180.0, 16, 65535, 0},
      {-90.0, -180.0, 16, 0, 65535},
      {-89.9, 540.0, 4, 15, 15},
  };
  for (const auto& c : cases) {
    TileXyz t = latlon_to_xyz(c.lat, c.lon, c.zoom);
    EXPECT_EQ(t.z, c.zoom);
    EXPECT_EQ(t.x, c.x) << c.lat << "," << c.lon;
    EXPECT_EQ(t.y, c.y) << c.lat << "," << c.lon;
  }
  TileXyz nan_tile = latlon_to_xyz(std::nan(""), std::nan(""), 5);
  EXPECT_EQ(nan_tile.x, 0);
  EXPECT_EQ(nan_tile.y, 0);
  EXPECT_EQ(latlon_to_xyz(1, 2, 16).py_repr(), "{'z': 16, 'x': 33132, 'y': 32585}");
  EXPECT_EQ(vekt::web::dump_json(latlon_to_xyz(1, 2, 16).to_json()), "{\"z\":16,\"x\":33132,\"y\":32585}");
}

TEST(TileArithmetic, BothDirectionsAgree) {
  // The tile found for a point holds that point's Web Mercator position.
  const double points[][2] = {{51.5074, -0.1278}, {9.0765, 7.3986}, {-33.8688, 151.2093}, {60.0, -179.9}};
  for (const auto& p : points) {
    for (int zoom : {1, 8, 16, 20}) {
      TileXyz t = latlon_to_xyz(p[0], p[1], zoom);
      TileBounds b = xyz_to_bbox_web_mercator(t.z, t.x, t.y);
      double mx = p[1] * WEB_MERCATOR_HALF_EXTENT / 180.0;
      double my = std::log(std::tan((90.0 + p[0]) * M_PI / 360.0)) * WEB_MERCATOR_HALF_EXTENT / M_PI;
      EXPECT_LE(b.minx, mx + 1e-6);
      EXPECT_GE(b.maxx, mx - 1e-6);
      EXPECT_LE(b.miny, my + 1e-6);
      EXPECT_GE(b.maxy, my - 1e-6);
    }
  }
}

TEST(DateText, PlainDate) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 10;
  EXPECT_EQ(format_date_html(t), "10 December 2026");
  t.tm_mon = 0;
  t.tm_mday = 1;
  EXPECT_EQ(format_date_html(t), "1 January 2026");
}

TEST(DateText, SettableClock) {
  // Noon UTC on 2027-03-05 is the 5th in every time zone within +-11 hours.
  const auto fixed = std::chrono::system_clock::from_time_t(1804248000);
  set_clock([fixed] { return fixed; });
  EXPECT_EQ(now(), fixed);
  EXPECT_EQ(format_date_html(now()), "5 March 2027");
  set_clock(nullptr);
  EXPECT_NE(now(), fixed);
}

}  // namespace
