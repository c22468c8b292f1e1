#!/usr/bin/env bash
# The Windows program end to end under Wine, on a virtual screen with a notification-area host:
#   program_windows_test.sh PROGRAM.exe STATE_DIR
# Translations through the fake engines (Yandex over https, trusting the test CA through SSL_CERT_FILE) come back
# byte for byte as the Linux program answers them; the menu is driven with xdotool (engine, on/off, the log window,
# About, English, a double click on the icon for the default item); the icon docks again after the tray host restarts; Exit writes setting.ini and ends the program
# with code 0; a second run ends with the session and keeps the choices made meanwhile; --check-engines prints its
# table.
# STATE_DIR holds a Wine prefix of its own: its desktop process must belong to this screen, which the shared
# headless prefix of the unit tests cannot give. Skipped (77) when port 8888 is taken or a tool is missing.
set -uo pipefail

program=$(realpath "${1:?program}")
state=$(mkdir -p "${2:?state dir}" && cd "$2" && pwd)
SKIP=77
# shellcheck source=/dev/null
source "$(dirname "$(realpath "$0")")/../../tools/program_harness.sh"

fail() {
  echo "FAIL: $*" >&2
  [[ -s ${work:-/nonexistent}/stderr.log ]] && { echo "--- program stderr:" >&2; tail -n 30 "$work/stderr.log" >&2; }
  exit 1
}
skip() {
  echo "SKIP: $*"
  exit $SKIP
}
for tool in curl python3 openssl wine wineserver Xvfb trayer xdotool xwininfo; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
port_taken && skip "port $PORT is in use by another program"

work=$(mktemp -d)
# shellcheck disable=SC2034  # read by the harness
harness_work=$work
cleanup() {
  wineserver -k 2>/dev/null
  harness_cleanup
}
trap cleanup EXIT

wine_prefix "$state"

start_fake_engines || fail "the fake engines did not start"
start_xvfb || fail "no virtual screen"
start_trayer
trayer_pid=${harness_pids[-1]}
cp "$program" "$work/tessarine-proxy.exe"

# The program as Explorer would start it; its window of the notification area is Wine's desktop process's.
start_program() {
  (cd "$work" && SSL_CERT_FILE="$work/certs/ca.pem" exec wine ./tessarine-proxy.exe --log \
    >"$work/stdout.log" 2>"$work/stderr.log") &
  program_pid=$!
  harness_pids+=("$program_pid")
  wait_until 60 port_taken || fail "not listening on $PORT"
}
tray_icon() {
  local panel
  panel=$(xdotool search --classname panel 2>/dev/null | head -n 1)
  [[ -n $panel ]] && xwininfo -children -tree -id "$panel" 2>/dev/null | awk '/"explorer.exe"/ { print $1; exit }' | grep .
}
menu_open() { xdotool search --onlyvisible --classname '#32768' 2>/dev/null | grep -q . ||
  [[ $(xdotool search --onlyvisible --classname tessarine-proxy.exe 2>/dev/null | wc -l) -gt $shown ]]; }
# menu KEY...: opens the popup menu with a right click on the icon and presses the keys (Down from the top, Up
# from the bottom; separators are skipped), then Return.
menu() {
  local icon shown deadline=$((SECONDS + 30))
  wait_until 30 tray_icon || fail "no icon in the tray"
  icon=$(tray_icon)
  shown=$(xdotool search --onlyvisible --classname tessarine-proxy.exe 2>/dev/null | wc -l)
  until xdotool mousemove --window "$icon" 8 8 click 3 && wait_until 3 menu_open; do
    ((SECONDS < deadline)) || fail "the menu did not open"
  done
  for key in "$@"; do xdotool key "$key" && sleep 0.1; done
  xdotool key Return
  sleep 0.5
}
window_shown() { xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; }
answer_of() { curl -s --max-time 20 "http://127.0.0.1:$PORT/linxp_translate_t?text=$1&langpair=$2"; }
wrap() { printf '<div><div><div><span id=result_box class=short_text><span class=hps>%s</span></span></div></div><div>' "$1"; }

settings_file Google=0 Yandex=1 >"$work/setting.ini"
start_program
grep -q 'Settings file: Z:.*setting.ini' "$work/stdout.log" || fail "the settings file is not named: $(cat "$work/stdout.log")"

# The answer's bytes: the same wrapper, the translation in UTF-8, as the Linux program sends.
[[ $(answer_of 'Hello%20world' 'en%7Cde') == "$(wrap 'de: HELLO WORLD')" ]] || fail "Yandex over https: $(answer_of 'Hello%20world' 'en%7Cde')"
expected=$(wrap 'ru: Привет' | od -An -tx1)
[[ $(answer_of '%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82' 'en%7Cru' | od -An -tx1) == "$expected" ]] ||
  fail "Cyrillic: $(answer_of '%D0%9F%D1%80%D0%B8%D0%B2%D0%B5%D1%82' 'en%7Cru')"
grep -q '^Yandex$' "$work/stderr.log" || fail "the log echo names no engine"
echo "ok: translations through Yandex over https, bytes as on Linux"

menu Down Down Down Down  # Google
answer_of 'Hello' 'en%7Cde' >/dev/null
wait_until 10 grep -q '^Google$' "$work/stderr.log" || fail "Google was not chosen"
menu Down  # server off: Timer1 closes the port within its second
wait_until 10 eval '! port_taken' || fail "the server is still on"
menu Down  # on again
wait_until 10 port_taken || fail "the server did not come back"
menu Down Down  # Show log
wait_until 10 window_shown 'Tessarine Proxy' || fail "the log window did not show"
menu Up Up  # About
wait_until 10 window_shown 'О программе' || fail "the About window did not show"
menu Up Up Up  # English
tray_double_click() { xdotool mousemove --window "$(tray_icon)" 8 8 click --repeat 2 --delay 80 1; }
tray_double_click  # the default item: Russian
echo "ok: engine, on/off, log window, About, English and the double click through the menu"

kill "$trayer_pid" 2>/dev/null
wait_until 10 eval '! tray_icon' || fail "the tray did not go"
start_trayer
trayer_pid=${harness_pids[-1]}
wait_until 30 tray_icon || fail "the icon did not come back to the new tray"
echo "ok: the icon is back in the restarted tray"

menu Up  # Exit
wait_for_exit 30
grep -q '^Google=1' "$work/setting.ini" && grep -q '^Yandex=0' "$work/setting.ini" &&
  grep -q '^Language=Русский' "$work/setting.ini" && grep -q '^ProxyActive=1' "$work/setting.ini" ||
  fail "Exit did not write the choices: $(cat "$work/setting.ini")"
echo "ok: Exit wrote setting.ini and the program ended"

start_program
menu Down Down Down Down Down  # Bing
menu Up Up Up  # English
wineboot -e
wait_until 30 eval '! kill -0 $program_pid 2>/dev/null' || fail "the program outlived the session"
grep -q '^Bing=1' "$work/setting.ini" && grep -q '^Language=English' "$work/setting.ini" || fail "the session's end did not keep the choice: $(cat "$work/setting.ini")"
echo "ok: the end of the session wrote setting.ini"

# --check-engines answers on the console it was started from, without a window or the server.
(cd "$work" && SSL_CERT_FILE="$work/certs/ca.pem" wine ./tessarine-proxy.exe --check-engines >"$work/check.log" 2>&1)
code=$?
[[ $code -eq 0 ]] && grep -q '^Google .* de: HELLO WORLD' "$work/check.log" &&
  grep -q '^Yandex .* de: HELLO WORLD' "$work/check.log" ||
  fail "--check-engines (exit $code): $(cat "$work/check.log")"
echo "ok: --check-engines printed its table"

# With the port taken the bind error is shown in a box titled with the application's name, and its text is on
# stderr with --log; the program goes on in the tray and Exit ends it.
python3 -c 'import socket, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("0.0.0.0", 8888)); s.listen()
time.sleep(120)' &
blocker=$!
harness_pids+=("$blocker")
wait_until 10 port_taken || fail "the port could not be taken"
(cd "$work" && exec wine ./tessarine-proxy.exe --log >"$work/stdout.log" 2>"$work/stderr.log") &
program_pid=$!
harness_pids+=("$program_pid")
wait_until 60 window_shown Tessarine || fail "no error box"
wait_until 10 grep -q 'Port 8888 is in use by another program' "$work/stderr.log" || fail "the box's text is not on stderr"
box=$(xdotool search --onlyvisible --name '^Tessarine$' | head -n 1)
deadline=$((SECONDS + 30))
until ! window_shown Tessarine; do
  xdotool mousemove --window "$box" 10 10 click 1 key --window "$box" Return 2>/dev/null
  ((SECONDS < deadline)) || fail "the error box did not close"
  sleep 0.5
done
menu Up  # Exit
wait_for_exit 30
echo "ok: the bind error's box, its text on stderr, and Exit after it"
