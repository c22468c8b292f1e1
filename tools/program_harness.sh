# shellcheck shell=bash disable=SC2154
# Shell helpers for the scripts that run the real program: the package test, the demo and the screenshots.
# Source it from bash. The caller sets $harness_work to a temporary folder of its own before calling the
# starters, and calls harness_stop_all when it ends (a trap on EXIT); everything started here is ended there.

harness_root=$(realpath "$(dirname "${BASH_SOURCE[0]}")/..")
harness_pids=()
PORT=8888

# harness_stop_all: ends what the starters started, newest first. A process that has ended already must not
# stop the rest from being ended under set -e (the screen and the panel would outlive the caller).
harness_stop_all() {
  local i
  for ((i = ${#harness_pids[@]} - 1; i >= 0; i--)); do kill "${harness_pids[i]}" 2>/dev/null || true; done
  for ((i = ${#harness_pids[@]} - 1; i >= 0; i--)); do wait "${harness_pids[i]}" 2>/dev/null || true; done
  harness_pids=()
}

# harness_cleanup: for a trap on EXIT in the tests that keep their files in $work: ends everything started and
# removes the folder.
harness_cleanup() {
  harness_stop_all
  [[ -n ${work:-} ]] && rm -rf "$work"
  return 0
}

# harness_forget PID: a process that has been stopped and waited for already.
harness_forget() {
  local kept=() pid
  for pid in "${harness_pids[@]}"; do [[ $pid == "$1" ]] || kept+=("$pid"); done
  harness_pids=("${kept[@]}")
}

# wait_until SECONDS COMMAND...: runs the command every 50 ms until it succeeds or the time is up.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

# wait_for_exit SECONDS: waits for the program started as $program_pid to end by itself; calls the caller's
# fail unless it ends with code 0 within the time.
wait_for_exit() {
  local deadline=$((SECONDS + $1)) code
  while kill -0 "$program_pid" 2>/dev/null; do
    ((SECONDS < deadline)) || fail "the program did not end"
    sleep 0.05
  done
  wait "$program_pid"
  code=$?
  harness_forget "$program_pid"
  [[ $code -eq 0 ]] || fail "exit code $code"
}

# Someone listens on port 8888.
port_taken() { (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; }

# start_fake_engines: the stand-ins for the online engines on loopback (tools/fake_engine.py), with a
# throw-away CA in $harness_work/certs/ca.pem for the https one (Yandex); sets $http_port and $https_port.
start_fake_engines() {
  bash "$harness_root/tools/make_test_certs.sh" "$harness_work/certs" >/dev/null || return 1
  python3 "$harness_root/tools/fake_engine.py" --port-file "$harness_work/ports.json" \
    --cert "$harness_work/certs/server.pem" --key "$harness_work/certs/server.key" >"$harness_work/engine.log" 2>&1 &
  harness_pids+=($!)
  wait_until 30 test -s "$harness_work/ports.json" || return 1
  read -r http_port https_port < <(python3 -c 'import json,sys; p=json.load(open(sys.argv[1])); print(p["http"], p["https"])' \
    "$harness_work/ports.json")
}

# engine_host NAME: where the program reaches that engine's stand-in.
engine_host() { if [[ $1 == Yandex ]]; then echo "127.0.0.1:$https_port"; else echo "127.0.0.1:$http_port"; fi; }

# settings_file [KEY=VALUE...]: a setting.ini on standard output with the server on, the given [General]
# and [Setting] keys (Language= goes to [Setting]), and every engine pointed at its stand-in.
settings_file() {
  local pair engine
  printf '[General]\nProxyActive=1\n'
  for pair in "$@"; do [[ $pair == Language=* ]] || printf '%s\n' "$pair"; done
  printf '[Setting]\n'
  for pair in "$@"; do [[ $pair == Language=* ]] && printf '%s\n' "$pair"; done
  printf '[Engines]\n'
  for engine in Google Bing Yandex Babylon Promt SYSTRAN; do printf '%s=%s\n' "$engine" "$(engine_host "$engine")"; done
}

# start_apertium: Debian's Apertium service (apertium-apy) on loopback only, through tools/apertium_loopback.py,
# once it answers /listPairs; sets $apertium_port. Its request log goes to $harness_work/apertium.log.
start_apertium() {
  python3 "$harness_root/tools/apertium_loopback.py" --port-file "$harness_work/apertium.json" \
    >"$harness_work/apertium.log" 2>&1 &
  harness_pids+=($!)
  wait_until 30 test -s "$harness_work/apertium.json" || return 1
  apertium_port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["port"])' "$harness_work/apertium.json")
  wait_until 30 curl -sf --max-time 2 "http://127.0.0.1:$apertium_port/listPairs"
}

# start_xvfb [WxH]: a virtual screen; sets DISPLAY. Without -noreset the server resets whenever its last client
# leaves, and a client connecting meanwhile (trayer after a probe's xdotool, say) is refused and gone: about one
# connection in twenty failed so when clients came and went quickly.
start_xvfb() {
  exec 5>"$harness_work/display"
  Xvfb -displayfd 5 -screen 0 "${1:-1280x800}x24" -nolisten tcp -noreset >"$harness_work/xvfb.log" 2>&1 &
  harness_pids+=($!)
  exec 5>&-
  wait_until 30 test -s "$harness_work/display" || return 1
  DISPLAY=":$(head -n 1 "$harness_work/display")"
  export DISPLAY
}

# start_trayer: a notification-area host along the bottom edge of the screen.
start_trayer() {
  trayer --edge bottom --align right --widthtype request --height 24 "$@" >"$harness_work/trayer.log" 2>&1 &
  harness_pids+=($!)
}

# The program's mapped windows (the docked icon, the log window, an open menu).
visible_windows() { xdotool search --onlyvisible --classname tessarine-proxy 2>/dev/null | wc -l; }
windows_more_than() { [[ $(visible_windows) -gt $1 ]]; }

# titled_window TITLE: the program's visible window of that title.
titled_window() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 | grep .; }

# window_box WINDOW: "x y width height" of the window with the frame the window manager gave it.
window_box() {
  local info x y w h extents l=0 r=0 t=0 b=0
  info=$(xwininfo -id "$1") || return 1
  x=$(awk '/Absolute upper-left X/ { print $4 }' <<<"$info")
  y=$(awk '/Absolute upper-left Y/ { print $4 }' <<<"$info")
  w=$(awk '/Width:/ { print $2 }' <<<"$info")
  h=$(awk '/Height:/ { print $2 }' <<<"$info")
  extents=$(xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | grep -oE '[0-9]+, [0-9]+, [0-9]+, [0-9]+' || true)
  if [[ -n $extents ]]; then IFS=', ' read -r l r t b <<<"$extents"; fi
  echo "$((x - l)) $((y - t)) $((w + l + r)) $((h + t + b))"
}

# work_area: "x y width height" of the first desktop's work area, as the window manager computes it.
work_area() { xprop -root _NET_WORKAREA 2>/dev/null | grep -oE '[0-9]+, [0-9]+, [0-9]+, [0-9]+' | head -n 1 | tr -d ,; }

# start_openbox: a window manager that frames windows, keeps a work area and answers minimize requests.
start_openbox() {
  openbox --sm-disable >"$harness_work/openbox.log" 2>&1 &
  harness_pids+=($!)
  wait_until 30 xprop -root _NET_SUPPORTING_WM_CHECK
}

# The icon's window inside trayer's panel.
icon_window() {
  local panel
  panel=$(xdotool search --classname panel 2>/dev/null | head -n 1) || return 1
  [[ -n $panel ]] || return 1
  xwininfo -children -tree -id "$panel" 2>/dev/null | awk '/"tessarine-proxy"/ { print $1; exit }' | grep .
}

# open_menu: right-clicks the icon until the menu shows (a press that arrives while a previous menu still
# holds the pointer grab is lost). Qt re-docks the icon now and then: it leaves the panel for some milliseconds
# and comes back, so the icon is waited for as well.
open_menu() {
  local icon before deadline=$((SECONDS + 30))
  wait_until 30 icon_window || return 1
  icon=$(icon_window) || return 1
  before=$(visible_windows)
  until xdotool mousemove --window "$icon" 8 8 click 3 && wait_until 2 windows_more_than "$before"; do
    ((SECONDS < deadline)) || return 1
  done
}

# translate TEXT LANGPAIR: the program's answer to one request.
translate() {
  curl -s --max-time 20 -G "http://127.0.0.1:$PORT/linxp_translate_t" --data-urlencode "text=$1" \
    --data-urlencode "langpair=$2"
}

# start_offscreen_program PROGRAM SETTINGS: the program without a display, SETTINGS as its setting.ini in
# $harness_work and its log lines (--log) in $harness_work/stderr.log; sets $program_pid and waits until it
# listens (the caller's fail otherwise).
start_offscreen_program() {
  printf '%s\n' "$2" >"$harness_work/setting.ini"
  env "ASAN_OPTIONS=${ASAN_OPTIONS:-}:strict_string_checks=0" \
    "LSAN_OPTIONS=${LSAN_OPTIONS:-}:suppressions=$harness_root/tests/app/lsan_suppressions.txt:print_suppressions=0" \
    QT_QPA_PLATFORM=offscreen "$1" --settings "$harness_work/setting.ini" --log \
    >"$harness_work/stdout.log" 2>"$harness_work/stderr.log" &
  program_pid=$!
  harness_pids+=("$program_pid")
  wait_until 30 port_taken || fail "not listening on $PORT"
}

# stop_offscreen_program: SIGTERM ends it with code 0 and no sanitizer report on its stderr, or the caller fails.
stop_offscreen_program() {
  kill -s TERM "$program_pid"
  wait_for_exit 30
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$harness_work/stderr.log"; then
    fail "sanitizer report"
  fi
}

# The keyed engines' program tests: the fake's control, what one engine received, and requests asked at once.
# fake_control PATH [JSON]: a control request to the fake's http port.
fake_control() {
  if [[ $# -gt 1 ]]; then curl -sf --max-time 10 -d "$2" "http://127.0.0.1:$http_port$1"; else
    curl -sf --max-time 10 "http://127.0.0.1:$http_port$1"; fi
}

# fake_posts PATH: the POSTs to PATH received so far, one JSON object a line: the headers and the body decoded.
fake_posts() {
  fake_control /_fake/requests | python3 -c '
import base64, json, sys
for r in json.load(sys.stdin):
    if r["request_line"].startswith("POST " + sys.argv[1] + " "):
        print(json.dumps({"headers": r["headers"], "body": json.loads(base64.b64decode(r["body_b64"]))}))' "$1"
}

# fake_holds_no KEY: no request line or body the fake received holds KEY.
fake_holds_no() {
  fake_control /_fake/requests | python3 -c '
import base64, json, sys
for r in json.load(sys.stdin):
    assert sys.argv[1] not in r["request_line"] + base64.b64decode(r["body_b64"]).decode("utf-8", "replace")' "$1"
}

# burst_translate PAIR=TEXT...: the texts asked at once, each for its pair; prints each answer's translation (or
# "failed: ...") on a line of its own, in order.
burst_translate() {
  python3 - "$PORT" "$@" <<'PYTHON'
import sys, threading, urllib.parse, urllib.request
port, items = sys.argv[1], [item.partition("=")[::2] for item in sys.argv[2:]]
answers = [None] * len(items)
start = threading.Barrier(len(items))
def ask(i):
    query = urllib.parse.urlencode({"text": items[i][1], "langpair": items[i][0]})
    start.wait()
    try:
        with urllib.request.urlopen("http://127.0.0.1:%s/linxp_translate_t?%s" % (port, query), timeout=20) as reply:
            body = reply.read().decode("utf-8")
        answers[i] = body.split("<span class=hps>")[1].split("</span>")[0]
    except Exception as failure:
        answers[i] = "failed: %s" % failure
threads = [threading.Thread(target=ask, args=(i,)) for i in range(len(items))]
for thread in threads: thread.start()
for thread in threads: thread.join()
print("\n".join(answers))
PYTHON
}

# wine_prefix STATE_DIR [fresh] [null-display]: Wine's environment for the prefix STATE_DIR/prefix with a HOME of
# its own (64-bit, quiet, neither .NET nor a browser, no desktop menu entries); the prefix is made on first use, or
# afresh with "fresh", and its wineserver is ended, so that the desktop process a program starts next belongs to
# the caller's screen. With "null-display" Wine draws windows into memory (no screen needed).
wine_prefix() {
  local state=$1 fresh=0 null=0 option
  shift
  for option in "$@"; do
    [[ $option == fresh ]] && fresh=1
    [[ $option == null-display ]] && null=1
  done
  export WINEPREFIX=$state/prefix HOME=$state/home WINEDEBUG=-all WINEARCH=win64
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  (
    flock 9
    if ((fresh)) || [[ ! -f $WINEPREFIX/.tessarine-ready ]]; then
      wineserver -k 2>/dev/null || true
      rm -rf "$WINEPREFIX" "$HOME"
      mkdir -p "$HOME"
      DISPLAY='' wineboot -i </dev/null >/dev/null 2>&1 9>&-
      if ((null)); then
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 9>&-
      fi
      wineserver -w
      touch "$WINEPREFIX/.tessarine-ready"
    fi
  ) 9>"$state/lock"
  wineserver -k 2>/dev/null || true
  return 0
}
