#pragma once
// PlanImageGenerator: the plan documents of one parcel, made over the request's database session.
//
// The generator holds the session and the repositories built over it, and nothing else that lasts:
// every call reads the database afresh. It only reads through the session it is given, and each
// of its statements runs under STATEMENT_TIMEOUT (cancelled on the server when the limit passes,
// then ReadTimeout naming the table).
// It never rolls back or closes the session, and commits only the read transaction that a
// document method itself opened, once its data is read: the connection then goes back to its pool
// while the figure and the PDF take their seconds. A transaction the caller had open stays open.
//
// The plan data (the parcel, its neighbours, its roads, its boundary legs with their beacons) is
// read in a fixed handful of statements whatever the number of neighbours: the parcel by id, the
// parcels within NEIGHBOUR_DISTANCE, the nearest roads, the legs of all parcels at once and their
// beacons at once.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "brellow/timings.hpp"
#include "host/models.hpp"
#include "host/responses.hpp"
#include "host/repository.hpp"
#include "pg/session.hpp"
#include "plots/records.hpp"

namespace vekt::brellow {

// Parcels and roads within this distance of the parcel, in the units of the stored geometries
// (EPSG:3857), a distance of exactly 50 included.
inline constexpr double NEIGHBOUR_DISTANCE = 50;
// At most this many roads, nearest first.
inline constexpr std::int64_t MAX_ROADS = 3;
// The limit on each statement of a plan read.
inline constexpr std::chrono::seconds STATEMENT_TIMEOUT{15};

// A parcel with what lies around it: the plot records of every parcel within the distance (the
// parcel itself among them, in the database's order), and the nearest roads, nearest first.
// `roads` is absent when no road is near, never an empty list. An unknown parcel gives no plots and
// no roads.
struct Neighbourhood {
  std::vector<plots::PlotRecord> plots;
  std::optional<std::vector<plots::RoadRecord>> roads;
};

// Which boundaries a neighbourhood read fills in.
enum class Boundaries {
  // Every parcel's legs and beacons: the complete records. A broken leg of any parcel fails the
  // read (BoundaryDataError).
  all,
  // Only the requested parcel's; the others get an empty boundary. A plan draws the neighbours'
  // outlines only, so one neighbour's broken survey record must not stop another parcel's plan.
  requested_only,
};

// Sees the text of each statement just before it is sent (a count of the statements of a read).
using StatementObserver = std::function<void(std::string_view sql)>;

class PlanImageGenerator {
 public:
  // Keeps the session (which must outlive the generator) and builds the repositories over it; no
  // statement runs here.
  explicit PlanImageGenerator(pg::Session& db);
  // The repositories and the statement runner refer to this object.
  PlanImageGenerator(const PlanImageGenerator&) = delete;
  PlanImageGenerator& operator=(const PlanImageGenerator&) = delete;

  // The parcel `plot_id`, every parcel within NEIGHBOUR_DISTANCE of it and the MAX_ROADS nearest
  // roads within it, read through `db`. An unknown id gives an empty Neighbourhood; a parcel
  // without an outline (NULL or empty) raises ParcelHasNoGeometry, after the one look-up.
  boost::asio::awaitable<Neighbourhood> get_plot_with_nearby(pg::Session& db, std::int64_t plot_id);
  // The same read with a choice of boundaries; plan documents use Boundaries::requested_only.
  boost::asio::awaitable<Neighbourhood> get_plot_with_nearby(pg::Session& db, std::int64_t plot_id,
                                                             Boundaries boundaries);

  // One plot record per parcel row, in the rows' order (a row given twice gives two records), each
  // with its boundary in ring order: one beacon record per leg, the legs and their beacons read in
  // one statement each. A leg whose beacon does not exist raises BoundaryDataError.
  boost::asio::awaitable<std::vector<plots::PlotRecord>> get_plot_details(std::vector<host::PLOT> plots,
                                                                          pg::Session& db);

  // The deed plan of the parcel as PDF bytes, or nullopt for an unknown parcel. The caller's
  // district, cadastral zone, file number and person's name are printed in upper case; the box,
  // when given, frames the figure. ParcelHasNoGeometry or ParcelHasNoBoundary before anything is
  // drawn for a parcel that cannot have a plan.
  boost::asio::awaitable<std::optional<std::string>> generate_deedplan_html(
      std::int64_t plot_id, std::string district, std::string file_no, std::string person_name, std::string cadzone,
      std::optional<plots::BoundingBox> bounding_box = std::nullopt);
  // The site plan of the parcel in the response envelope as "SitePlan_<id>.pdf", or nullopt for an
  // unknown parcel; the same checks as the deed plan.
  boost::asio::awaitable<std::optional<host::ApiResponse>> generate_siteplan_html(
      std::int64_t plot_id, std::optional<plots::BoundingBox> bounding_box = std::nullopt);

  // For the routes and benchmarks: where the time of the documents made from now on goes.
  void record_timings(DocumentTimings* timings) { timings_ = timings; }
  // For the routes: asked before the figure and before the PDF of each document (from any thread);
  // true drops the document with ClientGone.
  void watch_client(std::function<bool()> gone) { client_gone_ = std::move(gone); }
  const std::function<bool()>& client_watch() const { return client_gone_; }

  // The session and repositories, as the host gave and built them.
  pg::Session& db;
  host::AsyncBaseRepository<host::PLOT> plot_repository;
  host::AsyncBaseRepository<host::BEACON> beacon_repository;
  host::AsyncBaseRepository<host::BOUNDARY> boundary_repository;
  host::AsyncBaseRepository<host::LandPurpose> land_purpose_repository;
  host::AsyncBaseRepository<host::ROAD> road_repository;

  // For tests and benchmarks: see each statement of this generator's reads, and change the limit.
  void observe_statements(StatementObserver observer);
  void set_statement_timeout(std::chrono::milliseconds limit);

 private:
  // Runs one statement of a read: observed, prepared once per connection, under the time limit.
  boost::asio::awaitable<pg::Result> run(pg::Session& db, std::string sql, pg::Params params);
  boost::asio::awaitable<std::vector<plots::PlotRecord>> records(std::vector<host::PLOT> plots, pg::Session& db,
                                                                 std::optional<std::int64_t> boundary_of);

  host::StatementRunner runner();

  StatementObserver observer_;
  DocumentTimings* timings_ = nullptr;
  std::function<bool()> client_gone_;
  std::chrono::milliseconds statement_timeout_ = STATEMENT_TIMEOUT;
};

}  // namespace vekt::brellow
