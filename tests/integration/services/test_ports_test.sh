#!/usr/bin/env bash
# The ports the test command and the tests fall back on lie below Linux's ephemeral range
# (32768 to 60999), where no outgoing connection of the machine can be holding one.
#   test_ports_test.sh SOURCE_DIR
set -uo pipefail
SRC=${1:?usage: test_ports_test.sh SOURCE_DIR}
cd "$SRC" || exit 1

failures=0
checked=0
# Every "${NAME_PORT:-N}" default (N a number) of the test command, the CI entry point and the test scripts.
while IFS=: read -r file line text; do
  port=$(sed -E 's/.*PORT[A-Z_]*:-([0-9]+)\}.*/\1/' <<<"$text")
  checked=$((checked + 1))
  if [ "$port" -ge 32768 ]; then
    echo "FAIL: $file:$line falls back on port $port, inside the ephemeral range"
    failures=$((failures + 1))
  fi
done < <(grep -HnoE 'PORT[A-Z_]*:-[0-9]+\}' scripts/test .ci/run $(find tests -name '*.sh'))

if [ "$checked" -lt 4 ]; then
  echo "FAIL: only $checked port defaults found; the test no longer sees them"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] && echo "OK: $checked port defaults below 32768"
exit $((failures > 0))
