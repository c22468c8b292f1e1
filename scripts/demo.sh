#!/usr/bin/env bash
# Tries the program without internet: the engines are stood in for by tools/fake_engine.py on this
# computer. For each engine of the tray menu the program is started from a temporary folder whose
# setting.ini chooses that engine and points [Engines] at the stand-ins; one translation is asked for with
# curl, and the answer and the program's log lines are printed. Everything started here is stopped at the
# end and on Ctrl+C.
#
#   scripts/demo.sh [PROGRAM]    PROGRAM defaults to build/tessarine-proxy (built when missing)
#
# On a display the program shows its tray icon meanwhile; without one it runs offscreen.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
source tools/program_harness.sh

program=${1:-build/tessarine-proxy}
if [[ ! -x $program ]]; then
  echo "Building $program first."
  bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo || exit 1
fi
program=$(realpath "$program")
for tool in curl python3 openssl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh" >&2; exit 1; }
done
if port_taken; then
  echo "Port $PORT is in use by another program (a running Tessarine Proxy?); stop it first." >&2
  exit 1
fi

harness_work=$(mktemp -d)
finish() {
  harness_stop_all
  rm -rf "$harness_work"
}
trap finish EXIT
trap 'echo; echo "Interrupted: everything the demo started is stopped."; exit 130' INT TERM

if [[ -z ${QT_QPA_PLATFORM:-} && -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  export QT_QPA_PLATFORM=offscreen
  echo "No display: the program runs offscreen."
fi

start_fake_engines || { echo "The fake engine server did not start:" >&2; cat "$harness_work/engine.log" >&2; exit 1; }
echo "Fake engines: http on 127.0.0.1:$http_port, https on 127.0.0.1:$https_port"
# The program runs from its own folder, with setting.ini beside it, as a copied program would.
mkdir "$harness_work/proxy"
cp "$program" "$harness_work/proxy/tessarine-proxy"

engines=(Google Bing Yandex Babylon Promt)
text="Hello world"
langpair="en|ru"
failed=0
for engine in "${engines[@]}"; do
  choice=()
  for other in "${engines[@]}"; do choice+=("$other=$([[ $other == "$engine" ]] && echo 1 || echo 0)"); done
  settings_file "${choice[@]}" >"$harness_work/proxy/setting.ini"

  echo
  echo "== $engine"
  # The throw-away CA is trusted for the https stand-in (Yandex).
  SSL_CERT_FILE="$harness_work/certs/ca.pem" "$harness_work/proxy/tessarine-proxy" --log \
    >"$harness_work/stdout.log" 2>"$harness_work/stderr.log" &
  pid=$!
  harness_pids+=("$pid")
  if ! wait_until 30 port_taken; then
    echo "The program did not start listening on port $PORT:"
    cat "$harness_work/stderr.log"
    failed=$((failed + 1))
  else
    echo "GET http://127.0.0.1:$PORT/linxp_translate_t?text=Hello%20world&langpair=en%7Cru"
    answer=$(translate "$text" "$langpair")
    echo "answer: $answer"
    if [[ $engine == Babylon ]]; then
      # The stand-in answers "<target>: TEXT" with the target as the request named it.
      echo "(Babylon's request names the languages by Babylon's own numbers, ru as 7; the stand-in echoes"
      echo " the number it was sent, hence \"7:\" where the other engines show \"ru:\".)"
    fi
    [[ $answer == *'<span class=hps>'*'HELLO WORLD</span>'* ]] || failed=$((failed + 1))
    # The log's last line, the separator, ends a request.
    wait_until 10 grep -q '^____' "$harness_work/stderr.log"
    echo "log:"
    grep -v '^QStandardPaths:' "$harness_work/stderr.log" | sed 's/^/  /'
  fi
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  harness_forget "$pid"
done

echo
if ((failed)); then
  echo "Demo finished: $failed of ${#engines[@]} engines gave no translation."
  exit 1
fi
echo "Demo finished: each of the ${#engines[@]} engines answered."
