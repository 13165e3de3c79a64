#pragma once
// A synthetic but plausible cadastre, deterministic from a seed: local government areas divided
// into districts, districts into cadastral zones, zones into street blocks separated by roads,
// and blocks into parcels whose corners are shared survey beacons. Everything is written as psql
// COPY sections into the "GIS" tables (see sql/schema.sql).
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace vekt::gen {

// How many areas of each level nest in the next one, along x and along y, and the range of
// block lengths (metres, along the streets).
struct SizeSpec {
  std::string name;
  int lga_x, lga_y;        // LGAs in the whole area
  int district_x, district_y;  // districts per LGA
  int zone_x, zone_y;      // cadastral zones per district
  int block_x, block_y;    // street blocks per zone
  double block_len_min, block_len_max;
};

// "small" (about 200 parcels), "demo" (about 20 000), "large" (about 1 000 000).
std::optional<SizeSpec> size_by_name(std::string_view name);

struct Options {
  SizeSpec size;
  std::uint64_t seed = 1;
  std::int64_t first_id = 1000;  // first id in every table; lower ids are left to fixtures
};

struct Counts {
  std::int64_t lgas = 0, districts = 0, zones = 0, land_purposes = 0, roads = 0;
  std::int64_t blocks = 0, plots = 0, beacons = 0, legs = 0;
};

// South-west corner of the generated area in EPSG:3857 (about longitude 7.40, latitude 9.00)
// and the angle by which the street grid is turned anticlockwise from grid east.
inline constexpr double ORIGIN_X = 823800.0;
inline constexpr double ORIGIN_Y = 1006000.0;
inline constexpr double GRID_ROTATION_DEG = 7.0;

// Writes COPY sections for every "GIS" table to `out`, in an order that satisfies the foreign
// keys (land purposes, LGAs, districts, zones, roads, then beacons, parcels and legs in chunks).
// Throws std::runtime_error when writing fails.
Counts write_cadastre(const Options& options, std::FILE* out);

// Grid bearing from `dx`, `dy` (clockwise from grid north), rounded to the nearest whole minute.
struct Bearing {
  int degrees;
  int minutes;
};
Bearing grid_bearing(double dx, double dy);

}  // namespace vekt::gen
