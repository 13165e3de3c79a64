// Plot records and their beacon records, from parcel rows: the legs of every parcel in one
// statement and the beacons they start at in another, then each parcel's boundary rebuilt in ring
// order from those two results.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "brellow/bearing.hpp"
#include "brellow/case_mapping.hpp"
#include "brellow/errors.hpp"
#include "brellow/generator.hpp"
#include "brellow/outline.hpp"
#include "brellow/ring.hpp"
#include "host/logger.hpp"

namespace vekt::brellow {

namespace {

const std::string& legs_sql() {
  static const std::string s =
      fmt::format(R"(SELECT {} FROM "GIS"."BOUNDARY" WHERE "PLOTID" = ANY(CAST(:ids AS bigint[])))",
                  host::BOUNDARY::columns());
  return s;
}

const std::string& beacons_sql() {
  static const std::string s = fmt::format(R"(SELECT {} FROM "GIS"."BEACON" WHERE "ID" = ANY(CAST(:ids AS bigint[])))",
                                           host::BEACON::columns());
  return s;
}

// An array of ids as PostgreSQL's array text, "{1,2,3}".
std::string id_array(const std::vector<std::int64_t>& ids) {
  std::string s = "{";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i) s += ',';
    s += fmt::to_string(ids[i]);
  }
  s += '}';
  return s;
}

// The statements' one parameter. (Built here, not in braces inside the coroutines: g++ 12 rejects
// a string literal in a braced pair there.)
pg::Params ids_param(const std::vector<std::int64_t>& ids) {
  pg::Params p;
  p.emplace_back("ids", pg::Value(id_array(ids)));
  return p;
}

std::vector<std::int64_t> distinct(std::vector<std::int64_t> ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

[[noreturn]] void refuse(std::int64_t plot_id, std::string record, std::string field, const std::string& why) {
  ImpossibleSurveyRecord e(plot_id, std::move(record), std::move(field), why);
  host::get_logger("vekt.brellow")->warn("{}", e.what());
  throw e;
}

// The first of `columns` (by index into the row, with their names) that holds NULL, or nullptr.
const char* null_column(const pg::Row& row, std::initializer_list<std::pair<std::size_t, const char*>> columns) {
  for (const auto& [index, name] : columns)
    if (row[index].is_null()) return name;
  return nullptr;
}

// A leg row, refused when it holds a value no plan may print. (The columns are those of
// host::BOUNDARY::columns(), in that order.)
host::BOUNDARY checked_leg(const pg::Row& row) {
  const std::int64_t plot_id = row[1].as_int();
  const std::int64_t leg_id = row[0].as_int();
  const std::string leg = fmt::format("leg {}", leg_id);
  if (const char* c = null_column(row, {{2, "BEACON1ID"}, {3, "BEACON2ID"}, {5, "LENGTH"}, {6, "ANGLEDEG"}, {7, "ANGLEMIN"}}))
    refuse(plot_id, leg, c, "is NULL");
  host::BOUNDARY l = host::BOUNDARY::from_row(row);
  if (!std::isfinite(l.length) || l.length < 0)
    refuse(plot_id, leg, "LENGTH", fmt::format("is {}; a leg length is a finite number of metres, 0 or more", l.length));
  if (l.angledeg < 0 || l.angledeg > 359)
    refuse(plot_id, leg, "ANGLEDEG", fmt::format("is {}; bearing degrees run from 0 to 359", l.angledeg));
  if (l.anglemin < 0 || l.anglemin > 59)
    refuse(plot_id, leg, "ANGLEMIN", fmt::format("is {}; bearing minutes run from 0 to 59", l.anglemin));
  return l;
}

// A beacon row as read, with the name of a column the boundary cannot do without that holds NULL
// (the point or the number), and whether its coordinates are recorded.
struct ReadBeacon {
  host::BEACON beacon;
  const char* missing = nullptr;
  const char* missing_coordinate = nullptr;  // "NORTHING" or "EASTING"
};

// (The columns are those of host::BEACON::columns(), in that order.)
ReadBeacon read_beacon(const pg::Row& row) {
  ReadBeacon r;
  r.missing = null_column(row, {{1, "BEACON_NO"}, {4, "GEOMETRY"}});
  r.missing_coordinate = null_column(row, {{2, "NORTHING"}, {3, "EASTING"}});
  if (!r.missing && !r.missing_coordinate) {
    r.beacon = host::BEACON::from_row(row);
    return r;
  }
  r.beacon.id = row[0].as_int();
  if (!row[1].is_null()) r.beacon.beacon_no = row[1].text();
  return r;
}

plots::BeaconRecord beacon_record(const ReadBeacon& read, const host::BOUNDARY& leg) {
  const host::BEACON& beacon = read.beacon;
  plots::BeaconRecord r;
  r.beacon_id = beacon.id;
  r.beacon_name = beacon.beacon_no;
  if (!read.missing_coordinate) {
    r.beacon_northing = plots::Number{beacon.northing};
    r.beacon_easting = plots::Number{beacon.easting};
  }
  if (beacon.geometry) r.geometry = plots::GeoJson{beacon.geometry->geojson};
  r.distance_to_next = plots::Number{leg.length};
  BearingTexts b = bearing_texts(leg.angledeg, leg.anglemin);
  r.bearing_to_next = std::move(b.full);
  r.bearing_deg_to_next = std::move(b.degrees);
  r.bearing_min_to_next = std::move(b.minutes);
  return r;
}

// True when a numeric text ("-12.50", "0.00", "-0") is below zero.
bool is_negative(const std::string& numeric) {
  return numeric.starts_with('-') && numeric.find_first_of("123456789") != std::string::npos;
}

// True when a numeric text is a finite number. PostgreSQL writes every finite numeric with a digit
// last, and the others as "NaN", "Infinity" and "-Infinity".
bool is_finite(const std::string& numeric) {
  return !numeric.empty() && numeric.back() >= '0' && numeric.back() <= '9';
}

// A parcel's outline as the figure draws it. The parcel a plan is drawn of (its boundary read) must
// have one valid polygon; a neighbour's is drawn as repaired, or left out (nullopt), with a line
// in the log.
std::optional<plots::GeoJson> outline_of(const host::PLOT& row, bool drawn) {
  if (!row.geometry) return std::nullopt;
  if (drawn) {
    PlanOutline o = plan_outline(*row.geometry);
    if (!o.fault.empty()) refuse(row.id, fmt::format("plot {}", row.id), "GEOMETRY", o.fault);
    return plots::GeoJson{std::move(o.geojson)};
  }
  Surroundings s = drawable_surroundings(*row.geometry, true);
  log_surroundings("Plot", row.id, s);
  if (!s.geojson) return std::nullopt;
  return plots::GeoJson{std::move(*s.geojson)};
}

plots::PlotRecord plot_record(host::PLOT&& row, std::vector<plots::BeaconRecord> boundary,
                              std::optional<plots::GeoJson> outline) {
  plots::PlotRecord r;
  r.id = row.id;
  r.name = std::move(row.plot_no);
  if (row.area_system) {
    // Checked for the parcels whose boundary is read, the ones a plan is drawn of.
    if (!boundary.empty() && !is_finite(*row.area_system))
      refuse(row.id, fmt::format("plot {}", row.id), "AREA_SYSTEM",
             fmt::format("is {}; an area is a finite number of square metres, 0 or more", *row.area_system));
    if (!boundary.empty() && is_negative(*row.area_system))
      refuse(row.id, fmt::format("plot {}", row.id), "AREA_SYSTEM", fmt::format("is {}; an area is 0 or more", *row.area_system));
    r.area = plots::Number{plots::Decimal{std::move(*row.area_system)}};
  } else {
    r.area_is_null = true;
  }
  r.file_no = std::move(row.file_no);
  r.geometry = std::move(outline);
  r.boundary = std::move(boundary);
  r.surveyed_by = std::move(row.surveyed_by);
  r.address = row.address && !row.address->empty() ? upper_case(*row.address) : std::string();
  r.plan_layout_no = std::move(row.plan_layout_no);
  return r;
}

// A parcel's legs in ring order; legs that make no closed ring are refused, since bearings printed
// in any other order would stand on the wrong edges.
std::vector<host::BOUNDARY> in_ring_order(std::int64_t plot_id, std::vector<host::BOUNDARY> legs) {
  if (auto ring = ring_order(legs)) return std::move(*ring);
  sort_by_seq_then_id(legs);
  std::string ids;
  for (std::size_t i = 0; i < legs.size(); ++i) ids += fmt::format("{}{}", i ? ", " : "", legs[i].id);
  refuse(plot_id, fmt::format("legs {}", ids), "BEACON1ID/BEACON2ID",
         "do not form one closed ring, neither in SEQ order nor by following the beacons");
}

// The beacon record of each leg of a parcel drawn on a plan: each beacon with its point and
// number, and the origin beacon (the first) with its coordinates.
// A leg that starts at a beacon never recorded is reported as such before the ring is judged.
std::vector<plots::BeaconRecord> boundary_records(std::int64_t plot_id, std::vector<host::BOUNDARY> stored,
                                                  const std::unordered_map<std::int64_t, ReadBeacon>& beacons) {
  for (const host::BOUNDARY& leg : stored)
    if (!beacons.contains(leg.beacon1id)) throw BoundaryDataError(plot_id, leg.id, leg.beacon1id);
  const std::vector<host::BOUNDARY> legs = in_ring_order(plot_id, std::move(stored));
  std::vector<plots::BeaconRecord> boundary;
  boundary.reserve(legs.size());
  for (const host::BOUNDARY& leg : legs) {
    const ReadBeacon& b = beacons.at(leg.beacon1id);
    if (b.missing) refuse(plot_id, fmt::format("beacon {}", b.beacon.id), b.missing, "is NULL");
    if (boundary.empty()) {
      const auto bad = [&](const char* column) {
        refuse(plot_id, fmt::format("beacon {}", b.beacon.id), column,
               "is not recorded; the origin beacon's coordinates are printed on the plan");
      };
      if (b.missing_coordinate) bad(b.missing_coordinate);
      if (!std::isfinite(b.beacon.northing)) bad("NORTHING");
      if (!std::isfinite(b.beacon.easting)) bad("EASTING");
    }
    boundary.push_back(beacon_record(b, leg));
  }
  return boundary;
}

}  // namespace

boost::asio::awaitable<std::vector<plots::PlotRecord>> PlanImageGenerator::get_plot_details(
    std::vector<host::PLOT> plots, pg::Session& session) {
  co_return co_await records(std::move(plots), session, std::nullopt);
}

boost::asio::awaitable<std::vector<plots::PlotRecord>> PlanImageGenerator::records(
    std::vector<host::PLOT> plots, pg::Session& session, std::optional<std::int64_t> boundary_of) {
  std::vector<plots::PlotRecord> out;
  if (plots.empty()) co_return out;

  std::vector<std::int64_t> plot_ids;
  for (const host::PLOT& p : plots)
    if (!boundary_of || p.id == *boundary_of) plot_ids.push_back(p.id);
  plot_ids = distinct(std::move(plot_ids));

  // Legs per parcel, in ring order, and the beacons they start at, by id.
  std::unordered_map<std::int64_t, std::vector<host::BOUNDARY>> legs_of;
  std::unordered_map<std::int64_t, ReadBeacon> beacons;
  if (!plot_ids.empty()) {
    const pg::Result leg_rows = co_await run(session, legs_sql(), ids_param(plot_ids));
    std::vector<std::int64_t> beacon_ids;
    beacon_ids.reserve(leg_rows.size());
    for (std::size_t i = 0; i < leg_rows.size(); ++i) {
      host::BOUNDARY leg = checked_leg(leg_rows.row(i));
      beacon_ids.push_back(leg.beacon1id);
      legs_of[leg.plotid].push_back(std::move(leg));
    }
    if (!beacon_ids.empty()) {
      const pg::Result beacon_rows =
          co_await run(session, beacons_sql(), ids_param(distinct(std::move(beacon_ids))));
      beacons.reserve(beacon_rows.size());
      for (std::size_t i = 0; i < beacon_rows.size(); ++i) {
        ReadBeacon b = read_beacon(beacon_rows.row(i));
        const std::int64_t id = b.beacon.id;
        beacons.emplace(id, std::move(b));
      }
    }
  }

  out.reserve(plots.size());
  for (host::PLOT& p : plots) {
    std::vector<plots::BeaconRecord> boundary;
    // Copied, not moved: a parcel asked for twice gets its legs twice.
    if (auto legs = legs_of.find(p.id); legs != legs_of.end()) boundary = boundary_records(p.id, legs->second, beacons);
    // Checked as the area is: for the parcels whose boundary is read, the ones a plan is drawn of.
    const bool drawn = !boundary.empty();
    std::optional<plots::GeoJson> outline = outline_of(p, drawn);
    if (p.geometry && !outline) continue;  // a neighbour with nothing to draw
    out.push_back(plot_record(std::move(p), std::move(boundary), std::move(outline)));
  }
  co_return out;
}

}  // namespace vekt::brellow
