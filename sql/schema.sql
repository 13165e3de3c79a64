-- The "GIS" schema: the cadastre that the tile service and the plan documents read.
--
-- Apply once, with psql:   psql -X -v ON_ERROR_STOP=1 -f sql/schema.sql
-- The whole file is one transaction and refuses to run when the schema already exists, so a
-- second run changes nothing and ends with the error 'schema "GIS" already exists'. Even without
-- ON_ERROR_STOP nothing is half-applied: after the first error the transaction is aborted, every
-- later statement is refused and the final COMMIT turns into a rollback.
-- scripts/load-data applies this file only when the schema is absent.
--
-- Conventions
-- * Every geometry is stored in EPSG:3857 (Web Mercator metres); the tile envelopes, the plan
--   figure and all distances (leg lengths, the 50-unit neighbourhood) use that grid.
-- * The tile service reads the six layer tables through SQL text with the quoted names below.
--   The plan documents read the same parcel, beacon and road tables through the host's models:
--   each lower-case model attribute is the column of the same name in upper case (plot_no is
--   "PLOT_NO", beacon1id is "BEACON1ID"), except file_no, which is the lower-case "file_no".
-- * Names and types the readers leave open are chosen here: the tables "BOUNDARY" and
--   "LAND_PURPOSE"; the columns "SURVEYED_BY", "ADDRESS", "PLAN_LAYOUT_NO", "NORTHING", "EASTING",
--   "BEACON2ID" (the beacon a leg ends at) and "SEQ"; bigint ids, numeric(14, 2) for the recorded
--   area, double precision for coordinates and leg lengths, smallint for bearing degrees and
--   minutes, text for every number that is printed as written (parcel, beacon, file, layout).
-- * Ids are explicit (no sequences). Generated data (scripts/load-data) uses ids from 1000 up in
--   every table; ids 1 to 999 are left to hand-made fixture rows, which should refer only to
--   each other (a reload replaces every row from 1000 up, so a generated id can change meaning).

BEGIN;

DO $$
BEGIN
  IF EXISTS (SELECT 1 FROM pg_namespace WHERE nspname = 'GIS') THEN
    RAISE EXCEPTION 'schema "GIS" already exists; nothing was changed'
      USING HINT = 'Drop it first (DROP SCHEMA "GIS" CASCADE) to start over.';
  END IF;
END
$$;

CREATE EXTENSION IF NOT EXISTS postgis;

CREATE SCHEMA "GIS";

-- Administrative areas: local government areas, their districts, the districts' cadastral zones.
-- Their geometry is a MultiPolygon, because imported boundaries often come in several parts.
CREATE TABLE "GIS"."LGAs" (
  "id"       bigint PRIMARY KEY,
  "name"     text NOT NULL,
  "geometry" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE "GIS"."Districts" (
  "id"       bigint PRIMARY KEY,
  "name"     text NOT NULL,
  "lga_id"   bigint REFERENCES "GIS"."LGAs" ("id"),          -- NULL: not yet assigned to an LGA
  "geometry" geometry(MultiPolygon, 3857) NOT NULL
);

CREATE TABLE "GIS"."CadZones" (
  "id"          bigint PRIMARY KEY,
  "name"        text NOT NULL,                               -- zone code, e.g. 'AB03'
  "district_id" bigint REFERENCES "GIS"."Districts" ("id"),  -- NULL: not yet assigned
  "geometry"    geometry(MultiPolygon, 3857) NOT NULL
);

-- Land purposes: the pairs of general and detailed land use that parcels carry in "GENERAL_LU"
-- and "DETAIL_LU" (a lookup list; parcels hold the texts, not a reference).
CREATE TABLE "GIS"."LAND_PURPOSE" (
  "ID"          bigint PRIMARY KEY,
  "GENERAL_LU"  text NOT NULL,
  "DETAIL_LU"   text NOT NULL,
  "DESCRIPTION" text,
  UNIQUE ("GENERAL_LU", "DETAIL_LU")
);

-- Land parcels. "GEOMETRY" is a single Polygon: the plan figure cannot draw a multi-part parcel.
-- It may be NULL (a parcel recorded before its survey); such a parcel has no plan.
CREATE TABLE "GIS"."PLOT" (
  "ID"             bigint PRIMARY KEY,
  "PLOT_NO"        text NOT NULL,            -- parcel number, printed on every plan
  "STATUS"         text,                     -- e.g. 'Allocated', 'Developed'
  "AREA_SYSTEM"    numeric(14, 2),           -- area in m² of the stored outline; printed as stored
  "GENERAL_LU"     text,
  "CADZONE"        text,                     -- name of the cadastral zone ("GIS"."CadZones"."name")
  "DETAIL_LU"      text,
  "file_no"        text,                     -- land registry file number
  "SURVEYED_BY"    text,                     -- surveyor's name
  "ADDRESS"        text,
  "PLAN_LAYOUT_NO" text,                     -- number of the approved layout plan
  "GEOMETRY"       geometry(Polygon, 3857)
);

-- Survey beacons at parcel corners; a beacon is shared by the parcels that meet at it.
-- "NORTHING" and "EASTING" are the beacon's surveyed grid coordinates as printed on the plans
-- (the generated data stores the EPSG:3857 y and x of the point, to the millimetre).
CREATE TABLE "GIS"."BEACON" (
  "ID"        bigint PRIMARY KEY,
  "BEACON_NO" text NOT NULL,                 -- beacon number, e.g. 'PB1234'
  "STATUS"    text,
  "REMARK"    text,
  "NORTHING"  double precision NOT NULL,
  "EASTING"   double precision NOT NULL,
  "GEOMETRY"  geometry(Point, 3857) NOT NULL
);

-- Boundary legs: one row per side of a parcel, from beacon "BEACON1ID" to beacon "BEACON2ID".
-- A parcel's legs form one closed ring: each leg ends where the next begins. "SEQ" is the leg's
-- place in that ring (1, 2, ...), optional; the chain "BEACON1ID" -> "BEACON2ID" alone gives the
-- order. "LENGTH" is the leg's length in metres of the grid; "ANGLEDEG" and "ANGLEMIN" its grid
-- bearing (clockwise from grid north) in whole degrees and minutes.
CREATE TABLE "GIS"."BOUNDARY" (
  "ID"        bigint PRIMARY KEY,
  "PLOTID"    bigint NOT NULL REFERENCES "GIS"."PLOT" ("ID") ON DELETE CASCADE,
  "BEACON1ID" bigint NOT NULL REFERENCES "GIS"."BEACON" ("ID"),
  "BEACON2ID" bigint NOT NULL REFERENCES "GIS"."BEACON" ("ID"),
  "SEQ"       integer CHECK ("SEQ" >= 1),
  "LENGTH"    double precision NOT NULL CHECK ("LENGTH" >= 0),
  "ANGLEDEG"  smallint NOT NULL CHECK ("ANGLEDEG" BETWEEN 0 AND 359),
  "ANGLEMIN"  smallint NOT NULL CHECK ("ANGLEMIN" BETWEEN 0 AND 59),
  CHECK ("BEACON1ID" <> "BEACON2ID"),
  UNIQUE ("PLOTID", "SEQ")
);

-- Roads, as centre lines. Any geometry type is accepted (imports bring lines and multi-lines).
CREATE TABLE "GIS"."ROAD" (
  "ID"        bigint PRIMARY KEY,
  "ROAD_NAME" text,
  "ROAD_TYPE" text,                          -- 'Arterial', 'Collector' or 'Local'
  "GEOMETRY"  geometry(Geometry, 3857)
);

CREATE INDEX "LGAs_geometry_gist"      ON "GIS"."LGAs"      USING gist ("geometry");
CREATE INDEX "Districts_geometry_gist" ON "GIS"."Districts" USING gist ("geometry");
CREATE INDEX "CadZones_geometry_gist"  ON "GIS"."CadZones"  USING gist ("geometry");
CREATE INDEX "PLOT_GEOMETRY_gist"      ON "GIS"."PLOT"      USING gist ("GEOMETRY");
CREATE INDEX "BEACON_GEOMETRY_gist"    ON "GIS"."BEACON"    USING gist ("GEOMETRY");
CREATE INDEX "ROAD_GEOMETRY_gist"      ON "GIS"."ROAD"      USING gist ("GEOMETRY");
CREATE INDEX "Districts_lga_id_idx"    ON "GIS"."Districts" ("lga_id");
CREATE INDEX "CadZones_district_id_idx" ON "GIS"."CadZones" ("district_id");
-- A parcel's legs are found through the unique ("PLOTID", "SEQ") index; these two keep checks
-- on beacon deletion cheap.
CREATE INDEX "BOUNDARY_BEACON1ID_idx"  ON "GIS"."BOUNDARY"  ("BEACON1ID");
CREATE INDEX "BOUNDARY_BEACON2ID_idx"  ON "GIS"."BOUNDARY"  ("BEACON2ID");

COMMIT;
