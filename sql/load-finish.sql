-- End of a data load (scripts/load-data): rebuild what sql/load-prepare.sql set aside (indexes
-- first, then the foreign keys, which check every reference), commit, and gather the planner
-- statistics that the layer extent estimates come from.
DO $$
DECLARE r record;
BEGIN
  FOR r IN SELECT create_sql FROM vekt_set_aside ORDER BY ord DESC LOOP
    EXECUTE r.create_sql;
  END LOOP;
END
$$;

COMMIT;

ANALYZE "GIS"."LAND_PURPOSE";
ANALYZE "GIS"."LGAs";
ANALYZE "GIS"."Districts";
ANALYZE "GIS"."CadZones";
ANALYZE "GIS"."ROAD";
ANALYZE "GIS"."BEACON";
ANALYZE "GIS"."PLOT";
ANALYZE "GIS"."BOUNDARY";
