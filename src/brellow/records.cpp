// Plot records and their beacon records, from parcel rows: the legs of every parcel in one
// statement and the beacons they start at in another, then each parcel's boundary rebuilt in ring
// order from those two results.
#include <algorithm>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "brellow/bearing.hpp"
#include "brellow/case_mapping.hpp"
#include "brellow/errors.hpp"
#include "brellow/generator.hpp"
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

plots::BeaconRecord beacon_record(const host::BEACON& beacon, const host::BOUNDARY& leg) {
  plots::BeaconRecord r;
  r.beacon_id = beacon.id;
  r.beacon_name = beacon.beacon_no;
  r.beacon_northing = plots::Number{beacon.northing};
  r.beacon_easting = plots::Number{beacon.easting};
  if (beacon.geometry) r.geometry = plots::GeoJson{beacon.geometry->geojson};
  r.distance_to_next = plots::Number{leg.length};
  BearingTexts b = bearing_texts(leg.angledeg, leg.anglemin);
  r.bearing_to_next = std::move(b.full);
  r.bearing_deg_to_next = std::move(b.degrees);
  r.bearing_min_to_next = std::move(b.minutes);
  return r;
}

plots::PlotRecord plot_record(host::PLOT&& row, std::vector<plots::BeaconRecord> boundary) {
  plots::PlotRecord r;
  r.id = row.id;
  r.name = std::move(row.plot_no);
  if (row.area_system) r.area = plots::Number{plots::Decimal{std::move(*row.area_system)}};
  r.file_no = std::move(row.file_no);
  if (row.geometry) r.geometry = plots::GeoJson{std::move(row.geometry->geojson)};
  r.boundary = std::move(boundary);
  r.surveyed_by = std::move(row.surveyed_by);
  r.address = row.address && !row.address->empty() ? upper_case(*row.address) : std::string();
  r.plan_layout_no = std::move(row.plan_layout_no);
  return r;
}

// A parcel's legs in ring order; legs that make no closed ring keep the order of "SEQ", then "ID",
// and the log says which parcel's survey record needs mending.
std::vector<host::BOUNDARY> in_ring_order(std::int64_t plot_id, std::vector<host::BOUNDARY> legs) {
  if (auto ring = ring_order(legs)) return std::move(*ring);
  host::get_logger("vekt.brellow")
      ->warn("Plot {}: its boundary legs do not form one closed ring; they are kept in order of SEQ, then ID",
             plot_id);
  sort_by_seq_then_id(legs);
  return legs;
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
  std::unordered_map<std::int64_t, host::BEACON> beacons;
  if (!plot_ids.empty()) {
    const pg::Result leg_rows = co_await run(session, legs_sql(), ids_param(plot_ids));
    std::vector<std::int64_t> beacon_ids;
    beacon_ids.reserve(leg_rows.size());
    for (std::size_t i = 0; i < leg_rows.size(); ++i) {
      host::BOUNDARY leg = host::BOUNDARY::from_row(leg_rows.row(i));
      beacon_ids.push_back(leg.beacon1id);
      legs_of[leg.plotid].push_back(std::move(leg));
    }
    for (auto& [plot_id, legs] : legs_of) legs = in_ring_order(plot_id, std::move(legs));
    if (!beacon_ids.empty()) {
      const pg::Result beacon_rows =
          co_await run(session, beacons_sql(), ids_param(distinct(std::move(beacon_ids))));
      beacons.reserve(beacon_rows.size());
      for (std::size_t i = 0; i < beacon_rows.size(); ++i) {
        host::BEACON b = host::BEACON::from_row(beacon_rows.row(i));
        const std::int64_t id = b.id;
        beacons.emplace(id, std::move(b));
      }
    }
  }

  out.reserve(plots.size());
  for (host::PLOT& p : plots) {
    std::vector<plots::BeaconRecord> boundary;
    if (auto legs = legs_of.find(p.id); legs != legs_of.end()) {
      boundary.reserve(legs->second.size());
      for (const host::BOUNDARY& leg : legs->second) {
        auto beacon = beacons.find(leg.beacon1id);
        if (beacon == beacons.end()) throw BoundaryDataError(p.id, leg.id, leg.beacon1id);
        boundary.push_back(beacon_record(beacon->second, leg));
      }
    }
    out.push_back(plot_record(std::move(p), std::move(boundary)));
  }
  co_return out;
}

}  // namespace vekt::brellow
