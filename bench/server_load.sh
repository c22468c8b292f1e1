#!/usr/bin/env bash
# Load test of the local HTTP server against nginx serving the same bytes with "Connection: close".
# Installs wrk and nginx-light when missing (apt-get), builds bench/server_demo.cpp in Release, and prints a
# Markdown table: requests per second and latency percentiles for each document and connection count, with the
# server's rate as a share of nginx's.
#
#   bench/server_load.sh             (DURATION=10s, CONNECTIONS="16 64", BUILD=build-bench by default)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
DURATION=${DURATION:-10s}
CONNECTIONS=${CONNECTIONS:-"16 64"}
SERVER_PORT=${SERVER_PORT:-18888}
NGINX_PORT=${NGINX_PORT:-18889}
TRANSLATE_PATH='/linxp_translate_t?text=Hello&langpair=en%7Cde'
EMPTY_PATH='/other'
# The endpoint's answer to the request above, byte for byte.
TRANSLATE_BODY='<div><div><div><span id=result_box class=short_text><span class=hps>Hallo, Welt</span></span></div></div><div>'

. "$ROOT/bench/lib.sh"
need wrk wrk
need nginx nginx-light

build_demo "$BUILD" "$ROOT"

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
daemon on;
pid $WORK/nginx.pid;
error_log $WORK/error.log;
events { worker_connections 1024; }
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

echo "| document | conns | server req/s | p50 | p90 | p99 | nginx req/s | p50 | p90 | p99 | ratio | errors (server / nginx) |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
for conns in $CONNECTIONS; do
  for doc in translate empty; do
    if [ "$doc" = translate ]; then path=$TRANSLATE_PATH; else path=$EMPTY_PATH; fi
    IFS='|' read -r s_rps s50 s90 s99 s_err <<<"$(measure "http://127.0.0.1:$SERVER_PORT$path" "$conns")"
    IFS='|' read -r n_rps n50 n90 n99 n_err <<<"$(measure "http://127.0.0.1:$NGINX_PORT$path" "$conns")"
    ratio=$(awk -v s="$s_rps" -v n="$n_rps" 'BEGIN { if (n > 0) printf "%.2f", s / n; else print "-" }')
    echo "| $doc | $conns | $s_rps | $s50 | $s90 | $s99 | $n_rps | $n50 | $n90 | $n99 | $ratio | $s_err / $n_err |"
  done
done
