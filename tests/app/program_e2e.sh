#!/usr/bin/env bash
# End-to-end runs of the real program, copied into a temporary folder with its own setting.ini.
#
#   program_e2e.sh desktop PROGRAM   under Xvfb: served without a tray host, the icon docks once trayer
#                                    appears; then with trayer from the start: requests are answered, the
#                                    menu is driven with xdotool (right click, keyboard), every engine is
#                                    chosen in turn, the log window is shown, Exit writes setting.ini and
#                                    the program ends with code 0
#   program_e2e.sh signals PROGRAM   offscreen: requests are answered, and SIGTERM and SIGINT end the
#                                    program with code 0 without writing the settings; with port 8888
#                                    taken, --log writes the bind error and the line naming the port to
#                                    stderr once, as one entry
#   program_e2e.sh wm PROGRAM        under Xvfb with openbox (framed windows) and trayer reserving a bottom
#                                    strip: the log window's frame touches the screen's right edge and the
#                                    panel on the first showing, the About window's frame is centred in the
#                                    work area; a minimize through the window manager hides the log window
#                                    (not iconified) and Show log brings it back placed; with port 8888
#                                    taken and --log, the bind error's box shows and its text is on stderr
#   program_e2e.sh firstrun PROGRAM  scripts/run.sh without a display (its installing and building stood in
#                                    for, the program in place as build/tessarine-proxy): it serves, and the
#                                    request's and the answer's log lines show on the terminal
#
# The program listens on port 8888 as it always does; when another program holds that port the run is
# skipped (exit code 77). No sanitizer report may appear on the program's stderr.
set -uo pipefail

mode=${1:?mode}
program=$(realpath "${2:?program}")
SKIP=77
# shellcheck source=/dev/null
source "$(dirname "$(realpath "$0")")/../../tools/program_harness.sh"
LIMIT=30  # seconds for any one wait; generous for sanitizer builds

fail() {
  echo "FAIL: $*" >&2
  if [[ -s ${work:-/nonexistent}/stderr.log ]]; then
    echo "--- program stderr:" >&2
    tail -n 40 "$work/stderr.log" >&2
  fi
  exit 1
}
skip() {
  echo "SKIP: $*"
  exit $SKIP
}
need() { command -v "$1" >/dev/null || skip "$1 is not installed"; }

trap harness_cleanup EXIT

need curl
port_taken && skip "port $PORT is in use by another program"
work=$(mktemp -d)
# shellcheck disable=SC2034  # read by the harness
harness_work=$work
cp "$program" "$work/tessarine-proxy"

# The engines are stood in for by tools/fake_engine.py on loopback; Yandex is called over https, so the
# program trusts the throw-away CA through SSL_CERT_FILE.
need python3
need openssl
start_fake_engines || fail "the fake engines did not start"

# Asks for a translation; the answer must carry the fake engine's translation in the reply wrapper.
expect_translation() {
  local what=$1 code body
  code=$(curl -s --max-time 20 -o "$work/body" -w '%{http_code}' \
    "http://127.0.0.1:$PORT/linxp_translate_t?text=Hello%20world&langpair=en%7Cde") || fail "$what: no answer"
  body=$(cat "$work/body")
  [[ $code == 200 ]] || fail "$what: status $code: $body"
  [[ $body == '<div><div><div><span id=result_box class=short_text><span class=hps>'*'HELLO WORLD'* ]] ||
    fail "$what: not the fake engine's translation: $body"
  echo "ok: $what answered: $body"
}

no_sanitizer_report() {
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|ThreadSanitizer)|runtime error:' "$work/stderr.log"; then
    fail "sanitizer report"
  fi
}

# Sanitizer builds: libxkbcommon-x11 (loaded by Qt's X11 platform) passes strndup a buffer that is not
# NUL-terminated, which strict string checking reports although strndup stays within its bound; and
# system-library leaks are suppressed (see the file).
here=$(dirname "$(realpath "$0")")
sanitizer_env=(
  "ASAN_OPTIONS=${ASAN_OPTIONS:-}:strict_string_checks=0"
  "LSAN_OPTIONS=${LSAN_OPTIONS:-}:suppressions=$here/lsan_suppressions.txt:print_suppressions=0"
  "SSL_CERT_FILE=$work/certs/ca.pem"
  # No session bus: the icon is to be the XEmbed one whatever tray the desktop running the tests offers, and
  # Qt must not start a bus of its own for the display.
  "DBUS_SESSION_BUS_ADDRESS=disabled:"
)

# start_program [ENV=VALUE...] [-- ARGUMENT...]: starts the copy; sets $program_pid.
start_program() {
  local envs=()
  while (($#)) && [[ $1 != -- ]]; do
    envs+=("$1")
    shift
  done
  (($#)) && shift
  env "${sanitizer_env[@]}" "${envs[@]}" "$work/tessarine-proxy" "$@" >"$work/stdout.log" 2>"$work/stderr.log" &
  program_pid=$!
  harness_pids+=("$program_pid")
}

run_signals() {
  local signal
  for signal in TERM INT; do
    printf '[General]\nProxyActive=1\nGoogle=0\nBing=1\n[Engines]\nBing=%s\n' "$(engine_host Bing)" >"$work/setting.ini"
    cp "$work/setting.ini" "$work/setting.before"
    start_program QT_QPA_PLATFORM=offscreen
    wait_until "$LIMIT" port_taken || fail "not listening on $PORT"
    expect_translation "SIG$signal run"
    kill -s "$signal" "$program_pid"
    wait_for_exit "$LIMIT"
    cmp -s "$work/setting.before" "$work/setting.ini" || fail "SIG$signal changed setting.ini"
    no_sanitizer_report
    echo "ok: SIG$signal ends the program with code 0 and leaves setting.ini alone"
  done

  # Without a display the error box has nobody to show it to: --log puts it on stderr, once.
  take_port
  printf '[General]\nProxyActive=1\n' >"$work/setting.ini"
  start_program QT_QPA_PLATFORM=offscreen -- --log
  wait_until "$LIMIT" grep -qF "$port_line" "$work/stderr.log" || fail "no bind error on stderr"
  kill -s TERM "$program_pid"
  wait_for_exit "$LIMIT"
  bind_error_on_stderr || fail "the bind error is not on stderr exactly once"
  release_port
  no_sanitizer_report
  echo "ok: with port $PORT taken, --log writes the bind error and the port's line to stderr"
}

# The log window's frame touches the right edge of the 1024 wide screen and the top of the reserved strip.
log_window_at_edge() {
  local x y w h ax ay aw ah
  read -r x y w h < <(window_box "$(titled_window 'Tessarine Proxy')") || return 1
  read -r ax ay aw ah < <(work_area)
  ((w > 302 && x + w == 1024 && y + h == ay + ah))
}

# The About window's frame is centred in the work area, halves rounded down.
about_window_centred() {
  local x y w h ax ay aw ah
  read -r x y w h < <(window_box "$(titled_window 'О программе')") || return 1
  read -r ax ay aw ah < <(work_area)
  ((w > 360 && x == ax + (aw - w) / 2 && y == ay + (ah - h) / 2))
}

strip_reserved() {
  local area
  area=$(work_area)
  [[ $area == "0 0 1024 "* && $area != "0 0 1024 640" ]]
}
not_iconic() { ! xprop -id "$1" WM_STATE | grep -q Iconic; }

where() { window_box "$(titled_window "$1")" | awk '{ printf "frame at %d,%d size %dx%d", $1, $2, $3, $4 }'; }

run_wm() {
  local tool log_id
  for tool in Xvfb openbox trayer xdotool xwininfo xprop; do need "$tool"; done
  start_xvfb 1024x640 || fail "Xvfb did not start"
  start_openbox || fail "openbox did not start"
  # The panel reserves its strip along the bottom (once it holds the icon): the work area ends above it.
  start_trayer --SetDockType true --SetPartialStrut true
  printf '[General]\nProxyActive=0\n' >"$work/setting.ini"
  start_program QT_QPA_PLATFORM=xcb
  wait_until "$LIMIT" icon_window || fail "the icon was not docked in the tray"
  wait_until "$LIMIT" strip_reserved || fail "the panel reserved no strip: $(work_area)"

  # The first showing: placed by the client size at first, then by the frame once openbox has framed it.
  menu_pick Down Down
  wait_until "$LIMIT" titled_window 'Tessarine Proxy' || fail "the log window did not show"
  wait_until 5 log_window_at_edge || fail "log window first shown with its $(where 'Tessarine Proxy'), work area $(work_area)"
  log_id=$(titled_window 'Tessarine Proxy')
  echo "ok: the log window's frame touches the right edge and the panel on its first showing"

  menu_pick Up Up  # About, just above Exit
  wait_until "$LIMIT" titled_window 'О программе' || fail "the About window did not show"
  wait_until 5 about_window_centred || fail "About window first shown with its $(where 'О программе'), work area $(work_area)"
  echo "ok: the About window's frame is centred in the work area on its first showing"

  # A minimize through the window manager: hidden into the tray, not left iconified.
  xdotool windowminimize "$log_id"
  wait_until "$LIMIT" eval '! titled_window "Tessarine Proxy"' || fail "the log window is still shown after a minimize"
  wait_until "$LIMIT" not_iconic "$log_id" || fail "the log window stayed iconified"
  menu_pick Down Down
  wait_until "$LIMIT" titled_window 'Tessarine Proxy' || fail "Show log did not bring the window back"
  wait_until 5 log_window_at_edge || fail "log window shown again with its $(where 'Tessarine Proxy')"
  echo "ok: a minimize hides the log window into the tray; Show log brings it back placed"

  menu_pick Up  # Exit
  wait_for_exit "$LIMIT"
  no_sanitizer_report

  # A taken port at start-up: the box names the port, and --log puts its text on stderr.
  take_port
  printf '[General]\nProxyActive=1\n' >"$work/setting.ini"
  start_program QT_QPA_PLATFORM=xcb -- --log
  wait_until "$LIMIT" titled_window Tessarine || fail "no error box"
  wait_until "$LIMIT" bind_error_on_stderr || fail "the bind error is not on stderr exactly once"
  xdotool windowactivate --sync "$(titled_window Tessarine)" key Return
  wait_until "$LIMIT" icon_window || fail "start-up did not go on after the error box"
  kill -s TERM "$program_pid"
  wait_for_exit "$LIMIT"
  release_port
  no_sanitizer_report
  echo "ok: with port $PORT taken, the error box shows and --log writes its text to stderr"
}

windows_exactly() { [[ $(visible_windows) -eq $1 ]]; }

# take_port: another program listens on port 8888 (loopback) until the run ends; sets $holder_pid.
take_port() {
  python3 -c 'import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # past the last run'"'"'s connections in TIME_WAIT
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen()
time.sleep(600)' "$PORT" &
  holder_pid=$!
  harness_pids+=("$holder_pid")
  wait_until "$LIMIT" port_taken || fail "could not take port $PORT"
}
release_port() {
  kill "$holder_pid"
  wait "$holder_pid" 2>/dev/null
  harness_forget "$holder_pid"
}

port_line="Port $PORT is in use by another program."
# The box's two lines as --log writes one entry: the line break shown as \n, on one line of stderr.
bind_error='Tessarine: Could not bind socket. Address and port are already in use.\n'"$port_line"

# The bind error with the port's line, exactly once, and neither anywhere else on stderr.
bind_error_on_stderr() {
  [[ $(grep -cxF "$bind_error" "$work/stderr.log") -eq 1 && $(grep -cF "$port_line" "$work/stderr.log") -eq 1 ]]
}

# menu_pick KEY...: opens the menu on the icon and presses the keys and Return.
menu_pick() {
  local key
  open_menu || fail "the menu did not open (is the icon in the tray?)"
  for key in "$@"; do xdotool key "$key"; done
  xdotool key Return
}

run_desktop() {
  local tool engine
  for tool in Xvfb trayer xdotool xwininfo; do need "$tool"; done
  # Settings: server on; the engines' hosts point at the stand-in.
  {
    printf '[General]\nProxyActive=1\n'
    printf '[Engines]\n'
    for engine in Google Bing Yandex Babylon Promt SYSTRAN; do printf '%s=%s\n' "$engine" "$(engine_host "$engine")"; done
  } >"$work/setting.ini"

  start_xvfb 1280x800 || fail "Xvfb did not start"

  # No tray host at first: the program serves all the same, and docks its icon once trayer appears.
  start_program QT_QPA_PLATFORM=xcb
  wait_until "$LIMIT" port_taken || fail "not listening on $PORT"
  expect_translation "without a tray host"
  start_trayer
  wait_until "$LIMIT" icon_window || fail "the icon was not docked once a tray host appeared"
  echo "ok: icon docked once the tray host appeared"
  kill -s TERM "$program_pid"
  wait_for_exit "$LIMIT"
  no_sanitizer_report

  # With the tray host running from the start.
  start_program QT_QPA_PLATFORM=xcb
  wait_until "$LIMIT" port_taken || fail "not listening on $PORT"
  wait_until "$LIMIT" icon_window || fail "the icon was not docked in the tray"
  wait_until "$LIMIT" windows_exactly 1 || fail "a window besides the icon is visible"
  echo "ok: icon docked in trayer"
  expect_translation "Google (saved choice)"

  # Menu order: N6 N1 N2 | G1 B1 Y1 babylon1 P1 | N8 E1 | N7 N5. Down from the opened menu reaches N6 first.
  local downs
  for engine in Yandex:6 Babylon:7 Promt:8 Google:4 Bing:5; do
    downs=${engine#*:}
    # shellcheck disable=SC2046
    menu_pick $(printf 'Down %.0s' $(seq "$downs"))
    wait_until "$LIMIT" windows_exactly 1 || fail "the menu did not close"
    expect_translation "${engine%%:*}"
  done

  # Off and on again: the engine calls stopped while switching off work again afterwards.
  menu_pick Down
  wait_until "$LIMIT" windows_exactly 1 || fail "the menu did not close"
  wait_until "$LIMIT" eval '! port_taken' || fail "still listening after switching off"
  menu_pick Down
  wait_until "$LIMIT" port_taken || fail "not listening after switching on again"
  expect_translation "Bing after off and on"

  # The log window: placed at the right edge of the screen (1280 wide); without a window manager there is
  # no work area, so no bottom panel: the top is its height (181) - 5.
  menu_pick Down Down
  wait_until "$LIMIT" xdotool search --onlyvisible --name '^Tessarine Proxy$' || fail "the log window did not show"
  local geometry
  geometry=$(xwininfo -id "$(xdotool search --onlyvisible --name '^Tessarine Proxy$' | head -n 1)")
  [[ $geometry == *"Absolute upper-left X:  978"* && $geometry == *"Absolute upper-left Y:  176"* ]] ||
    fail "log window placed at: $(grep 'Absolute' <<<"$geometry" | tr -s ' ')"
  echo "ok: the log window shows at the right edge"

  sleep 1.1     # one tick of Timer1, so the saved ProxyActive is the running server's
  menu_pick Up  # Up from the opened menu wraps to the last item, Exit; the visible log window must not stop it
  wait_for_exit "$LIMIT"
  no_sanitizer_report
  local expected
  expected=$(
    printf '[General]\nProxyActive=1\nGoogle=0\nBing=1\nYandex=0\nBabylon=0\nPromt=0\n[Engines]\n'
    for engine in Google Bing Yandex Babylon Promt SYSTRAN; do printf '%s=%s\n' "$engine" "$(engine_host "$engine")"; done
    printf '[Setting]\nLanguage=Русский\n'
  )
  [[ $(cat "$work/setting.ini") == "$expected" ]] || fail "setting.ini after Exit:"$'\n'"$(cat "$work/setting.ini")"
  echo "ok: Exit wrote the chosen engine and ended with code 0"
}

# A newcomer's first run: nothing of the program shows without a display but what it writes to the terminal.
run_firstrun() {
  local tree=$work/tree
  mkdir -p "$tree/scripts" "$tree/build" "$tree/bin"
  # shellcheck disable=SC2154  # set by the harness
  cp "$harness_root/scripts/run.sh" "$tree/scripts/"
  printf '#!/bin/sh\nexit 0\n' >"$tree/scripts/install-deps.sh"
  printf '#!/bin/sh\nexit 0\n' >"$tree/bin/cmake"
  chmod +x "$tree/bin/cmake"
  cp "$program" "$tree/build/tessarine-proxy"
  # Made beforehand only to keep the engines on loopback; run.sh keeps a file that is there.
  settings_file >"$tree/build/setting.ini"
  # run.sh ends by becoming the program, so its process is the program's.
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "PATH=$tree/bin:$PATH" "${sanitizer_env[@]}" \
    bash "$tree/scripts/run.sh" >"$work/stdout.log" 2>"$work/stderr.log" &
  program_pid=$!
  harness_pids+=("$program_pid")
  wait_until "$LIMIT" port_taken || fail "run.sh: not listening on $PORT"
  grep -q '^Serving http://127.0.0.1:8888/' "$work/stdout.log" || fail "run.sh did not say it serves: $(cat "$work/stdout.log")"
  expect_translation "run.sh"
  wait_until "$LIMIT" grep -q 'de: HELLO WORLD' "$work/stderr.log" || fail "the answer is not on the terminal"
  grep -qx 'Hello world' "$work/stderr.log" || fail "the request's text is not on the terminal"
  kill -s TERM "$program_pid"
  wait_for_exit "$LIMIT"
  no_sanitizer_report
  echo "ok: run.sh without a display shows the request and the answer on the terminal"
}

case $mode in
  firstrun) run_firstrun ;;
  desktop) run_desktop ;;
  signals) run_signals ;;
  wm) run_wm ;;
  *) fail "unknown mode $mode" ;;
esac
