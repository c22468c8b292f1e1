# Shared parts of the load scripts: tools, waiting for ports, wrk summaries. Sourced, not run.

# need COMMAND PACKAGE: installs the Debian package when the command is missing.
need() {
  command -v "$1" >/dev/null 2>&1 && return
  if [ "$(id -u)" -ne 0 ]; then
    echo "$1 is missing: install the package $2" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$2" >/dev/null
}

# build_demo BUILD_DIR ROOT [TARGET...]: a Release build of bench/server_demo.cpp and the other bench targets named.
build_demo() {
  local build=$1 root=$2
  shift 2
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARINE_UI=OFF -DTESSARINE_TESTS=OFF \
    -DTESSARINE_BENCH=ON >/dev/null
  cmake --build "$build" --target server_demo "$@" -j2 >/dev/null
}

# wait_port PORT...: until each loopback port accepts connections (at most 5 s each).
wait_port() {
  local port
  for port in "$@"; do
    for _ in $(seq 100); do
      (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
      sleep 0.05
    done
  done
}

# start_nginx WORK ACCESS_LOG SERVERS: nginx as an engine stand-in in WORK (its pid in WORK/nginx.pid), keep-alive
# without end, with ACCESS_LOG ("off" or a log directive's arguments) and the server blocks SERVERS.
start_nginx() {
  local work=$1
  mkdir -p "$work/tmp"
  cat >"$work/nginx.conf" <<CONF
worker_processes 1;
daemon on;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
  $( [ "$2" = off ] || echo "log_format conn '\$connection';" )
  access_log $2;
  server_tokens off;
  keepalive_timeout 75s;
  keepalive_requests 100000000;
  client_body_temp_path $work/tmp;
  proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp;
  scgi_temp_path $work/tmp;
$3
}
CONF
  nginx -c "$work/nginx.conf" -p "$work"
}

# measure URL CONNECTIONS [THREADS]: wrk's summary as requests/s|p50|p90|p99|errors
measure() {
  local out threads=${3:-2}
  [ "$threads" -gt "$2" ] && threads=$2
  out=$(wrk -t"$threads" -c"$2" -d"$DURATION" --latency "$1")
  local rps p50 p90 p99 errors
  rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  p50=$(awk '$1 == "50%" {print $2}' <<<"$out")
  p90=$(awk '$1 == "90%" {print $2}' <<<"$out")
  p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
  errors=$(awk '/Socket errors|Non-2xx/ {sub(/^ +/, ""); printf "%s; ", $0}' <<<"$out")
  echo "$rps|$p50|$p90|$p99|${errors:-none}"
}

# to_us TIME: a wrk time (850.00us, 1.20ms, 2.00s) in microseconds.
to_us() {
  awk -v t="$1" 'BEGIN {
    v = t + 0
    if (t ~ /us$/) print v; else if (t ~ /ms$/) print v * 1000; else if (t ~ /s$/) print v * 1000000; else print v
  }'
}

# start_fixed_engines WORK ACCESS_LOG HTTP_PORT HTTPS_PORT: nginx answering Google's request (plain http) and
# Yandex's (https, the test certificate in WORK/certs) with one fixed translation each.
start_fixed_engines() {
  start_nginx "$1" "$2" "$(cat <<SERVERS
  server {
    listen 127.0.0.1:$3;
    listen 127.0.0.1:$4 ssl;
    ssl_certificate $1/certs/server.pem;
    ssl_certificate_key $1/certs/server.key;
    location = /translate_a/t {
      default_type application/json;
      return 200 '[{"trans":"Hallo, Welt","orig":"Hello, world"}]';
    }
    location = /api/v1/tr.json/translate {
      default_type application/json;
      return 200 '{"code":200,"lang":"en-de","text":["Hallo, Welt"]}';
    }
  }
SERVERS
)"
}
