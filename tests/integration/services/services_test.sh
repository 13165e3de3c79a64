#!/usr/bin/env bash
# scripts/services starts, reports and stops PostgreSQL and Redis twice in a row, on its own state
# directory and ports, and leaves no process, listening port or pid file behind.
#   services_test.sh PATH/TO/scripts/services
set -uo pipefail
SERVICES=${1:?usage: services_test.sh PATH/TO/scripts/services}
PG_PORT=${VEKT_SERVICES_TEST_PG_PORT:-15599}
REDIS_PORT=${VEKT_SERVICES_TEST_REDIS_PORT:-16599}
STATE=$(mktemp -d /tmp/vekt-services-test.XXXXXX)
chmod 755 "$STATE"
export VEKT_STATE_DIR=$STATE VEKT_PG_PORT=$PG_PORT VEKT_REDIS_PORT=$REDIS_PORT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
listening() { ss -Hltn "sport = :$1" 2>/dev/null | grep -q .; }
cleanup() {
  "$SERVICES" stop >/dev/null 2>&1 || true
  rm -rf "$STATE"
}
trap cleanup EXIT

for port in "$PG_PORT" "$REDIS_PORT"; do
  if listening "$port"; then echo "SKIP: port $port is already in use"; exit 77; fi
done

for round in 1 2; do
  out=$("$SERVICES" start 2>&1) || fail "round $round: start failed: $out"
  grep -qx "DATABASE_URL=postgresql://postgres@127.0.0.1:$PG_PORT/gis" "$STATE/env" \
    || fail "round $round: env file lacks the DATABASE_URL: $(cat "$STATE/env" 2>/dev/null)"
  grep -qx "REDIS_PORT=$REDIS_PORT" "$STATE/env" || fail "round $round: env file lacks REDIS_PORT"

  status=$("$SERVICES" status 2>&1); rc=$?
  [ $rc -eq 0 ] || fail "round $round: status after start exited $rc: $status"
  echo "$status" | grep -q "postgresql: running" || fail "round $round: status does not report PostgreSQL running: $status"
  echo "$status" | grep -q "redis: running" || fail "round $round: status does not report Redis running: $status"

  # Both servers answer, on loopback only.
  psql -X -h 127.0.0.1 -p "$PG_PORT" -U postgres -d gis -tAc "SELECT postgis_lib_version() IS NOT NULL" 2>&1 | grep -qx t \
    || fail "round $round: PostgreSQL with PostGIS does not answer on $PG_PORT"
  [ "$(redis-cli -h 127.0.0.1 -p "$REDIS_PORT" ping 2>&1)" = PONG ] || fail "round $round: Redis does not answer on $REDIS_PORT"
  if ss -Hltn 2>/dev/null | awk '{print $4}' | grep -E ":($PG_PORT|$REDIS_PORT)\$" | grep -vqE '^127\.0\.0\.1:'; then
    fail "round $round: a server listens beyond loopback"
  fi

  # Starting again while running changes nothing.
  pg_pid=$(head -1 "$STATE/pg/data/postmaster.pid" 2>/dev/null)
  redis_pid=$(cat "$STATE/redis/redis.pid" 2>/dev/null)
  "$SERVICES" start >/dev/null 2>&1 || fail "round $round: a second start failed"
  [ "$(head -1 "$STATE/pg/data/postmaster.pid" 2>/dev/null)" = "$pg_pid" ] || fail "round $round: a second start replaced PostgreSQL"
  [ "$(cat "$STATE/redis/redis.pid" 2>/dev/null)" = "$redis_pid" ] || fail "round $round: a second start replaced Redis"

  out=$("$SERVICES" stop 2>&1) || fail "round $round: stop failed: $out"
  status=$("$SERVICES" status 2>&1); rc=$?
  [ $rc -ne 0 ] || fail "round $round: status after stop exited 0: $status"
  echo "$status" | grep -q "postgresql: stopped" || fail "round $round: status does not report PostgreSQL stopped: $status"
  echo "$status" | grep -q "redis: stopped" || fail "round $round: status does not report Redis stopped: $status"
  for pid in $pg_pid $redis_pid; do
    kill -0 "$pid" 2>/dev/null && fail "round $round: process $pid is still running after stop"
  done
  # Nothing of the servers' is left running or listening.
  if pgrep -f "$STATE" >/dev/null 2>&1; then fail "round $round: processes of $STATE remain: $(pgrep -af "$STATE")"; fi
  for port in "$PG_PORT" "$REDIS_PORT"; do
    listening "$port" && fail "round $round: port $port still listens after stop"
  done
  [ ! -e "$STATE/pg/data/postmaster.pid" ] || fail "round $round: postmaster.pid left behind"
  [ ! -e "$STATE/redis/redis.pid" ] || fail "round $round: redis.pid left behind"
  [ ! -e "$STATE/pgsock/.s.PGSQL.$PG_PORT" ] || fail "round $round: PostgreSQL socket left behind"
done

# Stopping what is already stopped is harmless.
"$SERVICES" stop >/dev/null 2>&1 || fail "stop on stopped services failed"

if [ "$failures" -gt 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "services: started, reported and stopped twice; nothing left behind"
