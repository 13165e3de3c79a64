// The plan data of a parcel: neighbourhood, records, ring order, errors, statement count and time
// limit, read from the real database over the hand-made parcels of plan_fixture.sql.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "base/with_timeout.hpp"
#include "brellow/errors.hpp"
#include "brellow/generator.hpp"
#include "support/plan_fixture.hpp"
#include "support/sync_pg.hpp"
#include "support/run.hpp"

namespace asio = boost::asio;
using namespace std::chrono_literals;
using vekt::brellow::Boundaries;
using vekt::brellow::Neighbourhood;
using vekt::brellow::PlanImageGenerator;
using vekt::plots::BeaconRecord;
using vekt::plots::PlotRecord;

namespace {

std::vector<std::int64_t> ids_of(const std::vector<PlotRecord>& plots) {
  std::vector<std::int64_t> ids;
  for (const auto& p : plots) ids.push_back(p.id.value());
  return ids;
}

std::vector<std::string> road_names(const Neighbourhood& n) {
  std::vector<std::string> names;
  for (const auto& r : n.roads.value()) names.push_back(r.name.value_or("<null>"));
  return names;
}

std::vector<std::string> beacon_names(const PlotRecord& p) {
  std::vector<std::string> names;
  for (const auto& b : p.boundary.value()) names.push_back(b.beacon_name.value());
  return names;
}

const PlotRecord& record_of(const Neighbourhood& n, std::int64_t id) {
  for (const auto& p : n.plots)
    if (p.id == id) return p;
  throw std::runtime_error("no record " + std::to_string(id));
}

double number(const std::optional<vekt::plots::Number>& n) { return std::get<double>(n.value()); }

class PlanData : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* url = std::getenv("DATABASE_URL");
    if (url && *url) vekt::testing::load_plan_fixture();
  }
  static void TearDownTestSuite() {
    const char* url = std::getenv("DATABASE_URL");
    if (url && *url) vekt::testing::clear_plan_fixture();
  }
  void SetUp() override {
    const char* url = std::getenv("DATABASE_URL");
    if (!url || !*url) GTEST_SKIP() << "DATABASE_URL is not set";
    database_ = std::make_unique<vekt::pg::Database>(vekt::pg::DatabaseOptions{url, 2});
    session_ = std::make_unique<vekt::pg::Session>(*database_);
    generator_ = std::make_unique<PlanImageGenerator>(*session_);
    generator_->observe_statements([this](std::string_view sql) { statements_.emplace_back(sql); });
  }
  void TearDown() override {
    if (session_) vekt::testing::run(io_, session_->close());
  }

  template <class T>
  T run(asio::awaitable<T> aw) {
    return vekt::testing::run(io_, std::move(aw));
  }
  Neighbourhood nearby(std::int64_t id, Boundaries b = Boundaries::all) {
    return run(generator_->get_plot_with_nearby(*session_, id, b));
  }
  // A statement on the test's own session, outside the generator (not counted).
  void exec(const std::string& sql) { run(session_->execute(sql)); }

  asio::io_context io_;
  std::unique_ptr<vekt::pg::Database> database_;
  std::unique_ptr<vekt::pg::Session> session_;
  std::unique_ptr<PlanImageGenerator> generator_;
  std::vector<std::string> statements_;
};

TEST_F(PlanData, UnknownParcelIsEmptyAfterOneStatement) {
  const Neighbourhood n = nearby(999);
  EXPECT_TRUE(n.plots.empty());
  EXPECT_FALSE(n.roads.has_value());
  ASSERT_EQ(statements_.size(), 1u);
  EXPECT_EQ(statements_[0],
            R"(SELECT "ID", "PLOT_NO", "AREA_SYSTEM", "file_no", "SURVEYED_BY", "ADDRESS", "PLAN_LAYOUT_NO", )"
            R"(ST_AsEWKB("GEOMETRY"), ST_AsGeoJSON("GEOMETRY", 15, 0) FROM "GIS"."PLOT" WHERE "ID" = :id)");
}

TEST_F(PlanData, NeighboursWithinFiftyAndTheThreeNearestRoads) {
  const Neighbourhood n = nearby(101);
  const auto ids = ids_of(n.plots);
  EXPECT_EQ(std::set<std::int64_t>(ids.begin(), ids.end()), (std::set<std::int64_t>{101, 102, 103}));
  EXPECT_EQ(n.plots.size(), 3u);
  EXPECT_EQ(road_names(n), (std::vector<std::string>{"R1", "R2", "R3"}));
  EXPECT_EQ(n.roads->front().geometry->text, R"({"type":"LineString","coordinates":[[800010,1000035],[800030,1000035]]})");
  // The parcel, its neighbours, the roads, all legs at once, all beacons at once.
  ASSERT_EQ(statements_.size(), 5u);
  EXPECT_NE(statements_[1].find(R"(WHERE ST_DWithin("GEOMETRY", ST_GeomFromEWKB(:g), 50))"), std::string::npos);
  EXPECT_NE(statements_[2].find(R"(ORDER BY ST_Distance(ST_GeomFromEWKB(:g), "GEOMETRY") LIMIT 3)"), std::string::npos);
  EXPECT_NE(statements_[3].find(R"("PLOTID" = ANY(CAST(:ids AS bigint[])))"), std::string::npos);
  EXPECT_NE(statements_[4].find(R"("GIS"."BEACON" WHERE "ID" = ANY(CAST(:ids AS bigint[])))"), std::string::npos);
}

TEST_F(PlanData, RoadReachIsPlanarAndIncludesFiftyExactly) {
  const Neighbourhood n = nearby(108);
  EXPECT_EQ(ids_of(n.plots), (std::vector<std::int64_t>{108}));
  EXPECT_EQ(road_names(n), (std::vector<std::string>{"R5"}));
}

TEST_F(PlanData, NoRoadNearGivesNoRoadListAtAll) {
  const Neighbourhood n = nearby(109);
  EXPECT_EQ(ids_of(n.plots), (std::vector<std::int64_t>{109}));
  EXPECT_FALSE(n.roads.has_value());
}

TEST_F(PlanData, PlotRecordAsStored) {
  const Neighbourhood n = nearby(101);
  const PlotRecord& p = record_of(n, 101);
  EXPECT_EQ(p.name, "PLOT 12A");
  EXPECT_EQ(std::get<vekt::plots::Decimal>(p.area.value()).digits, "1158.50");
  EXPECT_EQ(p.file_no, "LKN/1234");
  EXPECT_EQ(p.geometry->text,
            R"({"type":"Polygon","coordinates":[[[800000,1000000],[800040,1000000],[800040,1000030],)"
            R"([800003,1000030],[800000,1000027],[800000,1000000]]]})");
  EXPECT_FALSE(p.surveyed_by.has_value());
  EXPECT_EQ(p.address, "12A OBA AKRAN STRASSE");
  EXPECT_EQ(p.plan_layout_no, "TP/55/2019");
  // Empty and NULL addresses alike give "".
  EXPECT_EQ(record_of(n, 103).address, "");
  EXPECT_EQ(record_of(nearby(104), 104).address, "");
}

TEST_F(PlanData, BeaconRecordsInRingOrderFromShuffledLegs) {
  const PlotRecord p = record_of(nearby(101), 101);
  EXPECT_EQ(beacon_names(p), (std::vector<std::string>{"PB1", "PB2", "PB3", "PB4", "PB5"}));
  struct Leg {
    const char *full, *deg, *min;
    double length;
  };
  const Leg legs[] = {{"90\u00B005'", "90\u00B0", "05'", 40.0},
                      {"00\u00B000'", "00\u00B0", "00'", 30.0},
                      {"270\u00B000'", "270\u00B0", "00'", 37.0},
                      {"225\u00B007'", "225\u00B0", "07'", 4.24},
                      {"180\u00B000'", "180\u00B0", "00'", 27.0}};
  for (std::size_t i = 0; i < 5; ++i) {
    const BeaconRecord& b = p.boundary->at(i);
    EXPECT_EQ(b.bearing_to_next, legs[i].full) << i;
    EXPECT_EQ(b.bearing_deg_to_next, legs[i].deg) << i;
    EXPECT_EQ(b.bearing_min_to_next, legs[i].min) << i;
    EXPECT_EQ(number(b.distance_to_next), legs[i].length) << i;
  }
  const BeaconRecord& first = p.boundary->front();
  EXPECT_EQ(first.beacon_id, 101);
  EXPECT_EQ(number(first.beacon_northing), 7.0);
  EXPECT_EQ(number(first.beacon_easting), 345678.12351);
  EXPECT_EQ(first.geometry->text, R"({"type":"Point","coordinates":[800000,1000000]})");
  EXPECT_EQ(number(p.boundary->at(1).beacon_easting), 800040.0);
}

TEST_F(PlanData, SeqOrderAndSharedBeaconsRebuiltPerLeg) {
  const Neighbourhood n = nearby(101);
  const PlotRecord& b = record_of(n, 102);
  EXPECT_EQ(beacon_names(b), (std::vector<std::string>{"PB2", "PB6", "PB7", "PB3"}));
  // PB2 starts a leg of 101 and a leg of 102: one beacon row, two records with its values.
  const BeaconRecord& pb2_of_101 = record_of(n, 101).boundary->at(1);
  const BeaconRecord& pb2_of_102 = b.boundary->at(0);
  EXPECT_EQ(pb2_of_101.beacon_id, pb2_of_102.beacon_id);
  EXPECT_EQ(pb2_of_101.geometry, pb2_of_102.geometry);
  EXPECT_NE(pb2_of_101.bearing_to_next, pb2_of_102.bearing_to_next);
  EXPECT_TRUE(record_of(n, 103).boundary->empty());
}

TEST_F(PlanData, DetailsOfNoRowsSendNothingAndRepeatedRowsRepeat) {
  EXPECT_TRUE(run(generator_->get_plot_details({}, *session_)).empty());
  EXPECT_TRUE(statements_.empty());
  auto row = run(generator_->plot_repository.get_by_id(101)).value();
  statements_.clear();
  const auto records = run(generator_->get_plot_details({row, row}, *session_));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(beacon_names(records[0]), beacon_names(records[1]));
  EXPECT_EQ(records[0].boundary->at(3).bearing_to_next, records[1].boundary->at(3).bearing_to_next);
  EXPECT_EQ(statements_.size(), 2u);  // legs, beacons
}

TEST_F(PlanData, ParcelWithoutGeometryIsAnErrorNotAnUnknownParcel) {
  try {
    nearby(107);
    FAIL() << "no error";
  } catch (const vekt::brellow::ParcelHasNoGeometry& e) {
    EXPECT_EQ(e.plot_id, 107);
    EXPECT_STREQ(e.what(), "Plot 107 has no geometry");
  }
  EXPECT_EQ(statements_.size(), 1u);
}

TEST_F(PlanData, EmptyOutlineIsNoGeometryToo) {
  exec(R"(UPDATE "GIS"."PLOT" SET "GEOMETRY" = 'SRID=3857;POLYGON EMPTY' WHERE "ID" = 109)");
  EXPECT_THROW(nearby(109), vekt::brellow::ParcelHasNoGeometry);
  run(session_->rollback());
}

TEST_F(PlanData, RoadWithoutNameKeepsNoName) {
  exec(R"(UPDATE "GIS"."ROAD" SET "ROAD_NAME" = NULL WHERE "ID" = 105)");
  const Neighbourhood n = nearby(108);
  ASSERT_EQ(n.roads->size(), 1u);
  EXPECT_FALSE(n.roads->front().name.has_value());
  EXPECT_EQ(n.roads->front().geometry->text, R"({"type":"LineString","coordinates":[[801000,1000070],[801020,1000070]]})");
  run(session_->rollback());
}

TEST_F(PlanData, MissingBeaconNamesParcelLegAndBeacon) {
  for (Boundaries b : {Boundaries::all, Boundaries::requested_only}) {
    try {
      nearby(106, b);
      FAIL() << "no error";
    } catch (const vekt::brellow::BoundaryDataError& e) {
      EXPECT_EQ(e.plot_id, 106);
      EXPECT_EQ(e.leg_id, 123);
      EXPECT_EQ(e.beacon_id, 999);
      EXPECT_STREQ(e.what(), "Plot 106: boundary leg 123 names beacon 999, which does not exist");
    }
  }
}

TEST_F(PlanData, BrokenNeighbourFailsTheFullReadButNotTheDocumentRead) {
  // Inside the test session's transaction, rolled back at the end: a leg of 103 from a beacon that
  // does not exist.
  exec("SET LOCAL session_replication_role = replica");
  exec(R"(INSERT INTO "GIS"."BOUNDARY" VALUES (190, 103, 998, 101, NULL, 1, 0, 0))");
  // 103's one leg names a missing beacon (and closes no ring): the full read fails naming the beacon.
  EXPECT_THROW(nearby(101, Boundaries::all), vekt::brellow::BoundaryDataError);
  statements_.clear();
  const Neighbourhood n = nearby(101, Boundaries::requested_only);
  EXPECT_EQ(beacon_names(record_of(n, 101)), (std::vector<std::string>{"PB1", "PB2", "PB3", "PB4", "PB5"}));
  EXPECT_TRUE(record_of(n, 102).boundary->empty());
  EXPECT_TRUE(record_of(n, 103).boundary->empty());
  EXPECT_EQ(road_names(n), (std::vector<std::string>{"R1", "R2", "R3"}));
  EXPECT_EQ(statements_.size(), 5u);
  run(session_->rollback());
}

TEST_F(PlanData, LegsThatMakeNoRingAreRefusedNamingThemInTheLog) {
  exec(R"(INSERT INTO "GIS"."BOUNDARY" VALUES (191, 105, 113, 114, NULL, 20, 270, 0), (190, 105, 111, 112, NULL, 20, 90, 0))");
  testing::internal::CaptureStderr();
  try {
    nearby(105);
    ADD_FAILURE() << "no error";
  } catch (const vekt::brellow::ImpossibleSurveyRecord& e) {
    EXPECT_EQ(e.plot_id, 105);
    EXPECT_EQ(e.record, "legs 190, 191");
    EXPECT_EQ(e.field, "BEACON1ID/BEACON2ID");
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log,
            "WARNING:vekt.brellow:Plot 105: legs 190, 191 BEACON1ID/BEACON2ID: do not form one closed ring, neither "
            "in SEQ order nor by following the beacons\n");
  run(session_->rollback());
}

TEST_F(PlanData, ImpossibleSurveyValuesAreRefusedNamingRecordAndColumn) {
  // The schema forbids most of these; a survey database of another make may not. Inside the
  // test's transaction, rolled back at the end, its checks are set aside.
  exec(R"(ALTER TABLE "GIS"."BOUNDARY" DROP CONSTRAINT IF EXISTS "BOUNDARY_ANGLEDEG_check",
          DROP CONSTRAINT IF EXISTS "BOUNDARY_ANGLEMIN_check", DROP CONSTRAINT IF EXISTS "BOUNDARY_LENGTH_check",
          ALTER COLUMN "LENGTH" DROP NOT NULL)");
  exec(R"(ALTER TABLE "GIS"."BEACON" ALTER COLUMN "NORTHING" DROP NOT NULL, ALTER COLUMN "EASTING" DROP NOT NULL,
          ALTER COLUMN "BEACON_NO" DROP NOT NULL, ALTER COLUMN "GEOMETRY" DROP NOT NULL)");
  struct Case {
    std::string sql, record, field;
  };
  // 108: legs 110 (from beacon 111, the origin) to 113, beacons 111 to 114.
  for (const Case& c : {Case{R"(UPDATE "GIS"."BOUNDARY" SET "LENGTH" = -5 WHERE "ID" = 111)", "leg 111", "LENGTH"},
                        Case{R"(UPDATE "GIS"."BOUNDARY" SET "LENGTH" = NULL WHERE "ID" = 111)", "leg 111", "LENGTH"},
                        Case{R"(UPDATE "GIS"."BOUNDARY" SET "ANGLEDEG" = 400 WHERE "ID" = 112)", "leg 112", "ANGLEDEG"},
                        Case{R"(UPDATE "GIS"."BOUNDARY" SET "ANGLEMIN" = 75 WHERE "ID" = 112)", "leg 112", "ANGLEMIN"},
                        Case{R"(UPDATE "GIS"."BEACON" SET "GEOMETRY" = NULL WHERE "ID" = 113)", "beacon 113", "GEOMETRY"},
                        Case{R"(UPDATE "GIS"."BEACON" SET "BEACON_NO" = NULL WHERE "ID" = 112)", "beacon 112", "BEACON_NO"},
                        Case{R"(UPDATE "GIS"."BEACON" SET "NORTHING" = NULL WHERE "ID" = 111)", "beacon 111", "NORTHING"},
                        Case{R"(UPDATE "GIS"."BEACON" SET "EASTING" = NULL WHERE "ID" = 111)", "beacon 111", "EASTING"}}) {
    exec("SAVEPOINT impossible");
    exec(c.sql);
    for (Boundaries b : {Boundaries::all, Boundaries::requested_only}) {
      try {
        nearby(108, b);
        ADD_FAILURE() << c.sql << ": no error";
      } catch (const vekt::brellow::ImpossibleSurveyRecord& e) {
        EXPECT_EQ(e.plot_id, 108) << c.sql;
        EXPECT_EQ(e.record, c.record) << c.sql;
        EXPECT_EQ(e.field, c.field) << c.sql;
      }
    }
    exec("ROLLBACK TO SAVEPOINT impossible");
  }
  // A beacon that is not the origin may lack its coordinates: only the origin's are printed.
  exec(R"(UPDATE "GIS"."BEACON" SET "NORTHING" = NULL WHERE "ID" = 113)");
  EXPECT_EQ(record_of(nearby(108), 108).boundary->size(), 4u);
  run(session_->rollback());
}

TEST_F(PlanData, AnAreaOfNullIsRecordedAsUnknown) {
  EXPECT_TRUE(record_of(nearby(203), 203).area_is_null);
  EXPECT_FALSE(record_of(nearby(108), 108).area_is_null);
}

TEST_F(PlanData, ParcelWithoutLegsHasAnEmptyBoundary) {
  const Neighbourhood n = nearby(105);
  EXPECT_EQ(ids_of(n.plots), (std::vector<std::int64_t>{105}));
  EXPECT_TRUE(n.plots[0].boundary->empty());
  EXPECT_EQ(statements_.size(), 4u);  // no beacon to read
}

TEST_F(PlanData, ManyShortLegsInSeqOrder) {
  const PlotRecord p = record_of(nearby(111), 111);
  ASSERT_EQ(p.boundary->size(), 25u);
  EXPECT_EQ(p.boundary->front().beacon_name, "PB27");
  EXPECT_EQ(p.boundary->back().beacon_name, "PB51");
  for (const auto& b : *p.boundary) EXPECT_LT(number(b.distance_to_next), 7.5);
}

TEST_F(PlanData, ReadsLeaveTheSessionOpenAndUncommitted) {
  (void)nearby(101);
  EXPECT_TRUE(session_->in_transaction());
  EXPECT_TRUE(session_->has_connection());
  for (const auto& s : statements_) EXPECT_EQ(s.rfind("SELECT ", 0), 0u) << s;
}

TEST_F(PlanData, SlowStatementIsCancelledOnTheServerAtTheLimit) {
  // Another connection holds the legs table, so the legs statement waits.
  const vekt::testing::PgConn blocker = vekt::testing::connect_or_throw(std::getenv("DATABASE_URL"));
  ASSERT_EQ(PQstatus(blocker.get()), CONNECTION_OK);
  {
    const vekt::testing::PgResult locked = vekt::testing::exec(
        blocker.get(), R"(SET lock_timeout = '10s'; BEGIN; LOCK TABLE "GIS"."BOUNDARY" IN ACCESS EXCLUSIVE MODE)");
    ASSERT_EQ(PQresultStatus(locked.get()), PGRES_COMMAND_OK) << PQerrorMessage(blocker.get());
  }
  generator_->set_statement_timeout(300ms);
  const auto start = std::chrono::steady_clock::now();
  try {
    nearby(101);
    ADD_FAILURE() << "the read did not time out";
  } catch (const vekt::brellow::ReadTimeout& e) {
    EXPECT_EQ(e.read, R"("GIS"."BOUNDARY")");
    EXPECT_STREQ(e.what(), R"(the read of "GIS"."BOUNDARY" took longer than its time limit of 0.3 s)");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(statements_.size(), 4u);
  // Nobody waits for the lock any more: the statement was stopped on the server, and the session
  // holds no connection in an unknown state.
  auto waiting = [&] { return vekt::testing::scalar(blocker.get(), "SELECT count(*) FROM pg_locks WHERE NOT granted"); };
  EXPECT_EQ(waiting(), "0");
  EXPECT_FALSE(session_->has_connection());
  vekt::testing::exec(blocker.get(), "ROLLBACK");
  // The caller rolls back, as after any failed statement, and the session serves again.
  run(session_->rollback());
  generator_->set_statement_timeout(vekt::brellow::STATEMENT_TIMEOUT);
  EXPECT_EQ(ids_of(nearby(109).plots), (std::vector<std::int64_t>{109}));
}

}  // namespace

// Where the host's table holds any geometry type, the parcel a plan is drawn of must be one
// polygon: another type, or several parts, is refused naming the parcel and the reason; a
// MultiPolygon of one part is that polygon. A neighbour that is no polygon is left out of the
// plan, with one line in the log. (Inside the test's transaction, rolled back at the end.)
TEST_F(PlanData, OutlinesThatAreNotOnePolygonAreRefusedOrLeftOut) {
  exec(R"(ALTER TABLE "GIS"."PLOT" ALTER COLUMN "GEOMETRY" TYPE geometry(Geometry, 3857))");
  const std::string square = "(846000 1002000,846020 1002000,846020 1002020,846000 1002020,846000 1002000)";
  struct Case {
    std::string wkt, why;
  };
  for (const Case& c :
       {Case{"LINESTRING(846000 1002000,846020 1002000,846020 1002020)", "is a LineString; a parcel's outline is a polygon"},
        Case{"MULTIPOLYGON((" + square + "),((846100 1002000,846110 1002000,846110 1002010,846100 1002000)))",
             "is a MultiPolygon of 2 parts; a plan draws one outline"},
        Case{"GEOMETRYCOLLECTION(POLYGON(" + square + "))", "is a GeometryCollection; a parcel's outline is a polygon"},
        Case{"MULTIPOLYGON((" + square + "))", ""}}) {
    exec("SAVEPOINT outline");
    exec(R"(UPDATE "GIS"."PLOT" SET "GEOMETRY" = 'SRID=3857;)" + c.wkt + R"(' WHERE "ID" = 902)");
    for (Boundaries b : {Boundaries::all, Boundaries::requested_only}) {
      try {
        const Neighbourhood n = nearby(902, b);
        EXPECT_EQ(c.why, "") << c.wkt << ": no error";
        EXPECT_EQ(record_of(n, 902).geometry->text,
                  R"({"type":"Polygon","coordinates":[[[846000,1002000],[846020,1002000],[846020,1002020],)"
                  R"([846000,1002020],[846000,1002000]]]})");
      } catch (const vekt::brellow::ImpossibleSurveyRecord& e) {
        EXPECT_EQ(std::string(e.what()), "Plot 902: plot 902 GEOMETRY: " + c.why) << c.wkt;
        EXPECT_EQ(e.field, "GEOMETRY");
      }
    }
    exec("ROLLBACK TO SAVEPOINT outline");
  }
  exec(R"(UPDATE "GIS"."PLOT" SET "GEOMETRY" = 'SRID=3857;LINESTRING(846030 1002000,846050 1002020)' WHERE "ID" = 903)");
  testing::internal::CaptureStderr();
  const Neighbourhood n = nearby(902, Boundaries::requested_only);
  const std::string log = testing::internal::GetCapturedStderr();
  const auto ids = ids_of(n.plots);
  EXPECT_EQ(std::set<std::int64_t>(ids.begin(), ids.end()), (std::set<std::int64_t>{902}));
  EXPECT_NE(log.find("WARNING:vekt.brellow:Plot 903: plot 903 GEOMETRY: is a LineString, not a polygon; left out of "
                     "the plan\n"),
            std::string::npos)
      << log;
  run(session_->rollback());
}
