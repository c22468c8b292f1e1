#!/usr/bin/env bash
# Load test of the local HTTP server against nginx serving the same bytes with "Connection: close", both with a
# listen backlog of 15. Installs wrk and nginx-light when missing (apt-get), builds bench/server_demo.cpp and
# bench/burst_client.cpp in Release, and prints Markdown tables:
#  1. wrk: requests per second and latency percentiles for each document and connection count, with the server's
#     rate as a share of nginx's and the listen-queue overflows of each run (TcpExtListenOverflows from nstat,
#     counted system-wide, so nothing else should connect to a loopback listener meanwhile);
#  2. bursts: N clients connecting at the same moment, each sending one request: connect-to-answer times;
#  3. idle connections: N connections opened one after another and left open: connect times, and a request
#     answered while they are open; for the server also its thread count then;
#  4. the server's threads after the idle connections closed: how long until the count is back where it was
#     before the load (the parked floor), and the resident memory.
#
#   bench/server_load.sh     (DURATION=10s CONNECTIONS="16 64 256" BURSTS="64 256" IDLE=1000 BUILD=build-bench)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
DURATION=${DURATION:-10s}
CONNECTIONS=${CONNECTIONS:-"16 64 256"}
BURSTS=${BURSTS:-"64 256"}
IDLE=${IDLE:-1000}
# How long to wait for the thread count to come back (the idle time of parked workers is about a minute).
SETTLE_LIMIT=${SETTLE_LIMIT:-180}
SERVER_PORT=${SERVER_PORT:-18888}
NGINX_PORT=${NGINX_PORT:-18889}
TRANSLATE_PATH='/linxp_translate_t?text=Hello&langpair=en%7Cde'
EMPTY_PATH='/other'
# The endpoint's answer to the request above, byte for byte.
TRANSLATE_BODY='<div><div><div><span id=result_box class=short_text><span class=hps>Hallo, Welt</span></span></div></div><div>'

. "$ROOT/bench/lib.sh"
need wrk wrk
need nginx nginx-light
need nstat iproute2

build_demo "$BUILD" "$ROOT" burst_client
CLIENT="$BUILD/bench/burst_client"
# Every idle connection holds a descriptor on both sides.
ulimit -n "$(ulimit -Hn)"

WORK=$(mktemp -d)
SERVER_PID=""
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null
  [ -f "$WORK/nginx.pid" ] && kill "$(cat "$WORK/nginx.pid")" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

"$BUILD/bench/server_demo" "$SERVER_PORT" >"$WORK/server.log" 2>&1 &
SERVER_PID=$!

mkdir -p "$WORK/tmp"
cat >"$WORK/nginx.conf" <<CONF
worker_processes auto;
worker_rlimit_nofile 8192;
daemon on;
pid $WORK/nginx.pid;
error_log $WORK/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  server_tokens off;
  keepalive_timeout 0;
  client_body_temp_path $WORK/tmp;
  proxy_temp_path $WORK/tmp;
  fastcgi_temp_path $WORK/tmp;
  uwsgi_temp_path $WORK/tmp;
  scgi_temp_path $WORK/tmp;
  server {
    listen 127.0.0.1:$NGINX_PORT backlog=15;
    location = /linxp_translate_t {
      default_type "text/html; charset=ISO-8859-1";
      return 200 '$TRANSLATE_BODY';
    }
    location / {
      return 200 '';
    }
  }
}
CONF
nginx -c "$WORK/nginx.conf" -p "$WORK"

wait_port "$SERVER_PORT" "$NGINX_PORT"

overflows() { nstat -az TcpExtListenOverflows | awk '$1 == "TcpExtListenOverflows" {print $2}'; }
# status FIELD: the server's /proc status field (Threads, VmRSS).
status() { awk -v f="$1:" '$1 == f {print $2}' "/proc/$SERVER_PID/status"; }
# field KEY LINE: the value of KEY=value in a burst_client line.
field() { tr ' ' '\n' <<<"$2" | awk -F= -v k="$1" '$1 == k {print $2}'; }

# The spare workers are started off the listener's path; give them a moment before taking the resting count.
sleep 1
FLOOR_THREADS=$(status Threads)
echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg); server threads at rest: $FLOOR_THREADS"
echo

echo "| document | conns | server req/s | p50 | p90 | p99 | overflows | nginx req/s | p50 | p90 | p99 | overflows | ratio | errors (server / nginx) |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for conns in $CONNECTIONS; do
  for doc in translate empty; do
    if [ "$doc" = translate ]; then path=$TRANSLATE_PATH; else path=$EMPTY_PATH; fi
    before=$(overflows)
    IFS='|' read -r s_rps s50 s90 s99 s_err <<<"$(measure "http://127.0.0.1:$SERVER_PORT$path" "$conns")"
    middle=$(overflows)
    IFS='|' read -r n_rps n50 n90 n99 n_err <<<"$(measure "http://127.0.0.1:$NGINX_PORT$path" "$conns")"
    after=$(overflows)
    ratio=$(awk -v s="$s_rps" -v n="$n_rps" 'BEGIN { if (n > 0) printf "%.2f", s / n; else print "-" }')
    echo "| $doc | $conns | $s_rps | $s50 | $s90 | $s99 | $((middle - before)) | $n_rps | $n50 | $n90 | $n99 | $((after - middle)) | $ratio | $s_err / $n_err |"
  done
done
echo

echo "| burst | server answered | p50 ms | p90 ms | worst ms | slowest handshake ms | overflows | nginx answered | p50 ms | p90 ms | worst ms | slowest handshake ms | overflows |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for n in $BURSTS; do
  row="| $n"
  for port in "$SERVER_PORT" "$NGINX_PORT"; do
    before=$(overflows)
    line=$("$CLIENT" burst "$port" "$n" "$TRANSLATE_PATH")
    after=$(overflows)
    row="$row | $(field answered "$line")/$n | $(field p50 "$line") | $(field p90 "$line") | $(field worst "$line")"
    row="$row | $(field worst_connect "$line") | $((after - before))"
    # Let the side just measured finish its answers before the other starts.
    sleep 1
  done
  echo "$row |"
done
echo

# idle PORT: opens the idle connections; prints the client's line, then (for the server) its threads and memory
# while they are open; closes them.
idle() {
  local line threads="" rss=""
  coproc IDLE_CLIENT { "$CLIENT" idle "$1" "$IDLE" "$TRANSLATE_PATH"; }
  read -r line <&"${IDLE_CLIENT[0]}"
  if [ "$1" = "$SERVER_PORT" ]; then
    threads=$(status Threads)
    rss=$(status VmRSS)
  fi
  echo >&"${IDLE_CLIENT[1]}"
  wait "$IDLE_CLIENT_PID"
  echo "$line threads=$threads rss=$rss"
}

echo "| idle connections | side | connected | mean connect ms | p99 ms | worst ms | over 50 ms | request while open p50 ms | worst ms | overflows | threads while open | resident KiB |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
before=$(overflows)
s_line=$(idle "$SERVER_PORT")
closed_at=$(date +%s)
middle=$(overflows)
n_line=$(idle "$NGINX_PORT")
after=$(overflows)
for side in server nginx; do
  if [ $side = server ]; then line=$s_line over=$((middle - before)); else line=$n_line over=$((after - middle)); fi
  echo "| $IDLE | $side | $(field connected "$line") | $(field mean "$line") | $(field p99 "$line") | $(field worst "$line") | $(field over50 "$line") | $(field request_p50 "$line") | $(field request_worst "$line") | $over | $(field threads "$line") | $(field rss "$line") |"
done
echo

# Back at the floor: the count the server had at rest before any load.
while [ "$(status Threads)" -gt "$FLOOR_THREADS" ] && [ $(($(date +%s) - closed_at)) -lt "$SETTLE_LIMIT" ]; do
  sleep 1
done
settled=$(($(date +%s) - closed_at))
echo "| server threads at rest | threads at the end | seconds after closing | resident KiB then |"
echo "|---|---|---|---|"
echo "| $FLOOR_THREADS | $(status Threads) | $settled | $(status VmRSS) |"
echo
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
