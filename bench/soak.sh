#!/usr/bin/env bash
# Soak of the desktop program: the real tessarine-proxy offscreen on port 8888 with Google pointed at nginx
# serving a fixed Google reply (keep-alive), wrk asking a different text in every request (bench/soak.lua),
# a warm-up slice and then SLICES slices of PER_SLICE translations. After each slice of the program the same
# slice goes to bench/server_demo on the same road (no window, no log), so every slice has its own ratio
# under the same load of the machine. One Markdown table: rate, p50, p99, processor time per translation and
# resident memory (VmRSS) per slice for both, then a summary against the targets.
#
#   bench/soak.sh                            (SLICES=20 PER_SLICE=50000 WARMUP=10000 CONNECTIONS=16)
#   SLICES=4 PER_SLICE=20000 bench/soak.sh   (a short run)
#   ECHO_LOG=1 bench/soak.sh                 (the program with --log, standard error to a file)
#
# BUILD (default build-soak) is configured and built in BUILD_TYPE (default Release) with the benchmarks on.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-soak}
BUILD_TYPE=${BUILD_TYPE:-Release}
SLICES=${SLICES:-20}
PER_SLICE=${PER_SLICE:-50000}
WARMUP=${WARMUP:-10000}
CONNECTIONS=${CONNECTIONS:-16}
THREADS=2
PROGRAM_PORT=8888
DEMO_PORT=${DEMO_PORT:-18788}
ENGINE_PORT=${ENGINE_PORT:-18790}
. "$ROOT/bench/lib.sh"

need wrk wrk
need nginx nginx-light
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" -DTESSARINE_TESTS=OFF -DTESSARINE_BENCH=ON \
  >/dev/null
cmake --build "$BUILD" --target tessarine-proxy server_demo -j2 >/dev/null

if (exec 3<>"/dev/tcp/127.0.0.1/$PROGRAM_PORT") 2>/dev/null; then
  echo "port $PROGRAM_PORT is in use by another program" >&2
  exit 1
fi

WORK=$(mktemp -d)
PROGRAM_PID=""
DEMO_PID=""
cleanup() {
  [ -n "$PROGRAM_PID" ] && kill "$PROGRAM_PID" 2>/dev/null && wait "$PROGRAM_PID" 2>/dev/null
  [ -n "$DEMO_PID" ] && kill "$DEMO_PID" 2>/dev/null && wait "$DEMO_PID" 2>/dev/null
  [ -f "$WORK/nginx.pid" ] && kill "$(cat "$WORK/nginx.pid")" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_nginx "$WORK" off "$(cat <<SERVERS
  server {
    listen 127.0.0.1:$ENGINE_PORT;
    location = /translate_a/t {
      default_type application/json;
      return 200 '[{"trans":"Hallo, Welt","orig":"Hello, world"}]';
    }
  }
SERVERS
)"
wait_port "$ENGINE_PORT"

printf '[General]\nProxyActive=1\nGoogle=1\n[Engines]\nGoogle=127.0.0.1:%s\n[Setting]\nLanguage=English\n' \
  "$ENGINE_PORT" >"$WORK/setting.ini"
PROGRAM_ARGS=(--settings "$WORK/setting.ini")
[ "${ECHO_LOG:-0}" = 1 ] && PROGRAM_ARGS+=(--log)
QT_QPA_PLATFORM=offscreen "$BUILD/tessarine-proxy" "${PROGRAM_ARGS[@]}" >"$WORK/program.log" 2>&1 &
PROGRAM_PID=$!
"$BUILD/bench/server_demo" "$DEMO_PORT" "google=127.0.0.1:$ENGINE_PORT" >"$WORK/demo.log" 2>&1 &
DEMO_PID=$!
wait_port "$PROGRAM_PORT" "$DEMO_PORT"
sleep 1

resident_mb() { awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }
# Processor time the process has used, user and system, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
TICK_US=$((1000000 / $(getconf CLK_TCK)))

# slice PORT NAME COUNT: COUNT translations through the proxy on PORT, texts tagged NAME; prints
# requests|seconds|requests/s|p50|p99|errors
slice() {
  local out
  out=$(wrk -t"$THREADS" -c"$CONNECTIONS" -d600s --timeout 5s --latency -s "$ROOT/bench/soak.lua" \
    "http://127.0.0.1:$1/" -- "$2" $(($3 / THREADS)))
  awk '
    / requests in / { n = $1; s = $4; sub(/,$/, "", s); s = (s ~ /m$/) ? s * 60 : s + 0 }
    /Requests\/sec/ { rps = $2 }
    $1 == "50%" { p50 = $2 }
    $1 == "99%" { p99 = $2 }
    /Socket errors|Non-2xx/ { sub(/^ +/, ""); errors = errors $0 "; " }
    END { printf "%s|%s|%s|%s|%s|%s\n", n, s, rps, p50, p99, (errors == "" ? "none" : errors) }' <<<"$out"
}

START_RSS=$(resident_mb "$PROGRAM_PID")
DEMO_START_RSS=$(resident_mb "$DEMO_PID")
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
echo "| slice | translations | program req/s | p50 | p99 | CPU us per translation | resident MB | server_demo req/s | p50 | p99 | CPU us per translation | resident MB | ratio | errors (program / server_demo) |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
echo "| start | 0 | | | | | $START_RSS | | | | | $DEMO_START_RSS | | |"
total=0
rows=()
for i in $(seq 0 "$SLICES"); do
  if [ "$i" = 0 ]; then
    count=$WARMUP name=w
  else
    count=$PER_SLICE name=$i
  fi
  [ "$count" -gt 0 ] || continue
  p_cpu=$(cpu_ticks "$PROGRAM_PID")
  IFS='|' read -r p_n p_s p_rps p50 p99 p_err <<<"$(slice "$PROGRAM_PORT" "$name" "$count")"
  p_cpu=$((($(cpu_ticks "$PROGRAM_PID") - p_cpu) * TICK_US / p_n))
  p_rss=$(resident_mb "$PROGRAM_PID")
  d_cpu=$(cpu_ticks "$DEMO_PID")
  IFS='|' read -r d_n d_s d_rps d50 d99 d_err <<<"$(slice "$DEMO_PORT" "$name" "$count")"
  d_cpu=$((($(cpu_ticks "$DEMO_PID") - d_cpu) * TICK_US / d_n))
  d_rss=$(resident_mb "$DEMO_PID")
  total=$((total + p_n))
  ratio=$(awk -v p="$p_rps" -v d="$d_rps" 'BEGIN { printf "%.2f", p / d }')
  label=$([ "$i" = 0 ] && echo warm-up || echo "$i")
  echo "| $label | $total | $p_rps | $p50 | $p99 | $p_cpu | $p_rss | $d_rps | $d50 | $d99 | $d_cpu | $d_rss | $ratio | $p_err / $d_err |"
  rows+=("$i $p_n $p_s $p_rps $(to_us "$p99") $p_rss $d_n $d_s $(to_us "$d99") $p_cpu $d_cpu")
done
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

printf '%s\n' "${rows[@]}" | awk -v slices="$SLICES" -v start="$START_RSS" -v before="$LOAD_BEFORE" \
  -v after="$LOAD_AFTER" '
  $1 == 0 { warm = $6; next }
  {
    n++; pn += $2; ps += $3; dn += $7; ds += $8; rss[n] = $6; rate[n] = $4; pc += $10 * $2; dc += $11 * $7
    if ($5 > p99) p99 = $5
    if ($9 > d99) d99 = $9
  }
  END {
    lo = hi = rss[n]
    for (k = int(n / 2) + 1; k <= n; k++) { if (rss[k] < lo) lo = rss[k]; if (rss[k] > hi) hi = rss[k] }
    slowest = rate[1]
    for (k = 2; k <= n; k++) if (rate[k] < slowest) slowest = rate[k]
    printf "\nload average before %s, after %s\n", before, after
    printf "resident: %.1f MB at start, %s MB after the warm-up, %.1f MB at the end, %.1f MB spread over the last half\n", start, warm, rss[n], hi - lo
    printf "rate over the slices: program %.0f/s, server_demo %.0f/s, ratio %.2f\n", pn / ps, dn / ds, (pn / ps) / (dn / ds)
    printf "processor time per translation: program %.0f us, server_demo %.0f us\n", pc / pn, dc / dn
    printf "worst p99 of a slice: program %.2f ms, server_demo %.2f ms\n", p99 / 1000, d99 / 1000
    printf "slowest slice: %.0f%% of the first slice'"'"'s rate\n", 100 * slowest / rate[1]
  }'
