// scripts/load-data and the generated cadastre: the data is sound (closed rings of legs through
// shared beacons, lengths and bearings that match the coordinates, no overlaps, areas nested in
// their zones, districts and LGAs), loads replace only generated rows, the same seed gives the
// same data, and a failed load leaves everything as it was.
#include <fstream>
#include <string>
#include <vector>

#include "pg_support.hpp"

namespace vekt::test {
namespace {

class LoadDataTest : public ScratchDatabase {
 protected:
  void load(const std::string& args) {
    CommandResult r = run_command(load_data(args));
    ASSERT_EQ(r.status, 0) << r.output;
  }

  // A digest of every generated row, to compare loads.
  std::string digest() {
    return scalar(db(), R"(
      SELECT md5(string_agg(t, E'\n')) FROM (
        (SELECT p::text AS t FROM "GIS"."PLOT" p WHERE "ID" >= 1000 ORDER BY "ID")
        UNION ALL (SELECT b::text FROM "GIS"."BEACON" b WHERE "ID" >= 1000 ORDER BY "ID")
        UNION ALL (SELECT l::text FROM "GIS"."BOUNDARY" l WHERE "ID" >= 1000 ORDER BY "ID")
        UNION ALL (SELECT r::text FROM "GIS"."ROAD" r WHERE "ID" >= 1000 ORDER BY "ID")
        UNION ALL (SELECT z::text FROM "GIS"."CadZones" z WHERE id >= 1000 ORDER BY id)) s)");
  }

  std::string index_and_key_names() {
    return scalar(db(), R"(
      SELECT string_agg(n, ',' ORDER BY n) FROM (
        SELECT indexname AS n FROM pg_indexes WHERE schemaname = 'GIS'
        UNION ALL SELECT conname FROM pg_constraint WHERE connamespace = '"GIS"'::regnamespace) s)");
  }
};

struct Check {
  const char* what;
  std::string sql;  // counts the rows that break the rule
};

// Legs in ring order with their beacons.
const std::string LEGS = R"(
  WITH legs AS (
    SELECT l.*, b1."GEOMETRY" AS g1, b2."GEOMETRY" AS g2,
           lead(l."BEACON1ID") OVER w AS next_start,
           first_value(l."BEACON1ID") OVER w AS ring_start,
           row_number() OVER w AS pos, count(*) OVER (PARTITION BY l."PLOTID") AS n
    FROM "GIS"."BOUNDARY" l
    JOIN "GIS"."BEACON" b1 ON b1."ID" = l."BEACON1ID"
    JOIN "GIS"."BEACON" b2 ON b2."ID" = l."BEACON2ID"
    WINDOW w AS (PARTITION BY l."PLOTID" ORDER BY l."SEQ"
                 ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING))
)";

const std::vector<Check> CHECKS = {
    {"every generated id starts at 1000",
     R"(SELECT (SELECT count(*) FROM "GIS"."PLOT" WHERE "ID" < 1000) + (SELECT count(*) FROM "GIS"."BEACON" WHERE "ID" < 1000)
        + (SELECT count(*) FROM "GIS"."BOUNDARY" WHERE "ID" < 1000) + (SELECT count(*) FROM "GIS"."ROAD" WHERE "ID" < 1000)
        + (SELECT count(*) FROM "GIS"."CadZones" WHERE id < 1000) + (SELECT count(*) FROM "GIS"."Districts" WHERE id < 1000)
        + (SELECT count(*) FROM "GIS"."LGAs" WHERE id < 1000) + (SELECT count(*) FROM "GIS"."LAND_PURPOSE" WHERE "ID" < 1000))"},
    {"every leg's beacons exist",
     R"(SELECT count(*) FROM "GIS"."BOUNDARY" l WHERE NOT EXISTS (SELECT 1 FROM "GIS"."BEACON" b WHERE b."ID" = l."BEACON1ID")
                                               OR NOT EXISTS (SELECT 1 FROM "GIS"."BEACON" b WHERE b."ID" = l."BEACON2ID"))"},
    {"every parcel has a ring of at least three legs",
     R"(SELECT count(*) FROM "GIS"."PLOT" p WHERE (SELECT count(*) FROM "GIS"."BOUNDARY" l WHERE l."PLOTID" = p."ID") < 3)"},
    {"each leg ends where the next begins, the last where the first begins",
     LEGS + R"(SELECT count(*) FROM legs WHERE "BEACON2ID" <> coalesce(next_start, ring_start))"},
    {"the ring passes each of its beacons once",
     R"(SELECT count(*) FROM (SELECT "PLOTID" FROM "GIS"."BOUNDARY" GROUP BY "PLOTID"
         HAVING count(DISTINCT "BEACON1ID") <> count(*) OR count(DISTINCT "BEACON2ID") <> count(*)) s)"},
    {"the ring of legs is the parcel's outline, vertex by vertex",
     LEGS + R"(SELECT count(*) FROM legs l JOIN "GIS"."PLOT" p ON p."ID" = l."PLOTID"
             WHERE l.n <> ST_NPoints(p."GEOMETRY") - 1
                OR NOT ST_Equals(l.g1, ST_PointN(ST_ExteriorRing(p."GEOMETRY"), l.pos::int)))"},
    {"leg lengths match the beacon distances to 0.01 m",
     LEGS + R"(SELECT count(*) FROM legs WHERE abs("LENGTH" - ST_Distance(g1, g2)) > 0.01)"},
    {"bearings match the beacon coordinates to the minute",
     LEGS + R"(SELECT count(*) FROM legs WHERE abs(mod((degrees(ST_Azimuth(g1, g2)) * 60
               - ("ANGLEDEG" * 60 + "ANGLEMIN") + 10800)::numeric + 21600, 21600) - 10800) > 0.5 + 1e-6)"},
    {"beacon coordinates are the beacon's point",
     R"(SELECT count(*) FROM "GIS"."BEACON" WHERE "EASTING" <> ST_X("GEOMETRY") OR "NORTHING" <> ST_Y("GEOMETRY"))"},
    {"every beacon is a corner of some parcel",
     R"(SELECT count(*) FROM "GIS"."BEACON" b WHERE NOT EXISTS (SELECT 1 FROM "GIS"."BOUNDARY" l WHERE l."BEACON1ID" = b."ID"))"},
    {"parcel outlines are valid",
     R"(SELECT count(*) FROM "GIS"."PLOT" WHERE "GEOMETRY" IS NULL OR NOT ST_IsValid("GEOMETRY"))"},
    {"parcels do not overlap",
     R"(SELECT count(*) FROM "GIS"."PLOT" a JOIN "GIS"."PLOT" b ON a."ID" < b."ID" AND a."GEOMETRY" && b."GEOMETRY"
        AND ST_Relate(a."GEOMETRY", b."GEOMETRY", '2********'))"},
    {"the stored area is the outline's area",
     R"(SELECT count(*) FROM "GIS"."PLOT" WHERE abs("AREA_SYSTEM" - ST_Area("GEOMETRY")) > 0.01)"},
    {"every parcel lies in exactly one cadastral zone, the one it names",
     R"(SELECT count(*) FROM "GIS"."PLOT" p WHERE
          (SELECT count(*) FROM "GIS"."CadZones" z WHERE ST_Relate(p."GEOMETRY", z.geometry, '2********')) <> 1
          OR NOT EXISTS (SELECT 1 FROM "GIS"."CadZones" z WHERE z.name = p."CADZONE" AND ST_CoveredBy(p."GEOMETRY", z.geometry)))"},
    {"every zone lies in exactly one district, its own",
     R"(SELECT count(*) FROM "GIS"."CadZones" z WHERE
          (SELECT count(*) FROM "GIS"."Districts" d WHERE ST_Relate(z.geometry, d.geometry, '2********')) <> 1
          OR NOT EXISTS (SELECT 1 FROM "GIS"."Districts" d WHERE d.id = z.district_id AND ST_CoveredBy(z.geometry, d.geometry)))"},
    {"every district lies in exactly one LGA, its own",
     R"(SELECT count(*) FROM "GIS"."Districts" d WHERE
          (SELECT count(*) FROM "GIS"."LGAs" a WHERE ST_Relate(d.geometry, a.geometry, '2********')) <> 1
          OR NOT EXISTS (SELECT 1 FROM "GIS"."LGAs" a WHERE a.id = d.lga_id AND ST_CoveredBy(d.geometry, a.geometry)))"},
    {"zones do not overlap",
     R"(SELECT count(*) FROM "GIS"."CadZones" a JOIN "GIS"."CadZones" b ON a.id < b.id
        AND ST_Relate(a.geometry, b.geometry, '2********'))"},
    {"roads run between the parcels, not across them",
     R"(SELECT count(*) FROM "GIS"."ROAD" r JOIN "GIS"."PLOT" p ON ST_Intersects(r."GEOMETRY", p."GEOMETRY"))"},
    {"every layer table has an extent estimate",
     R"(SELECT 6 - ((ST_EstimatedExtent('GIS"."PLOT', 'GEOMETRY') IS NOT NULL)::int
                 + (ST_EstimatedExtent('GIS"."BEACON', 'GEOMETRY') IS NOT NULL)::int
                 + (ST_EstimatedExtent('GIS"."ROAD', 'GEOMETRY') IS NOT NULL)::int
                 + (ST_EstimatedExtent('GIS"."CadZones', 'geometry') IS NOT NULL)::int
                 + (ST_EstimatedExtent('GIS"."Districts', 'geometry') IS NOT NULL)::int
                 + (ST_EstimatedExtent('GIS"."LGAs', 'geometry') IS NOT NULL)::int))"},
};

TEST_F(LoadDataTest, GeneratedSmallCadastreIsSound) {
  load("small --seed 7");
  for (const Check& c : CHECKS) EXPECT_EQ(count(db(), c.sql), 0) << c.what;
}

TEST_F(LoadDataTest, GeneratedSmallCadastreIsVaried) {
  load("small --seed 7");
  const long long plots = count(db(), R"(SELECT count(*) FROM "GIS"."PLOT")");
  EXPECT_GE(plots, 150);
  EXPECT_LE(plots, 300);
  // Shape: many parcels with five to eight corners, some short legs, some narrow parcels.
  EXPECT_GE(count(db(), R"(SELECT count(*) FROM "GIS"."PLOT" WHERE ST_NPoints("GEOMETRY") - 1 BETWEEN 5 AND 8)"),
            plots / 3);
  EXPECT_GT(count(db(), R"(SELECT count(*) FROM "GIS"."BOUNDARY" WHERE "LENGTH" < 3)"), 0);
  EXPECT_GT(count(db(), R"(SELECT count(*) FROM "GIS"."PLOT" WHERE "AREA_SYSTEM" < 350)"), 0);
  EXPECT_GT(count(db(), R"(SELECT count(*) FROM "GIS"."PLOT" WHERE "AREA_SYSTEM" > 1000)"), 0);
  EXPECT_GT(count(db(), R"(SELECT count(DISTINCT ("ANGLEDEG", "ANGLEMIN")) FROM "GIS"."BOUNDARY")"), 20);
  // Neighbours share beacons.
  EXPECT_GT(count(db(), R"(SELECT count(*) FROM (SELECT "BEACON1ID" FROM "GIS"."BOUNDARY"
                           GROUP BY "BEACON1ID" HAVING count(DISTINCT "PLOTID") >= 2) s)"),
            plots / 2);
  // Every level of the hierarchy splits.
  EXPECT_GE(count(db(), R"(SELECT count(*) FROM "GIS"."LGAs")"), 2);
  EXPECT_GE(count(db(), R"(SELECT min(n) FROM (SELECT count(*) n FROM "GIS"."Districts" GROUP BY lga_id) s)"), 2);
  EXPECT_GE(count(db(), R"(SELECT min(n) FROM (SELECT count(*) n FROM "GIS"."CadZones" GROUP BY district_id) s)"), 2);
  EXPECT_GT(count(db(), R"(SELECT count(*) FROM "GIS"."ROAD")"), 0);
  // Optional particulars are missing now and then, never the required ones.
  for (const char* column : {"\"file_no\"", "\"SURVEYED_BY\"", "\"ADDRESS\"", "\"PLAN_LAYOUT_NO\"", "\"STATUS\""}) {
    const long long nulls = count(db(), std::string(R"(SELECT count(*) FROM "GIS"."PLOT" WHERE )") + column + " IS NULL");
    EXPECT_GT(nulls, 0) << column;
    EXPECT_LT(nulls, plots / 2) << column;
  }
  // Generated in the plan area around longitude 7.4, latitude 9.0.
  EXPECT_EQ(count(db(), R"(SELECT count(*) FROM "GIS"."PLOT" WHERE NOT ST_Intersects(
              ST_Transform("GEOMETRY", 4326), ST_MakeEnvelope(7.3, 8.9, 7.7, 9.3, 4326)))"),
            0);
}

TEST_F(LoadDataTest, ReloadReplacesGeneratedRowsKeepsFixturesAndFollowsTheSeed) {
  load("small --seed 7");
  const std::string first = digest();
  const long long plots = count(db(), R"(SELECT count(*) FROM "GIS"."PLOT")");
  exec_ok(db(), R"(
    INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "GEOMETRY") VALUES (101, 'FIXTURE', ST_MakeEnvelope(0, 0, 10, 10, 3857));
    INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "NORTHING", "EASTING", "GEOMETRY") VALUES
      (1, 'F1', 0, 0, ST_Point(0, 0, 3857)), (2, 'F2', 10, 0, ST_Point(0, 10, 3857));
    INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "LENGTH", "ANGLEDEG", "ANGLEMIN")
      VALUES (1, 101, 1, 2, 10, 0, 0);
    INSERT INTO "GIS"."ROAD" ("ID", "ROAD_NAME", "GEOMETRY") VALUES (7, 'Fixture Road', ST_MakeLine(ST_Point(0, -5, 3857), ST_Point(10, -5, 3857)));)");

  load("small --seed 7");
  EXPECT_EQ(digest(), first);
  EXPECT_EQ(count(db(), R"(SELECT count(*) FROM "GIS"."PLOT")"), plots + 1);
  EXPECT_EQ(scalar(db(), R"(SELECT "PLOT_NO" FROM "GIS"."PLOT" WHERE "ID" = 101)"), "FIXTURE");
  EXPECT_EQ(count(db(), R"(SELECT count(*) FROM "GIS"."BOUNDARY" WHERE "ID" < 1000)"), 1);
  EXPECT_EQ(count(db(), R"(SELECT count(*) FROM "GIS"."ROAD" WHERE "ID" = 7)"), 1);

  load("small --seed 8");
  const std::string second = digest();
  EXPECT_NE(second, first);

  // --if-empty leaves present data alone, and the note of what was loaded with it.
  CommandResult r = run_command(load_data("small --if-empty --seed 9"));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("already present"), std::string::npos) << r.output;
  EXPECT_EQ(digest(), second);
  EXPECT_EQ(scalar(db(), R"(SELECT obj_description('"GIS"."PLOT"'::regclass, 'pg_class'))"), "generated: small, seed 8");
}

TEST_F(LoadDataTest, FailedLoadLeavesDataIndexesAndKeysAsTheyWere) {
  load("small --seed 7");
  // A hand-made land purpose takes over the pair of a generated one.
  exec_ok(db(), R"(DELETE FROM "GIS"."LAND_PURPOSE" WHERE "ID" = 1000;
                   INSERT INTO "GIS"."LAND_PURPOSE" VALUES (5, 'Residential', 'Low Density Residential', 'hand-made'))");
  const std::string data = digest();
  const std::string structure = index_and_key_names();

  // So the database refuses a generated row.
  CommandResult refused = run_command(load_data("small --seed 8"));
  EXPECT_NE(refused.status, 0) << refused.output;
  EXPECT_NE(refused.output.find("duplicate key"), std::string::npos) << refused.output;
  EXPECT_EQ(digest(), data);
  EXPECT_EQ(index_and_key_names(), structure);
  exec_ok(db(), R"(DELETE FROM "GIS"."LAND_PURPOSE" WHERE "ID" = 5)");

  // The generator dies half-way through its output: nothing of it is committed.
  const std::string fake_dir = ::testing::TempDir() + "dying-gen-" + std::to_string(::getpid());
  const std::string fake = fake_dir + "/bin/vekt-gen";
  ASSERT_EQ(run_command("mkdir -p " + sh_quote(fake_dir + "/bin")).status, 0);
  {
    std::ofstream f(fake);
    f << "#!/bin/sh\n" << sh_quote(std::string(VEKT_BINARY_DIR) + "/bin/vekt-gen")
      << " \"$@\" | head -c 60000\nexit 1\n";
  }
  ASSERT_EQ(run_command("chmod +x " + sh_quote(fake)).status, 0);
  CommandResult died = run_command(load_data("small --seed 8", fake_dir));
  EXPECT_NE(died.status, 0) << died.output;
  EXPECT_EQ(digest(), data);
  EXPECT_EQ(index_and_key_names(), structure);
  run_command("rm -rf " + sh_quote(fake_dir));
}

TEST_F(LoadDataTest, AppliesTheSchemaOnlyWhenAbsentAndRefusesAnIncompleteOne) {
  load("small --seed 7");
  EXPECT_EQ(count(db(), "SELECT count(*) FROM pg_tables WHERE schemaname = 'GIS'"), 8);

  exec_ok(db(), R"(DROP TABLE "GIS"."BOUNDARY")");
  CommandResult r = run_command(load_data("small"));
  EXPECT_NE(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("lacks some of its tables"), std::string::npos) << r.output;
}

TEST(LoadDataArguments, BadArgumentsAreRefusedWithUsage) {
  const std::string script = std::string(VEKT_SOURCE_DIR) + "/scripts/load-data";
  const std::string gen = std::string(VEKT_BINARY_DIR) + "/bin/vekt-gen";
  for (const std::string& cmd : {script, script + " huge", script + " small --seed", script + " small --seed x1",
                                 script + " small demo", gen, gen + " huge", gen + " small --seed -1"}) {
    CommandResult r = run_command("DATABASE_URL=postgresql://127.0.0.1:1/none " + cmd + " </dev/null");
    EXPECT_EQ(r.status, 2) << cmd << "\n" << r.output;
    EXPECT_FALSE(r.output.empty()) << cmd;
  }
}

TEST(Generator, SameSeedSameBytesOtherSeedOtherData) {
  const std::string gen = sh_quote(std::string(VEKT_BINARY_DIR) + "/bin/vekt-gen");
  auto digest_of = [&](const std::string& args) {
    CommandResult r = run_command(gen + " " + args + " 2>/dev/null | md5sum");
    EXPECT_EQ(r.status, 0);
    return r.output;
  };
  const std::string a = digest_of("small --seed 3");
  EXPECT_EQ(digest_of("small --seed 3"), a);
  EXPECT_NE(digest_of("small --seed 4"), a);
}

}  // namespace
}  // namespace vekt::test
