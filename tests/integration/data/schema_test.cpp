// sql/schema.sql on a fresh database: what it creates, that a second run changes nothing, that a
// failure anywhere leaves nothing behind, and the constraints that keep hand-made rows sound.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pg_support.hpp"

namespace vekt::test {
namespace {

class SchemaTest : public ScratchDatabase {
 protected:
  CommandResult apply_schema(bool stop_on_error) {
    return run_command(psql() + (stop_on_error ? "-v ON_ERROR_STOP=1 " : "") + "-f " +
                       sh_quote(source("sql/schema.sql")));
  }

  // Everything the schema owns, in one comparable text.
  std::string catalogue() {
    return scalar(db(), R"(
      SELECT coalesce(string_agg(item, E'\n' ORDER BY item), '') FROM (
        SELECT c.relkind::text || ' ' || c.relname AS item FROM pg_class c
          JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = 'GIS'
        UNION ALL
        SELECT k.contype::text || ' ' || k.conname FROM pg_constraint k
          JOIN pg_namespace n ON n.oid = k.connamespace WHERE n.nspname = 'GIS') s)");
  }

  void load_schema() {
    CommandResult r = apply_schema(true);
    ASSERT_EQ(r.status, 0) << r.output;
  }
};

TEST_F(SchemaTest, CreatesTheTablesWithTheirGeometryTypesInWebMercator) {
  load_schema();
  EXPECT_EQ(scalar(db(), R"(
      SELECT string_agg(f_table_name || '.' || f_geometry_column || ' ' || type || ' ' || srid, ', '
                        ORDER BY f_table_name)
      FROM geometry_columns WHERE f_table_schema = 'GIS')"),
            "BEACON.GEOMETRY POINT 3857, CadZones.geometry MULTIPOLYGON 3857, "
            "Districts.geometry MULTIPOLYGON 3857, LGAs.geometry MULTIPOLYGON 3857, "
            "PLOT.GEOMETRY POLYGON 3857, ROAD.GEOMETRY GEOMETRY 3857");
  // The columns the tile service selects, under their quoted names.
  EXPECT_EQ(count(db(), R"(
      SELECT count(*) FROM information_schema.columns WHERE table_schema = 'GIS' AND
        (table_name, column_name) IN (
          ('PLOT','ID'),('PLOT','PLOT_NO'),('PLOT','STATUS'),('PLOT','AREA_SYSTEM'),('PLOT','GENERAL_LU'),
          ('PLOT','CADZONE'),('PLOT','DETAIL_LU'),('PLOT','file_no'),('PLOT','GEOMETRY'),
          ('BEACON','ID'),('BEACON','BEACON_NO'),('BEACON','STATUS'),('BEACON','REMARK'),('BEACON','GEOMETRY'),
          ('CadZones','id'),('CadZones','name'),('CadZones','district_id'),('CadZones','geometry'),
          ('Districts','id'),('Districts','name'),('Districts','lga_id'),('Districts','geometry'),
          ('LGAs','id'),('LGAs','name'),('LGAs','geometry'),
          ('ROAD','ID'),('ROAD','ROAD_NAME'),('ROAD','ROAD_TYPE'),('ROAD','GEOMETRY')))"),
            29);
  // Every layer geometry has a GiST index.
  EXPECT_EQ(count(db(), R"(
      SELECT count(*) FROM pg_indexes WHERE schemaname = 'GIS' AND indexdef LIKE '%USING gist%')"),
            6);
}

TEST_F(SchemaTest, SecondRunFailsCleanlyAndChangesNothing) {
  load_schema();
  const std::string before = catalogue();
  ASSERT_NE(before, "");

  CommandResult strict = apply_schema(true);
  EXPECT_NE(strict.status, 0);
  EXPECT_NE(strict.output.find("schema \"GIS\" already exists"), std::string::npos) << strict.output;
  EXPECT_EQ(catalogue(), before);

  // Without ON_ERROR_STOP psql goes on after the error; the aborted transaction refuses the rest.
  CommandResult lenient = apply_schema(false);
  EXPECT_NE(lenient.output.find("schema \"GIS\" already exists"), std::string::npos) << lenient.output;
  EXPECT_EQ(catalogue(), before);
}

TEST_F(SchemaTest, AFailureNearTheEndLeavesNoSchemaBehind) {
  std::ifstream in(source("sql/schema.sql"));
  std::stringstream text;
  text << in.rdbuf();
  std::string sql = text.str();
  const auto at = sql.rfind("COMMIT;");
  ASSERT_NE(at, std::string::npos);
  sql.insert(at, "SELECT 1 / 0;\n");
  const std::string path = ::testing::TempDir() + "schema_with_failure.sql";
  std::ofstream(path) << sql;

  CommandResult r = run_command(psql() + "-f " + sh_quote(path));
  EXPECT_NE(r.output.find("division by zero"), std::string::npos) << r.output;
  EXPECT_EQ(catalogue(), "");
  EXPECT_EQ(count(db(), "SELECT count(*) FROM pg_namespace WHERE nspname = 'GIS'"), 0);
}

// A minimal sound fixture: one zone chain, one parcel with three beacons and its three legs.
constexpr const char* FIXTURE = R"(
  INSERT INTO "GIS"."LGAs" VALUES (1, 'Test LGA', ST_Multi(ST_MakeEnvelope(0, 0, 100, 100, 3857)));
  INSERT INTO "GIS"."Districts" VALUES (1, 'Test District', 1, ST_Multi(ST_MakeEnvelope(0, 0, 100, 100, 3857)));
  INSERT INTO "GIS"."CadZones" VALUES (1, 'T01', 1, ST_Multi(ST_MakeEnvelope(0, 0, 100, 100, 3857)));
  INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "GEOMETRY")
    VALUES (1, 'P1', ST_GeomFromText('POLYGON((10 10, 10 40, 40 10, 10 10))', 3857));
  INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "NORTHING", "EASTING", "GEOMETRY") VALUES
    (1, 'B1', 10, 10, ST_Point(10, 10, 3857)), (2, 'B2', 40, 10, ST_Point(10, 40, 3857)),
    (3, 'B3', 10, 40, ST_Point(40, 10, 3857));
  INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN")
    VALUES (1, 1, 1, 2, 1, 30, 0, 0), (2, 1, 2, 3, 2, 42.43, 135, 0), (3, 1, 3, 1, 3, 30, 270, 0);
)";

TEST_F(SchemaTest, ConstraintsRefuseUnsoundRows) {
  load_schema();
  exec_ok(db(), FIXTURE);

  struct Case {
    const char* what;
    const char* sql;
    const char* sqlstate;
  };
  const std::vector<Case> cases = {
      {"parcel without number", R"(INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO") VALUES (2, NULL))", "23502"},
      {"parcel id taken", R"(INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO") VALUES (1, 'again'))", "23505"},
      {"multi-part parcel",
       R"(INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "GEOMETRY") VALUES (2, 'P2', ST_Multi(ST_MakeEnvelope(0, 0, 1, 1, 3857))))",
       "22023"},
      {"parcel in degrees",
       R"(INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "GEOMETRY") VALUES (2, 'P2', ST_MakeEnvelope(7, 9, 7.1, 9.1, 4326)))",
       "22023"},
      {"beacon without number",
       R"(INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "NORTHING", "EASTING", "GEOMETRY") VALUES (9, NULL, 0, 0, ST_Point(0, 0, 3857)))",
       "23502"},
      {"beacon without coordinates",
       R"(INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "NORTHING", "EASTING", "GEOMETRY") VALUES (9, 'B9', NULL, 0, ST_Point(0, 0, 3857)))",
       "23502"},
      {"beacon that is not a point",
       R"(INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "NORTHING", "EASTING", "GEOMETRY") VALUES (9, 'B9', 0, 0, ST_MakeEnvelope(0, 0, 1, 1, 3857)))",
       "22023"},
      {"leg to a missing beacon",
       R"(INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES (9, 1, 1, 99, 1, 0, 0))",
       "23503"},
      {"leg of a missing parcel",
       R"(INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES (9, 99, 1, 2, 1, 0, 0))",
       "23503"},
      {"leg without its end beacon",
       R"(INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES (9, 1, 1, 1, 0, 0))",
       "23502"},
      {"leg from a beacon to itself",
       R"(INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES (9, 1, 1, 1, 1, 0, 0))",
       "23514"},
      {"leg without length",
       R"(INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES (9, 1, 1, 2, NULL, 0, 0))",
       "23502"},
      {"negative length",
       R"(INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES (9, 1, 1, 2, -1, 0, 0))",
       "23514"},
      {"bearing of 360 degrees",
       R"(INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES (9, 1, 1, 2, 1, 360, 0))",
       "23514"},
      {"sixty minutes",
       R"(INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES (9, 1, 1, 2, 1, 0, 60))",
       "23514"},
      {"bearing without minutes",
       R"(INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES (9, 1, 1, 2, 1, 0, NULL))",
       "23502"},
      {"two legs in one place of the ring",
       R"(INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES (9, 1, 1, 3, 1, 1, 0, 0))",
       "23505"},
      {"zone of a missing district",
       R"(INSERT INTO "GIS"."CadZones" VALUES (9, 'X', 99, ST_Multi(ST_MakeEnvelope(0, 0, 1, 1, 3857))))", "23503"},
      {"district of a missing LGA",
       R"(INSERT INTO "GIS"."Districts" VALUES (9, 'X', 99, ST_Multi(ST_MakeEnvelope(0, 0, 1, 1, 3857))))", "23503"},
      {"beacon still in use", R"(DELETE FROM "GIS"."BEACON" WHERE "ID" = 2)", "23503"},
  };
  for (const Case& c : cases) {
    PgResult r = exec(db(), c.sql);
    EXPECT_EQ(PQresultStatus(r.get()), PGRES_FATAL_ERROR) << c.what;
    const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
    EXPECT_STREQ(state ? state : "", c.sqlstate) << c.what << ": " << PQresultErrorMessage(r.get());
  }

  // Deleting a parcel takes its legs with it; its beacons stay, as other parcels may share them.
  exec_ok(db(), R"(DELETE FROM "GIS"."PLOT" WHERE "ID" = 1)");
  EXPECT_EQ(count(db(), R"(SELECT count(*) FROM "GIS"."BOUNDARY")"), 0);
  EXPECT_EQ(count(db(), R"(SELECT count(*) FROM "GIS"."BEACON")"), 3);
}

}  // namespace
}  // namespace vekt::test
