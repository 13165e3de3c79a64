-- Start of a data load (scripts/load-data): runs inside the load's transaction, before the
-- generated COPY sections. Indexes and foreign keys of "GIS" are set aside and rebuilt at the end
-- (sql/load-finish.sql): building them once over the loaded rows is far faster than keeping them
-- up to date row by row, and rebuilding the foreign keys checks every reference in one pass.
-- If anything fails the transaction rolls back and the previous data, indexes and keys remain.

-- One load at a time.
DO $$ BEGIN PERFORM pg_advisory_xact_lock(hashtext('vekt load-data')); END $$;
SET LOCAL client_min_messages = warning;
SET LOCAL maintenance_work_mem = '512MB';

CREATE TEMP TABLE vekt_set_aside (
  ord        serial PRIMARY KEY,
  drop_sql   text NOT NULL,
  create_sql text NOT NULL
) ON COMMIT DROP;

INSERT INTO vekt_set_aside (drop_sql, create_sql)
SELECT format('ALTER TABLE %s DROP CONSTRAINT %I', c.conrelid::regclass, c.conname),
       format('ALTER TABLE %s ADD CONSTRAINT %I %s', c.conrelid::regclass, c.conname,
              pg_get_constraintdef(c.oid))
FROM pg_constraint c
WHERE c.contype = 'f' AND c.connamespace = '"GIS"'::regnamespace
ORDER BY c.conrelid::regclass::text, c.conname;

-- Secondary indexes only; those behind primary keys and unique constraints stay in place.
INSERT INTO vekt_set_aside (drop_sql, create_sql)
SELECT format('DROP INDEX %s', i.indexrelid::regclass), pg_get_indexdef(i.indexrelid)
FROM pg_index i
JOIN pg_class t ON t.oid = i.indrelid
WHERE t.relnamespace = '"GIS"'::regnamespace
  AND NOT EXISTS (SELECT 1 FROM pg_constraint k
                  WHERE k.conindid = i.indexrelid AND k.contype IN ('p', 'u', 'x'))
ORDER BY i.indexrelid::regclass::text;

DO $$
DECLARE r record;
BEGIN
  FOR r IN SELECT drop_sql FROM vekt_set_aside ORDER BY ord LOOP
    EXECUTE r.drop_sql;
  END LOOP;
END
$$;

-- Replace the previously generated rows (ids from 1000 up). Hand-made rows with lower ids stay;
-- when there are none, truncating is the quick way to empty the tables.
DO $$
BEGIN
  IF EXISTS (SELECT 1 FROM "GIS"."BOUNDARY" WHERE "ID" < 1000)
     OR EXISTS (SELECT 1 FROM "GIS"."PLOT" WHERE "ID" < 1000)
     OR EXISTS (SELECT 1 FROM "GIS"."BEACON" WHERE "ID" < 1000)
     OR EXISTS (SELECT 1 FROM "GIS"."ROAD" WHERE "ID" < 1000)
     OR EXISTS (SELECT 1 FROM "GIS"."CadZones" WHERE "id" < 1000)
     OR EXISTS (SELECT 1 FROM "GIS"."Districts" WHERE "id" < 1000)
     OR EXISTS (SELECT 1 FROM "GIS"."LGAs" WHERE "id" < 1000)
     OR EXISTS (SELECT 1 FROM "GIS"."LAND_PURPOSE" WHERE "ID" < 1000) THEN
    DELETE FROM "GIS"."BOUNDARY" WHERE "ID" >= 1000;
    DELETE FROM "GIS"."PLOT" WHERE "ID" >= 1000;
    DELETE FROM "GIS"."BEACON" WHERE "ID" >= 1000;
    DELETE FROM "GIS"."ROAD" WHERE "ID" >= 1000;
    DELETE FROM "GIS"."CadZones" WHERE "id" >= 1000;
    DELETE FROM "GIS"."Districts" WHERE "id" >= 1000;
    DELETE FROM "GIS"."LGAs" WHERE "id" >= 1000;
    DELETE FROM "GIS"."LAND_PURPOSE" WHERE "ID" >= 1000;
  ELSE
    TRUNCATE "GIS"."BOUNDARY", "GIS"."PLOT", "GIS"."BEACON", "GIS"."ROAD", "GIS"."CadZones",
             "GIS"."Districts", "GIS"."LGAs", "GIS"."LAND_PURPOSE";
  END IF;
END
$$;
