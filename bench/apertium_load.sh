#!/usr/bin/env bash
# Apertium through the proxy against Apertium asked straight, in one run: the real service (apertium-apy with
# apertium-eng-spa, on loopback through tools/apertium_loopback.py) and the local server with the translation
# endpoint (bench/server_demo) whose engine is that service. wrk asks each side for the same sentence at 1 and 4
# connections, the two sides taking turns, ROUNDS times. Prints one Markdown table with what the proxy adds.
#
#   bench/apertium_load.sh       (DURATION=10s, ROUNDS=3, BUILD=build-bench by default)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
DURATION=${DURATION:-10s}
ROUNDS=${ROUNDS:-3}
PROXY_PORT=${PROXY_PORT:-18888}
. "$ROOT/bench/lib.sh"

need wrk wrk
command -v apertium-apy >/dev/null || { echo "apertium-apy is missing: bash scripts/install-deps.sh" >&2; exit 1; }
build_demo "$BUILD" "$ROOT"

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT

python3 "$ROOT/tools/apertium_loopback.py" --port-file "$WORK/apertium.json" 2>"$WORK/apertium.log" &
PIDS+=($!)
for _ in $(seq 200); do [ -s "$WORK/apertium.json" ] && break; sleep 0.05; done
APERTIUM_PORT=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["port"])' "$WORK/apertium.json")
for _ in $(seq 200); do curl -sf "http://127.0.0.1:$APERTIUM_PORT/listPairs" >/dev/null && break; sleep 0.05; done

"$BUILD/bench/server_demo" "$PROXY_PORT" "apertium=127.0.0.1:$APERTIUM_PORT" >"$WORK/proxy.log" 2>&1 &
PIDS+=($!)
wait_port "$PROXY_PORT"

# The same request both ways: the proxy sends exactly this to the service.
TEXT='The%20child%20ate%20an%20apple%20and%20opened%20the%20file.'
STRAIGHT="http://127.0.0.1:$APERTIUM_PORT/translate?q=$TEXT&langpair=en%7Ces&markUnknown=no"
PROXY="http://127.0.0.1:$PROXY_PORT/linxp_translate_t?text=$TEXT&langpair=en%7Ces"
answer=$(curl -s "$PROXY")
case $answer in *'El niño comió'*) ;; *) echo "the proxy answered: $answer" >&2; exit 1 ;; esac
# Warm-up: the service starts its translation pipeline at the first request.
curl -s "$STRAIGHT" >/dev/null

echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| round | conns | straight req/s | straight p50 | straight p99 | proxy req/s | proxy p50 | proxy p99 | proxy adds p50 | proxy adds p99 | errors |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for round in $(seq "$ROUNDS"); do
  for conns in 1 4; do
    IFS='|' read -r s_rps s50 _ s99 s_err <<<"$(measure "$STRAIGHT" "$conns")"
    IFS='|' read -r p_rps p50 _ p99 p_err <<<"$(measure "$PROXY" "$conns")"
    add50=$(awk -v p="$(to_us "$p50")" -v s="$(to_us "$s50")" 'BEGIN { printf "%.0f us (%+.1f%%)", p - s, 100 * (p - s) / s }')
    add99=$(awk -v p="$(to_us "$p99")" -v s="$(to_us "$s99")" 'BEGIN { printf "%.0f us (%+.1f%%)", p - s, 100 * (p - s) / s }')
    echo "| $round | $conns | $s_rps | $s50 | $s99 | $p_rps | $p50 | $p99 | $add50 | $add99 | $s_err / $p_err |"
  done
done
echo
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
