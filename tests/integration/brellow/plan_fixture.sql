-- Hand-made parcels for the plan data and plan document tests, around (800000, 1000000) in
-- EPSG:3857, about 24 km from the generated cadastre. Every row has an id from 101 to 999 in its
-- table, so the file can be loaded again at any time (it first removes what an earlier load left)
-- and removed with plan_fixture_clear.sql.
--
--   101  "PLOT 12A": five sides through PB1 (0,0), PB2 (40,0), PB3 (40,30), PB4 (3,30), PB5 (0,27),
--        offsets in metres; its legs stored out of order, with ids out of ring order, no SEQ.
--        PB1 carries survey coordinates (easting 345678.12351, northing 7) unlike its point.
--   102  shares the edge PB2-PB3 of 101; legs numbered by SEQ, stored out of order
--   103  45 units south of 101 (no legs)       104  60 units west of 101 (no legs)
--   roads "R1" to "R4": 5, 20, 30 and 40 units north of 101
--   105  no legs            106  a leg starting at beacon 999, which does not exist
--   107  no geometry        108  "R5" exactly 50.0 units away, "R6" 50.5 units away
--   109  no road near       110  no file number
--   111  25 legs of about 2.5 m around a circle of radius 10 m (a long beacon schedule)
--   105 to 111 lie 1 km apart along grid east, and 1 km or more from 101.
--   Parcels from 201 (beacons and legs from 301), 1 km apart further east, for the pages:
--   201  80 legs of about 1.6 m around a circle of radius 20 m (a schedule past one sheet)
--   202  40 legs of about 1.6 m around a circle of radius 10 m (past the first sheet's 34 rows)
--   203  a square of 20 m with NULL area, a 100-character parcel number, a 300-character
--        address, file number and surveyor
--   204  to 208: squares of 20 m whose survey records no plan may print: 204 a leg of length
--        NaN, 205 one of infinite length, 206 a negative area, 207 legs that close no ring, 208
--        an area of NaN
--   Outlines, around (844000, 1002000), plots, beacons and legs from 900:
--   900  a bow-tie: its ring crosses itself at (844020, 1002020); stored area 0.00
--   901  a square of 20 m whose hole lies outside it
--   902  a square of 20 m beside a bow-tie neighbour (903), a neighbour whose ring has collapsed
--        to a line (904) and a bow-tie road (900)
-- Ids up to 999 are the hand-made ones (the generated cadastre starts at 1000).
-- Clear the rows before scripts/load-data runs on the same database: the leg of 106 from a
-- beacon that does not exist fails the loader's foreign-key check.
BEGIN;

\ir plan_fixture_clear.sql

INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "file_no", "SURVEYED_BY", "ADDRESS",
                          "PLAN_LAYOUT_NO", "GEOMETRY") VALUES
  (101, 'PLOT 12A', 'Allocated', 1158.50, 'LKN/1234', NULL, '12a oba akran straße', 'TP/55/2019',
   'SRID=3857;POLYGON((800000 1000000,800040 1000000,800040 1000030,800003 1000030,800000 1000027,800000 1000000))'),
  (102, 'PLOT 12B', 'Allocated', 900.00, 'LKN/1235', 'T. ADEYEMI', 'oba akran road', 'TP/55/2019',
   'SRID=3857;POLYGON((800040 1000000,800070 1000000,800070 1000030,800040 1000030,800040 1000000))'),
  (103, 'PLOT 12C', 'Vacant', 600.00, 'LKN/1236', NULL, NULL, NULL,
   'SRID=3857;POLYGON((800000 999935,800030 999935,800030 999955,800000 999955,800000 999935))'),
  (104, 'PLOT 12D', 'Vacant', 600.00, 'LKN/1237', NULL, '', NULL,
   'SRID=3857;POLYGON((799920 1000000,799940 1000000,799940 1000030,799920 1000030,799920 1000000))'),
  (105, 'PLOT 105', 'Vacant', 400.00, 'LKN/1105', NULL, NULL, NULL,
   'SRID=3857;POLYGON((803000 1000000,803020 1000000,803020 1000020,803000 1000020,803000 1000000))'),
  (106, 'PLOT 106', 'Vacant', 400.00, 'LKN/1106', NULL, NULL, NULL,
   'SRID=3857;POLYGON((804000 1000000,804020 1000000,804020 1000020,804000 1000020,804000 1000000))'),
  (107, 'PLOT 107', 'Vacant', NULL, 'LKN/1107', NULL, NULL, NULL, NULL),
  (108, 'PLOT 108', 'Vacant', 400.00, 'LKN/1108', NULL, NULL, NULL,
   'SRID=3857;POLYGON((801000 1000000,801020 1000000,801020 1000020,801000 1000020,801000 1000000))'),
  (109, 'PLOT 109', 'Vacant', 400.00, 'LKN/1109', NULL, NULL, NULL,
   'SRID=3857;POLYGON((802000 1000000,802020 1000000,802020 1000020,802000 1000020,802000 1000000))'),
  (110, 'PLOT 110', 'Vacant', 400.00, NULL, NULL, NULL, NULL,
   'SRID=3857;POLYGON((805000 1000000,805020 1000000,805020 1000020,805000 1000020,805000 1000000))');

-- Beacons: "NORTHING" and "EASTING" are the point's y and x, except for PB1.
INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "STATUS", "REMARK", "NORTHING", "EASTING", "GEOMETRY")
SELECT id, no, 'Found', 'plan fixture', coalesce(northing, y), coalesce(easting, x),
       ST_SetSRID(ST_MakePoint(x, y), 3857)
FROM (VALUES
  (101, 'PB1', 800000, 1000000, 7::float8, 345678.12351::float8),
  (102, 'PB2', 800040, 1000000, NULL, NULL), (103, 'PB3', 800040, 1000030, NULL, NULL),
  (104, 'PB4', 800003, 1000030, NULL, NULL), (105, 'PB5', 800000, 1000027, NULL, NULL),
  (106, 'PB6', 800070, 1000000, NULL, NULL), (107, 'PB7', 800070, 1000030, NULL, NULL),
  (111, 'PB11', 801000, 1000000, NULL, NULL), (112, 'PB12', 801020, 1000000, NULL, NULL),
  (113, 'PB13', 801020, 1000020, NULL, NULL), (114, 'PB14', 801000, 1000020, NULL, NULL),
  (115, 'PB15', 802000, 1000000, NULL, NULL), (116, 'PB16', 802020, 1000000, NULL, NULL),
  (117, 'PB17', 802020, 1000020, NULL, NULL), (118, 'PB18', 802000, 1000020, NULL, NULL),
  (119, 'PB19', 805000, 1000000, NULL, NULL), (120, 'PB20', 805020, 1000000, NULL, NULL),
  (121, 'PB21', 805020, 1000020, NULL, NULL), (122, 'PB22', 805000, 1000020, NULL, NULL),
  (123, 'PB23', 804000, 1000000, NULL, NULL), (125, 'PB25', 804020, 1000020, NULL, NULL),
  (126, 'PB26', 804000, 1000020, NULL, NULL)
) AS b(id, no, x, y, northing, easting);

-- Legs of 101, stored in shuffled order; the lowest id is the leg from PB1.
INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES
  (105, 101, 104, 105, NULL, 4.24, 225, 7),
  (102, 101, 103, 104, NULL, 37.00, 270, 0),
  (101, 101, 101, 102, NULL, 40.00, 90, 5),
  (103, 101, 105, 101, NULL, 27.00, 180, 0),
  (104, 101, 102, 103, NULL, 30.00, 0, 0);

-- Legs of 102, numbered by SEQ and stored out of order.
INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES
  (108, 102, 107, 103, 3, 30.00, 270, 0),
  (106, 102, 102, 106, 1, 30.00, 90, 0),
  (109, 102, 103, 102, 4, 30.00, 180, 0),
  (107, 102, 106, 107, 2, 30.00, 0, 0);

-- Squares of 20 m: 108, 109, 110.
INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES
  (110, 108, 111, 112, NULL, 20.00, 90, 0), (111, 108, 112, 113, NULL, 20.00, 0, 0),
  (112, 108, 113, 114, NULL, 20.00, 270, 0), (113, 108, 114, 111, NULL, 20.00, 180, 0),
  (114, 109, 115, 116, NULL, 20.00, 90, 0), (115, 109, 116, 117, NULL, 20.00, 0, 0),
  (116, 109, 117, 118, NULL, 20.00, 270, 0), (117, 109, 118, 115, NULL, 20.00, 180, 0),
  (118, 110, 119, 120, NULL, 20.00, 90, 0), (119, 110, 120, 121, NULL, 20.00, 0, 0),
  (120, 110, 121, 122, NULL, 20.00, 270, 0), (121, 110, 122, 119, NULL, 20.00, 180, 0);

-- 106: a closed ring whose second corner, beacon 999, was never recorded. The foreign keys would
-- refuse it, so they are set aside for this one statement's transaction (a superuser's right).
SET LOCAL session_replication_role = replica;
INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN") VALUES
  (122, 106, 123, 999, NULL, 20.00, 90, 0), (123, 106, 999, 125, NULL, 20.00, 0, 0),
  (124, 106, 125, 126, NULL, 20.00, 270, 0), (125, 106, 126, 123, NULL, 20.00, 180, 0);
SET LOCAL session_replication_role = origin;

-- 111: beacons on a circle (to the millimetre), the outline through them, legs measured from them.
INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "STATUS", "REMARK", "NORTHING", "EASTING", "GEOMETRY")
SELECT 127 + k, 'PB' || (27 + k), 'Found', 'plan fixture', y, x, ST_SetSRID(ST_MakePoint(x, y), 3857)
FROM (SELECT k, round((806010 + 10 * cos(2 * pi() * k / 25))::numeric, 3)::float8 AS x,
             round((1000010 + 10 * sin(2 * pi() * k / 25))::numeric, 3)::float8 AS y
      FROM generate_series(0, 24) AS k) AS circle;
INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "file_no", "GEOMETRY")
SELECT 111, 'PLOT 111', 'Vacant', round(ST_Area(g)::numeric, 2), 'LKN/1111', g
FROM (SELECT ST_MakePolygon(ST_AddPoint(line, ST_StartPoint(line))) AS g
      FROM (SELECT ST_MakeLine("GEOMETRY" ORDER BY "ID") AS line
            FROM "GIS"."BEACON" WHERE "ID" BETWEEN 127 AND 151) AS l) AS outline;
INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN")
SELECT 126 + k, 111, a."ID", b."ID", k + 1, round(ST_Distance(a."GEOMETRY", b."GEOMETRY")::numeric, 2),
       m / 60, m % 60
FROM generate_series(0, 24) AS k
JOIN "GIS"."BEACON" a ON a."ID" = 127 + k
JOIN "GIS"."BEACON" b ON b."ID" = 127 + (k + 1) % 25,
LATERAL (SELECT round(degrees(ST_Azimuth(a."GEOMETRY", b."GEOMETRY")) * 60)::int % 21600 AS m) AS bearing;

-- 201 and 202: circles of short legs, beacon k at angle 2πk/n, legs numbered by SEQ.
INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "STATUS", "REMARK", "NORTHING", "EASTING", "GEOMETRY")
SELECT first + k, 'C' || first + k, 'Found', 'plan fixture', y, x, ST_SetSRID(ST_MakePoint(x, y), 3857)
FROM (VALUES (301, 80, 807020.0, 20.0), (401, 40, 808010.0, 10.0)) AS c(first, n, cx, r),
LATERAL (SELECT k, round((cx + r * cos(2 * pi() * k / n))::numeric, 3)::float8 AS x,
                round((1000020 + r * sin(2 * pi() * k / n))::numeric, 3)::float8 AS y
         FROM generate_series(0, n - 1) AS k) AS circle;
INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "file_no", "GEOMETRY")
SELECT id, 'PLOT ' || id, 'Vacant', round(ST_Area(g)::numeric, 2), 'LKN/' || id, g
FROM (VALUES (201, 301, 80), (202, 401, 40)) AS c(id, first, n),
LATERAL (SELECT ST_MakePolygon(ST_AddPoint(line, ST_StartPoint(line))) AS g
         FROM (SELECT ST_MakeLine("GEOMETRY" ORDER BY "ID") AS line
               FROM "GIS"."BEACON" WHERE "ID" BETWEEN first AND first + n - 1) AS l) AS outline;
INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN")
SELECT first + k, id, a."ID", b."ID", k + 1, round(ST_Distance(a."GEOMETRY", b."GEOMETRY")::numeric, 2),
       m / 60, m % 60
FROM (VALUES (201, 301, 80), (202, 401, 40)) AS c(id, first, n)
CROSS JOIN LATERAL generate_series(0, n - 1) AS k
JOIN "GIS"."BEACON" a ON a."ID" = c.first + k
JOIN "GIS"."BEACON" b ON b."ID" = c.first + (k + 1) % c.n,
LATERAL (SELECT round(degrees(ST_Azimuth(a."GEOMETRY", b."GEOMETRY")) * 60)::int % 21600 AS m) AS bearing;

-- 203 to 208: squares of 20 m, beacons and legs from 501, ten ids per parcel.
INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "file_no", "SURVEYED_BY", "ADDRESS", "GEOMETRY")
SELECT id, plot_no, 'Vacant', area, file_no, surveyed_by, address,
       ST_MakeEnvelope(x, 1000000, x + 20, 1000020, 3857)
FROM (VALUES
  (203, 809000, rpad('PLOT 203 OF THE RESETTLEMENT SCHEME, BLOCK ', 100, 'XIV-'), NULL::numeric,
   rpad('LKN/RES/2019/', 300, 'APPEAL-0042/'),
   rpad('Surv. Olufunmilayo Adebayo-Williams for Adebayo-Williams, Okonkwo and Partners, licensed surveyors, ', 300,
        'and their successors in title, '),
   rpad('Plot 7 and 9, Adeniyi Jones Avenue, off Obafemi Awolowo Way, ', 300, 'Ikeja GRA, Lagos mainland, ')),
  (204, 810000, 'PLOT 204', 400.00, 'LKN/204', NULL, NULL),
  (205, 811000, 'PLOT 205', 400.00, 'LKN/205', NULL, NULL),
  (206, 812000, 'PLOT 206', -400.00, 'LKN/206', NULL, NULL),
  (207, 813000, 'PLOT 207', 400.00, 'LKN/207', NULL, NULL),
  (208, 814000, 'PLOT 208', 'NaN', 'LKN/208', NULL, NULL)
) AS p(id, x, plot_no, area, file_no, surveyed_by, address);
INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "STATUS", "REMARK", "NORTHING", "EASTING", "GEOMETRY")
SELECT 501 + 10 * (id - 203) + k, 'S' || id || '-' || k, 'Found', 'plan fixture', y, x,
       ST_SetSRID(ST_MakePoint(x, y), 3857)
FROM generate_series(203, 208) AS id, generate_series(0, 3) AS k,
LATERAL (SELECT (809000 + 1000 * (id - 203) + (CASE WHEN k IN (1, 2) THEN 20 ELSE 0 END))::float8 AS x,
                (1000000 + (CASE WHEN k IN (2, 3) THEN 20 ELSE 0 END))::float8 AS y) AS corner;
-- Leg k runs from corner k to corner k + 1; 204's first is NaN metres long, 205's infinite, and
-- 207's last runs back to its second corner instead of its first.
INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN")
SELECT 501 + 10 * (id - 203) + k, id, 501 + 10 * (id - 203) + k,
       501 + 10 * (id - 203) + CASE WHEN id = 207 AND k = 3 THEN 1 ELSE (k + 1) % 4 END, NULL,
       CASE WHEN id = 204 AND k = 0 THEN 'NaN'::float8 WHEN id = 205 AND k = 0 THEN 'Infinity'::float8 ELSE 20 END,
       (ARRAY[90, 0, 270, 180])[k + 1], 0
FROM generate_series(203, 208) AS id, generate_series(0, 3) AS k;

-- Parcels of unusual shapes, from 601 (beacons and legs from 600 to 899), 1 km apart along y = 1000000
-- from x = 851000 unless said; each outline given by its corners (offsets in metres), a beacon
-- at every corner of the outer ring, legs measured from the beacons:
--   601  "AA01/01/01": 12 m wide, long legs of 39.14 and 36.72 m (the name between their labels)
--   602  a sliver of 1 × 200 m           603  a U of 60 × 50 m around a notch of 20 × 38 m
--   604  60 × 30 m whose north side is a low arc of 40 legs of 0.76 to 2.2 m
--   605  a square of 30 m whose beacons have names of 40 characters
--   606  an estate of 1500 × 1200 m with its lower left corner at (870000, 1000000)
--   607  10 × 8 km with its lower left corner at (900000, 990000)
--   608  60 × 50 m around a courtyard of 20 × 20 m (a hole); 609 east of it, 40 × 50 m around a
--        hole of 10 × 10 m
CREATE TEMP TABLE odd_corner (plot int, id int, k int, x float8, y float8, name text) ON COMMIT DROP;
INSERT INTO odd_corner
SELECT plot, first + k - 1, k - 1, ox + dx, oy + dy, coalesce(prefix || k, name)
FROM (VALUES
  (601, 600, 851000.0, 1000000.0, 'AA', ARRAY[[0, 0], [12, 0], [12, 36.72], [0, 39.14]]),
  (602, 610, 852000.0, 1000000.0, 'SL', ARRAY[[0, 0], [1, 0], [1, 200], [0, 200]]),
  (603, 620, 853000.0, 1000000.0, 'U', ARRAY[[0, 0], [60, 0], [60, 50], [40, 50], [40, 12], [20, 12], [20, 50], [0, 50]]),
  (605, 680, 855000.0, 1000000.0, NULL, ARRAY[[0, 0], [30, 0], [30, 30], [0, 30]]),
  (606, 690, 870000.0, 1000000.0, 'E', ARRAY[[0, 0], [1500, 0], [1500, 1200], [0, 1200]]),
  (607, 700, 900000.0, 990000.0, 'G', ARRAY[[0, 0], [10000, 0], [10000, 8000], [0, 8000]]),
  (608, 710, 858000.0, 1000000.0, 'CY', ARRAY[[0, 0], [60, 0], [60, 50], [0, 50]])
) AS p(plot, first, ox, oy, prefix, corners),
LATERAL (SELECT k, corners[k][1] AS dx, corners[k][2] AS dy,
                'BEACON-' || k || '-' || rpad('0123456789', 31, 'ABCDEFGHIJ') AS name
         FROM generate_series(1, array_length(corners, 1)) AS k) AS c;
-- 604: the south-west and south-east corners, then 40 legs westwards along a low arc.
INSERT INTO odd_corner
SELECT 604, 630 + k, k, 854000 + x, 1000000 + y, 'K' || (k + 1)
FROM (SELECT 0 AS k, 0.0::float8 AS x, 0.0::float8 AS y UNION ALL SELECT 1, 60, 0 UNION ALL SELECT 2, 60, 30) AS c
UNION ALL
SELECT 604, 632 + j, 2 + j, 854000 + 60 - s * 60 / total, 1000000 + 30 + 2 * sin(pi() * s / total), 'K' || (3 + j)
FROM (SELECT j, sum(0.8 + 1.5 * ((i * 7) % 11) / 10) OVER (ORDER BY i) AS s,
             sum(0.8 + 1.5 * ((i * 7) % 11) / 10) OVER () AS total
      FROM generate_series(1, 40) AS i, LATERAL (SELECT i AS j) AS jj) AS arc;
INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "STATUS", "REMARK", "NORTHING", "EASTING", "GEOMETRY")
SELECT id, name, 'Found', 'plan fixture', y, x, ST_SetSRID(ST_MakePoint(x, y), 3857)
FROM odd_corner;
INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "file_no", "GEOMETRY")
SELECT plot, CASE plot WHEN 601 THEN 'AA01/01/01' ELSE 'PLOT ' || plot END, 'Vacant',
       round(ST_Area(g)::numeric, 2), 'LKN/' || plot, g
FROM (SELECT plot, CASE plot
                     WHEN 608 THEN ST_MakePolygon(ring, ARRAY[
                       'SRID=3857;LINESTRING(858020 1000015,858020 1000035,858040 1000035,858040 1000015,858020 1000015)'::geometry])
                     ELSE ST_MakePolygon(ring) END AS g
      FROM (SELECT plot, ST_SetSRID(ST_AddPoint(line, ST_StartPoint(line)), 3857) AS ring
            FROM (SELECT plot, ST_MakeLine(ST_MakePoint(x, y) ORDER BY k) AS line FROM odd_corner GROUP BY plot) AS l) AS r
     ) AS o;
INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "file_no", "GEOMETRY") VALUES
  (609, 'PLOT 609', 'Vacant', 1900.00, 'LKN/609',
   'SRID=3857;POLYGON((858060 1000000,858100 1000000,858100 1000050,858060 1000050,858060 1000000),(858063 1000020,858063 1000030,858073 1000030,858073 1000020,858063 1000020))');
INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN")
SELECT a."ID", c.plot, a."ID", b."ID", c.k + 1, round(ST_Distance(a."GEOMETRY", b."GEOMETRY")::numeric, 2), m / 60, m % 60
FROM odd_corner c
JOIN (SELECT plot, count(*) AS n FROM odd_corner GROUP BY plot) AS r ON r.plot = c.plot
JOIN "GIS"."BEACON" a ON a."ID" = c.id
JOIN "GIS"."BEACON" b ON b."ID" = c.id - c.k + (c.k + 1) % r.n,
LATERAL (SELECT round(degrees(ST_Azimuth(a."GEOMETRY", b."GEOMETRY")) * 60)::int % 21600 AS m) AS bearing;

-- Roads north of 101 (stored out of distance order), and the two at the edge of 108's reach.
INSERT INTO "GIS"."ROAD" ("ID", "ROAD_NAME", "ROAD_TYPE", "GEOMETRY") VALUES
  (103, 'R3', 'Local', 'SRID=3857;LINESTRING(800010 1000060,800030 1000060)'),
  (101, 'R1', 'Local', 'SRID=3857;LINESTRING(800010 1000035,800030 1000035)'),
  (104, 'R4', 'Local', 'SRID=3857;LINESTRING(800010 1000070,800030 1000070)'),
  (102, 'R2', 'Collector', 'SRID=3857;LINESTRING(800010 1000050,800030 1000050)'),
  (105, 'R5', 'Local', 'SRID=3857;LINESTRING(801000 1000070,801020 1000070)'),
  (106, 'R6', 'Local', 'SRID=3857;LINESTRING(801000 1000070.5,801020 1000070.5)');

-- 900 to 904: outlines no plan can print, and surroundings that are not valid. Beacons and legs
-- from 900, ten ids per parcel; leg k runs from corner k to corner k + 1.
INSERT INTO "GIS"."PLOT" ("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "file_no", "GEOMETRY") VALUES
  (900, 'PLOT 900', 'Vacant', 0.00, 'LKN/900',
   'SRID=3857;POLYGON((844000 1002000,844040 1002040,844040 1002000,844000 1002040,844000 1002000))'),
  (901, 'PLOT 901', 'Vacant', 400.00, 'LKN/901',
   'SRID=3857;POLYGON((845000 1002000,845020 1002000,845020 1002020,845000 1002020,845000 1002000),'
   '(845030 1002005,845035 1002005,845035 1002010,845030 1002010,845030 1002005))'),
  (902, 'PLOT 902', 'Vacant', 400.00, 'LKN/902',
   'SRID=3857;POLYGON((846000 1002000,846020 1002000,846020 1002020,846000 1002020,846000 1002000))'),
  (903, 'PLOT 903', 'Vacant', 0.00, 'LKN/903',
   'SRID=3857;POLYGON((846030 1002000,846050 1002020,846050 1002000,846030 1002020,846030 1002000))'),
  (904, 'PLOT 904', 'Vacant', 0.00, 'LKN/904',
   'SRID=3857;POLYGON((846000 1001990,846020 1001990,846010 1001990,846000 1001990))');
INSERT INTO "GIS"."BEACON" ("ID", "BEACON_NO", "STATUS", "REMARK", "NORTHING", "EASTING", "GEOMETRY")
SELECT 900 + 10 * p + k, 'O' || (900 + p) || '-' || k, 'Found', 'plan fixture', y, x,
       ST_SetSRID(ST_MakePoint(x, y), 3857)
FROM (VALUES
  (0, 0, 844000::float8, 1002000::float8), (0, 1, 844040, 1002040), (0, 2, 844040, 1002000), (0, 3, 844000, 1002040),
  (1, 0, 845000, 1002000), (1, 1, 845020, 1002000), (1, 2, 845020, 1002020), (1, 3, 845000, 1002020),
  (2, 0, 846000, 1002000), (2, 1, 846020, 1002000), (2, 2, 846020, 1002020), (2, 3, 846000, 1002020)
) AS c(p, k, x, y);
INSERT INTO "GIS"."BOUNDARY" ("ID", "PLOTID", "BEACON1ID", "BEACON2ID", "SEQ", "LENGTH", "ANGLEDEG", "ANGLEMIN")
SELECT a."ID", 900 + p, a."ID", b."ID", k + 1, ST_Distance(a."GEOMETRY", b."GEOMETRY"),
       (round(degrees(ST_Azimuth(a."GEOMETRY", b."GEOMETRY")) * 60)::int % 21600) / 60,
       (round(degrees(ST_Azimuth(a."GEOMETRY", b."GEOMETRY")) * 60)::int % 21600) % 60
FROM generate_series(0, 2) AS p CROSS JOIN generate_series(0, 3) AS k
JOIN "GIS"."BEACON" a ON a."ID" = 900 + 10 * p + k
JOIN "GIS"."BEACON" b ON b."ID" = 900 + 10 * p + (k + 1) % 4;
INSERT INTO "GIS"."ROAD" ("ID", "ROAD_NAME", "ROAD_TYPE", "GEOMETRY") VALUES
  (900, 'R900', 'Local',
   'SRID=3857;POLYGON((846000 1002030,846020 1002040,846020 1002030,846000 1002040,846000 1002030))');

COMMIT;
