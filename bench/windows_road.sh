#!/usr/bin/env bash
# The Windows program under Wine against the Linux program on the same road: wrk -> the real program on port 8888
# -> its upstream client -> nginx serving a fixed Google reply (plain http) and a fixed Yandex reply (https, the
# test CA trusted through SSL_CERT_FILE on both). Prints one Markdown table, one row per program, engine and
# connection count.
#
#   bench/windows_road.sh [LINUX_PROGRAM] [WINDOWS_PROGRAM]   (build/tessarine-proxy, build-win/tessarine-proxy.exe;
#                                                              DURATION=10s)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
LINUX_PROGRAM=$(realpath "${1:-$ROOT/build/tessarine-proxy}")
WINDOWS_PROGRAM=$(realpath "${2:-$ROOT/build-win/tessarine-proxy.exe}")
DURATION=${DURATION:-10s}
HTTP_PORT=${HTTP_PORT:-18890}
HTTPS_PORT=${HTTPS_PORT:-18891}
. "$ROOT/bench/lib.sh"
# shellcheck source=/dev/null
. "$ROOT/tools/program_harness.sh"  # wine_prefix

need wrk wrk
need nginx nginx-light

WORK=$(mktemp -d)
PROGRAM_PID=""
stop_program() {
  if [ -n "$PROGRAM_PID" ]; then
    kill "$PROGRAM_PID" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    wait "$PROGRAM_PID" 2>/dev/null || true
    PROGRAM_PID=""
  fi
}
cleanup() {
  stop_program
  [ -f "$WORK/nginx.pid" ] && kill "$(cat "$WORK/nginx.pid")" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$ROOT/build-win/wine-bench"
wine_prefix "$ROOT/build-win/wine-bench" null-display

bash "$ROOT/tools/make_test_certs.sh" "$WORK/certs"
start_fixed_engines "$WORK" off "$HTTP_PORT" "$HTTPS_PORT"
wait_port "$HTTP_PORT" "$HTTPS_PORT"

# start_program linux|windows google|yandex: the program from a folder of its own, its setting.ini beside it.
start_program() {
  stop_program
  rm -rf "$WORK/run" && mkdir -p "$WORK/run"
  local google=1 yandex=0
  [ "$2" = yandex ] && google=0 yandex=1
  printf '[General]\nProxyActive=1\nGoogle=%s\nYandex=%s\n[Engines]\nGoogle=127.0.0.1:%s\nYandex=127.0.0.1:%s\n' \
    "$google" "$yandex" "$HTTP_PORT" "$HTTPS_PORT" >"$WORK/run/setting.ini"
  if [ "$1" = linux ]; then
    cp "$LINUX_PROGRAM" "$WORK/run/tessarine-proxy"
    (cd "$WORK/run" && SSL_CERT_FILE="$WORK/certs/ca.pem" QT_QPA_PLATFORM=offscreen exec ./tessarine-proxy \
      >/dev/null 2>&1) &
  else
    cp "$WINDOWS_PROGRAM" "$WORK/run/tessarine-proxy.exe"
    (cd "$WORK/run" && SSL_CERT_FILE="$WORK/certs/ca.pem" DISPLAY= exec wine ./tessarine-proxy.exe \
      >/dev/null 2>&1) &
  fi
  PROGRAM_PID=$!
  for _ in $(seq 600); do (exec 3<>/dev/tcp/127.0.0.1/8888) 2>/dev/null && break; sleep 0.05; done
  curl -s --max-time 10 'http://127.0.0.1:8888/linxp_translate_t?text=Hello&langpair=en%7Cde' | grep -q 'Hallo, Welt' ||
    { echo "the $1 program does not translate through $2" >&2; exit 1; }
}

echo "| program | engine | conns | req/s | p50 | p90 | p99 | errors |"
echo "|---|---|---|---|---|---|---|---|"
for engine in google yandex; do
  for program in linux windows; do
    start_program "$program" "$engine"
    for conns in 1 16; do
      IFS='|' read -r rps p50 p90 p99 errors <<<"$(measure 'http://127.0.0.1:8888/linxp_translate_t?text=Hello&langpair=en%7Cde' "$conns")"
      echo "| $program | $engine | $conns | $rps | $p50 | $p90 | $p99 | $errors |"
    done
  done
done
