// The parcel, the parcels and roads around it.
#include <fmt/format.h>

#include "brellow/errors.hpp"
#include "brellow/generator.hpp"
#include "brellow/outline.hpp"

namespace vekt::brellow {

namespace {

// The reference outline is a bound value (its extended WKB, SRID included), never a join or text.
const std::string& plots_sql() {
  static const std::string s =
      fmt::format(R"(SELECT {} FROM "GIS"."PLOT" WHERE ST_DWithin("GEOMETRY", ST_GeomFromEWKB(:g), {}))",
                  host::PLOT::columns(), NEIGHBOUR_DISTANCE);
  return s;
}

const std::string& roads_sql() {
  static const std::string s = fmt::format(
      R"(SELECT {} FROM "GIS"."ROAD" WHERE ST_DWithin("GEOMETRY", ST_GeomFromEWKB(:g), {}) )"
      R"(ORDER BY ST_Distance(ST_GeomFromEWKB(:g), "GEOMETRY") LIMIT {})",
      host::ROAD::columns(), NEIGHBOUR_DISTANCE, MAX_ROADS);
  return s;
}

pg::Params outline_param(const host::Geometry& g) {
  pg::Params p;
  p.emplace_back("g", pg::Value(pg::Bytes{g.ewkb}));
  return p;
}

}  // namespace

boost::asio::awaitable<Neighbourhood> PlanImageGenerator::get_plot_with_nearby(pg::Session& session,
                                                                               std::int64_t plot_id) {
  co_return co_await get_plot_with_nearby(session, plot_id, Boundaries::all);
}

boost::asio::awaitable<Neighbourhood> PlanImageGenerator::get_plot_with_nearby(pg::Session& session,
                                                                               std::int64_t plot_id,
                                                                               Boundaries boundaries) {
  // The parcel is looked up on the same session as the statements after it, so the read is one.
  host::AsyncBaseRepository<host::PLOT> parcels(session, runner());
  std::optional<host::PLOT> reference = co_await parcels.get_by_id(plot_id);
  if (!reference) co_return Neighbourhood{};
  // Without an outline nothing lies near the parcel and nothing can be drawn; say so rather than
  // answer as for a parcel that does not exist.
  if (!reference->geometry || reference->geometry->empty()) throw ParcelHasNoGeometry(plot_id);

  const pg::Params near = outline_param(*reference->geometry);
  const pg::Result plot_rows = co_await run(session, plots_sql(), near);
  const pg::Result road_rows = co_await run(session, roads_sql(), near);

  std::vector<host::PLOT> plots;
  plots.reserve(plot_rows.size());
  for (std::size_t i = 0; i < plot_rows.size(); ++i) plots.push_back(host::PLOT::from_row(plot_rows.row(i)));

  Neighbourhood out;
  out.plots = co_await records(std::move(plots), session,
                               boundaries == Boundaries::requested_only ? std::optional(plot_id) : std::nullopt);
  if (!road_rows.empty()) {
    out.roads.emplace();
    out.roads->reserve(road_rows.size());
    for (std::size_t i = 0; i < road_rows.size(); ++i) {
      host::ROAD road = host::ROAD::from_row(road_rows.row(i));
      plots::RoadRecord r;
      r.name = std::move(road.road_name);
      if (road.geometry) {
        // A road is only the plan's surroundings: one whose geometry is not valid is drawn as
        // repaired, or left out, and said so in the log.
        Surroundings s = drawable_surroundings(*road.geometry, false);
        log_surroundings("Road", road.id, s);
        if (!s.geojson) continue;
        r.geometry = plots::GeoJson{std::move(*s.geojson)};
      }
      out.roads->push_back(std::move(r));
    }
  }
  co_return out;
}

}  // namespace vekt::brellow
