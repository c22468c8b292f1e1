#!/usr/bin/env bash
# The whole road of a translation under load: wrk -> local server -> translateget -> the real upstream client
# -> an engine stand-in. The stand-in is nginx serving a fixed Google-format reply (plain http) and a fixed
# Yandex-format reply (https with a throw-away test certificate), keep-alive on, so it costs almost nothing.
# Prints one Markdown table: what the proxy adds over a straight request to the stand-in (1 connection), the
# translation rate at 16 connections, and how many engine connections nginx saw for how many translations.
#
#   bench/road_load.sh           (DURATION=10s, BUILD=build-bench by default)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
DURATION=${DURATION:-10s}
PROXY_PORT=${PROXY_PORT:-18888}
HTTP_PORT=${HTTP_PORT:-18890}
HTTPS_PORT=${HTTPS_PORT:-18891}
. "$ROOT/bench/lib.sh"

need wrk wrk
need nginx nginx-light
build_demo "$BUILD" "$ROOT"

WORK=$(mktemp -d)
PROXY_PID=""
cleanup() {
  [ -n "$PROXY_PID" ] && kill "$PROXY_PID" 2>/dev/null && wait "$PROXY_PID" 2>/dev/null
  [ -f "$WORK/nginx.pid" ] && kill "$(cat "$WORK/nginx.pid")" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

bash "$ROOT/tools/make_test_certs.sh" "$WORK/certs"
start_fixed_engines "$WORK" "$WORK/access.log conn" "$HTTP_PORT" "$HTTPS_PORT"
wait_port "$HTTP_PORT" "$HTTPS_PORT"

GOOGLE_PATH='/translate_a/t?client=dict-chrome-ex&q=Hello&sl=en&tl=de&tbb=1&ie=UTF-8&oe=UTF-8'
PROXY_PATH='/linxp_translate_t?text=Hello&langpair=en%7Cde'

# start_proxy ENGINE=HOST:PORT
start_proxy() {
  [ -n "$PROXY_PID" ] && kill "$PROXY_PID" && wait "$PROXY_PID" 2>/dev/null
  SSL_CERT_FILE="$WORK/certs/ca.pem" "$BUILD/bench/server_demo" "$PROXY_PORT" "$1" >"$WORK/proxy.log" 2>&1 &
  PROXY_PID=$!
  wait_port "$PROXY_PORT"
}

# engine_connections: distinct nginx connections in the access log since the last call, and requests.
engine_connections() {
  local lines
  lines=$(cat "$WORK/access.log")
  : >"$WORK/access.log"
  echo "$(sort -u <<<"$lines" | grep -c . || true)|$(grep -c . <<<"$lines" || true)"
}

echo "| engine | wrk to | conns | req/s | p50 | p90 | p99 | proxy adds p50 | proxy adds p99 | engine connections / requests | errors |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
for engine in google yandex; do
  if [ "$engine" = google ]; then
    scheme=http port=$HTTP_PORT path=$GOOGLE_PATH
  else
    scheme=https port=$HTTPS_PORT path='/api/v1/tr.json/translate?lang=en-de&text=Hello'
  fi
  start_proxy "$engine=127.0.0.1:$port"
  engine_connections >/dev/null
  # Straight to the stand-in, one connection (wrk keeps it alive), then through the proxy.
  IFS='|' read -r n_rps n50 n90 n99 n_err <<<"$(measure "$scheme://127.0.0.1:$port$path" 1)"
  engine_connections >/dev/null
  echo "| $engine | nginx ($scheme) | 1 | $n_rps | $n50 | $n90 | $n99 | | | | $n_err |"
  for conns in 1 16; do
    IFS='|' read -r p_rps p50 p90 p99 p_err <<<"$(measure "http://127.0.0.1:$PROXY_PORT$PROXY_PATH" "$conns")"
    IFS='|' read -r e_conns e_reqs <<<"$(engine_connections)"
    add50="" add99=""
    if [ "$conns" = 1 ]; then
      add50=$(awk -v p="$(to_us "$p50")" -v n="$(to_us "$n50")" 'BEGIN { printf "%.0fus", p - n }')
      add99=$(awk -v p="$(to_us "$p99")" -v n="$(to_us "$n99")" 'BEGIN { printf "%.0fus", p - n }')
    fi
    echo "| $engine | proxy | $conns | $p_rps | $p50 | $p90 | $p99 | $add50 | $add99 | $e_conns / $e_reqs | $p_err |"
  done
done
