#!/usr/bin/env bash
# Cache hits through the whole road: bench/server_demo with the translation cache in front of an engine that
# takes 50 ms, so every answer faster than that is a hit. wrk asks the translation endpoint (one request first
# fills the cache) and, for comparison, the same server's empty answer and a second server without the cache
# whose engine answers at once.
#
#   bench/cache_load.sh             (DURATION=10s, CONNECTIONS=16, BUILD=build-bench by default)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
DURATION=${DURATION:-10s}
CONNECTIONS=${CONNECTIONS:-16}
SERVER_PORT=${SERVER_PORT:-18890}
PLAIN_PORT=${PLAIN_PORT:-18891}
TRANSLATE_PATH='/linxp_translate_t?text=Hello&langpair=en%7Cde'

. "$ROOT/bench/lib.sh"
need wrk wrk
build_demo "$BUILD" "$ROOT"

WORK=$(mktemp -d)
SERVER_PID=""
PLAIN_PID=""
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  [ -n "$PLAIN_PID" ] && kill "$PLAIN_PID" 2>/dev/null && wait "$PLAIN_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

"$BUILD/bench/server_demo" "$SERVER_PORT" cache >"$WORK/server.log" 2>&1 &
SERVER_PID=$!
"$BUILD/bench/server_demo" "$PLAIN_PORT" >"$WORK/plain.log" 2>&1 &
PLAIN_PID=$!
wait_port "$SERVER_PORT" "$PLAIN_PORT"
curl -s -o /dev/null "http://127.0.0.1:$SERVER_PORT$TRANSLATE_PATH"

echo "| document | conns | req/s | p50 | p90 | p99 | errors |"
echo "|---|---|---|---|---|---|---|"
for conns in $CONNECTIONS; do
  for doc in "translation, cache hit|$SERVER_PORT$TRANSLATE_PATH" "empty answer|$SERVER_PORT/other" \
    "translation, no cache, instant engine|$PLAIN_PORT$TRANSLATE_PATH"; do
    IFS='|' read -r rps p50 p90 p99 errors <<<"$(measure "http://127.0.0.1:${doc#*|}" "$conns")"
    echo "| ${doc%%|*} | $conns | $rps | $p50 | $p90 | $p99 | $errors |"
  done
done
