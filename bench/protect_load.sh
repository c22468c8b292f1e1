#!/usr/bin/env bash
# What [Protect] adds to a translation over the whole road: wrk -> local server -> translateget -> the real
# upstream client -> the fastest engine stand-in (nginx with a fixed Google-format reply, keep-alive on), once
# with protection off and once on, for a text with a placeholder ("Open the file %s now"). nginx's reply holds the
# token the protected request sends ("[X1X]"), so the protected road restores it and the check passes; without
# protection the same reply is answered as it is. After a warm-up of both, the two servers are measured in turns,
# ROUNDS times, the one measured first changing each round, so that a neighbour's load falls on both alike. Prints
# one Markdown table, then the medians and the difference. Besides wrk's latencies, each run reads the CPU time the
# serving process spent (its threads' user and system time, /proc/PID/stat) per translation: on a machine shared
# with other work the latencies swing with the neighbours, the CPU a translation costs much less.
#
#   bench/protect_load.sh           (DURATION=5s, ROUNDS=5, BUILD=build-bench by default)
#   AA=1 bench/protect_load.sh      both servers without protection: how far two like processes differ here
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
DURATION=${DURATION:-5s}
ROUNDS=${ROUNDS:-5}
PLAIN_PORT=${PLAIN_PORT:-18892}
PROTECT_PORT=${PROTECT_PORT:-18893}
HTTP_PORT=${HTTP_PORT:-18894}
. "$ROOT/bench/lib.sh"

need wrk wrk
need nginx nginx-light
build_demo "$BUILD" "$ROOT"

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  [ -f "$WORK/nginx.pid" ] && kill "$(cat "$WORK/nginx.pid")" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

start_nginx "$WORK" off "$(cat <<SERVERS
  server {
    listen 127.0.0.1:$HTTP_PORT;
    location = /translate_a/t {
      default_type application/json;
      return 200 '[{"trans":"Abre el archivo [X1X] ahora","orig":"Open the file [X1X] now"}]';
    }
  }
SERVERS
)"
"$BUILD/bench/server_demo" "$PLAIN_PORT" "google=127.0.0.1:$HTTP_PORT" >"$WORK/plain.log" 2>&1 &
PIDS+=($!)
declare -A PID=([off]=$!)
"$BUILD/bench/server_demo" "$PROTECT_PORT" "google=127.0.0.1:$HTTP_PORT" $([ -n "${AA:-}" ] || echo protect) >"$WORK/protect.log" 2>&1 &
PIDS+=($!)
PID[on]=$!
TICKS=$(getconf CLK_TCK)
# cpu PID: the user and system time of every thread of the process so far, in clock ticks.
cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
wait_port "$HTTP_PORT" "$PLAIN_PORT" "$PROTECT_PORT"

PATH_QUERY='/linxp_translate_t?text=Open%20the%20file%20%25s%20now&langpair=en%7Ces'
answer=$(curl -s "http://127.0.0.1:$PROTECT_PORT$PATH_QUERY")
[ -n "${AA:-}" ] || [[ $answer == *"Abre el archivo %s ahora"* ]] || { echo "the protected road answered: $answer" >&2; exit 1; }

DURATION=1s measure "http://127.0.0.1:$PLAIN_PORT$PATH_QUERY" 16 >/dev/null
DURATION=1s measure "http://127.0.0.1:$PROTECT_PORT$PATH_QUERY" 16 >/dev/null

declare -A P50 RPS CPU
echo "| round | protection | conns | req/s | p50 | p90 | p99 | proxy CPU per translation | errors |"
echo "|---|---|---|---|---|---|---|---|---|"
for round in $(seq "$ROUNDS"); do
  sides="off on"
  [ $((round % 2)) -eq 0 ] && sides="on off"
  for side in $sides; do
    port=$PLAIN_PORT
    [ "$side" = on ] && port=$PROTECT_PORT
    for conns in 1 16; do
      before=$(cpu "${PID[$side]}")
      IFS='|' read -r rps p50 p90 p99 errors <<<"$(measure "http://127.0.0.1:$port$PATH_QUERY" "$conns")"
      spent=$(($(cpu "${PID[$side]}") - before))
      per=$(awk -v t="$spent" -v hz="$TICKS" -v r="$rps" -v d="${DURATION%s}" 'BEGIN { printf "%.0f", t / hz * 1e6 / (r * d) }')
      echo "| $round | $side | $conns | $rps | $p50 | $p90 | $p99 | ${per}us | $errors |"
      CPU[$side,$conns]+="$per "
      P50[$side,$conns]+="$(to_us "$p50") "
      RPS[$side,$conns]+="$rps "
    done
  done
done

median() { tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo
for conns in 1 16; do
  off50=$(median "${P50[off,$conns]}") on50=$(median "${P50[on,$conns]}")
  offr=$(median "${RPS[off,$conns]}") onr=$(median "${RPS[on,$conns]}")
  offc=$(median "${CPU[off,$conns]}") onc=$(median "${CPU[on,$conns]}")
  awk -v c="$conns" -v a="$off50" -v b="$on50" -v r="$offr" -v s="$onr" -v x="$offc" -v y="$onc" 'BEGIN {
    printf "%s connection(s): median p50 %.0fus off, %.0fus on (%+.1f%%); median rate %.0f/s off, %.0f/s on (%+.1f%%); median proxy CPU per translation %.0fus off, %.0fus on (%+.1f%%)\n",
      c, a, b, (b - a) * 100 / a, r, s, (s - r) * 100 / r, x, y, (y - x) * 100 / x }'
done
