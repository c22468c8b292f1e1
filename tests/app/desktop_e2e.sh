#!/usr/bin/env bash
# The real program on the desktops that show tray icons as StatusNotifierItems over D-Bus, copied into a
# temporary folder with its own setting.ini. Each run has a private session bus (a dbus-daemon of its own,
# with nothing to activate) with the real status-notifier-watcher and a host registered with it
# (desktop_probe.py host), which is what makes Qt show the icon as a StatusNotifierItem.
#
#   desktop_e2e.sh sni PROGRAM       under Xvfb: the item is registered and exports the menu; its layout
#                                    in both languages; Bing, the language and the server switched off and
#                                    on through "clicked" events; Activate changes nothing; Exit writes
#                                    setting.ini and ends with code 0
#   desktop_e2e.sh wayland PROGRAM   under a headless weston with Qt's Wayland platform: it answers, the
#                                    item is registered with its menu, the log and About windows are
#                                    mapped when asked through the menu, Exit ends with code 0
#
# The program listens on port 8888 as it always does; when another program holds that port the run is
# skipped (exit code 77). No sanitizer report may appear on the program's stderr.
set -uo pipefail

mode=${1:?mode}
program=$(realpath "${2:?program}")
SKIP=77
here=$(dirname "$(realpath "$0")")
# shellcheck source=/dev/null
source "$here/../../tools/program_harness.sh"
LIMIT=30  # seconds for any one wait; generous for sanitizer builds
# python3-dbus is installed for the system's interpreter, whatever python3 comes first on the PATH.
PROBE=(/usr/bin/python3 "$here/desktop_probe.py")

# The menu's captions, as the program shows them; the engine and language items are not translated.
declare -A ru=([on]='Включено' [off]='Выключено' [show]='Показать лог' [clear]='Очистить лог' [about]='О программе'
  [exit]='Выход')
declare -A en=([on]='On' [off]='Off' [show]='Show log' [clear]='Clear log' [about]='About' [exit]='Exit')

fail() {
  echo "FAIL: $*" >&2
  if [[ -s ${work:-/nonexistent}/stderr.log ]]; then
    echo "--- program stderr (without Wayland messages):" >&2
    grep -v '^\[' "$work/stderr.log" | tail -n 40 >&2
  fi
  exit 1
}
skip() {
  echo "SKIP: $*"
  exit $SKIP
}

trap harness_cleanup EXIT

for tool in curl python3 openssl dbus-daemon status-notifier-watcher /usr/bin/python3; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps.sh installs it)"
done
/usr/bin/python3 -c 'import dbus' 2>/dev/null || fail "python3-dbus is not installed (scripts/install-deps.sh)"
port_taken && skip "port $PORT is in use by another program"
work=$(mktemp -d)
# shellcheck disable=SC2034  # read by the harness
harness_work=$work
cp "$program" "$work/tessarine-proxy"
start_fake_engines || fail "the fake engines did not start"

# Sanitizer builds: as in program_e2e.sh.
sanitizer_env=(
  "ASAN_OPTIONS=${ASAN_OPTIONS:-}:strict_string_checks=0:fast_unwind_on_malloc=0"
  "LSAN_OPTIONS=${LSAN_OPTIONS:-}:suppressions=$here/lsan_suppressions.txt:print_suppressions=0"
  "SSL_CERT_FILE=$work/certs/ca.pem"
)

# start_program [ENV=VALUE...]: starts the copy; sets $program_pid.
start_program() {
  env "${sanitizer_env[@]}" "$@" "$work/tessarine-proxy" >"$work/stdout.log" 2>"$work/stderr.log" &
  program_pid=$!
  harness_pids+=("$program_pid")
}

no_sanitizer_report() {
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|ThreadSanitizer)|runtime error:' "$work/stderr.log"; then
    fail "sanitizer report"
  fi
}

# start_session_bus: a session bus of this run only; nothing on it can be activated, so nothing starts that
# the run did not start itself.
start_session_bus() {
  cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
  dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/bus.log" 2>&1 &
  harness_pids+=($!)
  wait_until "$LIMIT" test -S "$work/bus" || fail "the session bus did not start"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
}

# start_tray_host: the watcher and a host registered with it.
start_tray_host() {
  status-notifier-watcher >"$work/watcher.log" 2>&1 &
  harness_pids+=($!)
  wait_until "$LIMIT" dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.GetNameOwner string:org.kde.StatusNotifierWatcher ||
    fail "the StatusNotifierWatcher did not start: $(cat "$work/watcher.log")"
  "${PROBE[@]}" host >"$work/host.log" 2>&1 &
  harness_pids+=($!)
  wait_until "$LIMIT" grep -q registered "$work/host.log" || fail "the host did not register: $(cat "$work/host.log")"
}

probe() { "${PROBE[@]}" "$@"; }

# The settings: server on, every engine at its stand-in; LibreTranslate too when $1 is "with-libre".
write_settings() {
  local engine
  printf '[General]\nProxyActive=1\n[Engines]\n'
  for engine in Google Bing Yandex Babylon Promt SYSTRAN; do printf '%s=%s\n' "$engine" "$(engine_host "$engine")"; done
  [[ ${1:-} == with-libre ]] && printf 'LibreTranslate=%s\n' "$(engine_host LibreTranslate)"
}

# expected_layout LANGUAGE ENGINE STATE [with-libre]: the exported menu as it must be; LANGUAGE ru or en,
# ENGINE the checked engine item, STATE on or off (the on/off item's caption once Timer1 has seen the server;
# it names the state the item switches to: "On" while the server runs).
expected_layout() {
  local -n captions=$1
  local engine item toggle caption
  if [[ $3 == on ]]; then caption=${captions[on]}; else caption=${captions[off]}; fi
  echo 'children-display=submenu'
  echo "$caption;;pic;1;1"
  echo "${captions[show]};;pic;1;1"
  echo "${captions[clear]};;pic;1;1"
  echo '---;;;1;1'
  local engines=(Google Bing Yandex Babylon Promt)
  [[ ${4:-} == with-libre ]] && engines+=(LibreTranslate)
  for engine in "${engines[@]}"; do
    toggle=o
    [[ $engine == "$2" ]] && toggle=x
    echo "$engine;$toggle;pic;1;1"
  done
  echo '---;;;1;1'
  for item in Русский English; do
    toggle=o
    [[ ($item == Русский && $1 == ru) || ($item == English && $1 == en) ]] && toggle=x
    echo "$item;$toggle;;1;1"
  done
  echo '---;;;1;1'
  echo "${captions[about]};;;1;1"
  echo "${captions[exit]};;;1;1"
}

layout_is() { [[ $(probe layout 2>&1) == "$1" ]]; }

# wait_for_layout EXPECTED WHAT: polls the exported menu until it is as expected.
wait_for_layout() {
  wait_until "$LIMIT" layout_is "$1" ||
    fail "$2: the exported menu is not as the menu is:"$'\n'"$(diff <(echo "$1") <(probe layout 2>&1))"
  echo "ok: $2: the exported menu is as the menu is"
}

# expect_engine NAME PATH: a translation answered through the fake engine, whose last request went to PATH.
expect_engine() {
  local body last
  body=$(translate 'Hello world' 'en|de') || fail "$1: no answer"
  [[ $body == '<div><div><div><span id=result_box class=short_text><span class=hps>'*'HELLO WORLD'* ]] ||
    fail "$1: not the fake engine's translation: $body"
  # shellcheck disable=SC2154  # set by start_fake_engines
  last=$(curl -s --max-time 10 "http://127.0.0.1:$http_port/_fake/requests" |
    python3 -c 'import json, sys; print(json.load(sys.stdin)[-1]["request_line"])')
  [[ $last == *" $2"* ]] || fail "$1: the last engine request was $last"
  echo "ok: $1 answered: $body"
}

item_registered() { probe item; }
icon_is_not() { [[ $(probe icon) != "$1" ]]; }
port_free() { ! port_taken; }

run_sni() {
  command -v Xvfb >/dev/null || fail "Xvfb is not installed"
  start_session_bus
  start_tray_host
  start_xvfb 1280x800 || fail "Xvfb did not start"
  write_settings with-libre >"$work/setting.ini"
  start_program QT_QPA_PLATFORM=xcb
  wait_until "$LIMIT" port_taken || fail "not listening on $PORT"
  wait_until "$LIMIT" item_registered || fail "no StatusNotifierItem was registered"
  [[ $(probe menu-path) != /NO_DBUSMENU ]] || fail "the item exports no menu"
  echo "ok: the item is registered and exports its menu at $(probe menu-path)"
  # Timer1's first tick sets the on/off item's caption; the SYSTRAN item is hidden and left out.
  wait_for_layout "$(expected_layout ru Google on with-libre)" "Russian"
  expect_engine "Google (saved choice)" /translate_a/t

  local icon before_off
  icon=$(probe icon)
  probe click Bing || fail "clicking Bing"
  wait_until "$LIMIT" icon_is_not "$icon" || fail "the tray picture did not change for Bing"
  echo "ok: the tray picture changed"
  wait_for_layout "$(expected_layout ru Bing on with-libre)" "Bing chosen"
  expect_engine "Bing chosen through the exported menu" /v2/ajax.svc/Translate

  probe click English || fail "clicking English"
  wait_for_layout "$(expected_layout en Bing on with-libre)" "English"

  # A left click on the icon does nothing, as on the XEmbed icon; the default item would switch to Russian.
  probe activate || fail "Activate"
  layout_is "$(expected_layout en Bing on with-libre)" || fail "Activate changed the menu"
  echo "ok: Activate changes nothing"

  before_off=$(probe picture "${en[on]}")
  probe click "${en[on]}" || fail "clicking the on/off item"
  wait_until "$LIMIT" port_free || fail "still listening after switching off"
  wait_for_layout "$(expected_layout en Bing off with-libre)" "server off"
  [[ $(probe picture "${en[off]}") != "$before_off" ]] || fail "the on/off item kept its picture"
  probe click "${en[off]}" || fail "clicking the on/off item again"
  wait_until "$LIMIT" port_taken || fail "not listening after switching on again"
  wait_for_layout "$(expected_layout en Bing on with-libre)" "server on again"
  expect_engine "Bing after off and on" /v2/ajax.svc/Translate

  probe click "${en[exit]}" || fail "clicking Exit"
  wait_for_exit "$LIMIT"
  no_sanitizer_report
  local expected
  expected=$(
    printf '[General]\nProxyActive=1\nGoogle=0\nBing=1\nYandex=0\nBabylon=0\nPromt=0\nLibreTranslate=0\n'
    write_settings with-libre | tail -n +3
    printf '[Setting]\nLanguage=English\n'
  )
  [[ $(cat "$work/setting.ini") == "$expected" ]] || fail "setting.ini after Exit:"$'\n'"$(cat "$work/setting.ini")"
  echo "ok: Exit through the exported menu wrote setting.ini and ended with code 0"
}

run_wayland() {
  command -v weston >/dev/null || fail "weston is not installed"
  start_session_bus
  start_tray_host
  # The compositor's socket lives in a runtime folder of this run.
  export XDG_RUNTIME_DIR=$work/runtime
  mkdir -m 700 "$XDG_RUNTIME_DIR"
  weston --no-config --backend=headless-backend.so --socket=tessarine-test --idle-time=0 \
    --log="$work/weston.log" >/dev/null 2>&1 &
  harness_pids+=($!)
  wait_until "$LIMIT" test -S "$XDG_RUNTIME_DIR/tessarine-test" || fail "weston did not start: $(cat "$work/weston.log")"

  write_settings >"$work/setting.ini"
  # The Wayland protocol log shows what the compositor did with the program's windows.
  unset DISPLAY
  start_program QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=tessarine-test WAYLAND_DEBUG=1
  wait_until "$LIMIT" port_taken || fail "not listening on $PORT"
  expect_engine "Google under Wayland" /translate_a/t
  wait_until "$LIMIT" item_registered || fail "no StatusNotifierItem was registered"
  wait_for_layout "$(expected_layout ru Google on)" "Wayland"

  probe mapped "$work/stderr.log" 'Tessarine Proxy' && fail "the log window was mapped before it was asked for"
  probe click "${ru[show]}" || fail "clicking the show-log item"
  wait_until "$LIMIT" probe mapped "$work/stderr.log" 'Tessarine Proxy' || fail "the log window was not mapped"
  echo "ok: the log window was mapped"
  probe click "${ru[about]}" || fail "clicking the About item"
  wait_until "$LIMIT" probe mapped "$work/stderr.log" 'О программе' || fail "the About window was not mapped"
  echo "ok: the About window was mapped"

  probe click "${ru[exit]}" || fail "clicking Exit"
  wait_for_exit "$LIMIT"
  no_sanitizer_report
  grep -q '^Language=Русский$' "$work/setting.ini" || fail "setting.ini after Exit:"$'\n'"$(cat "$work/setting.ini")"
  echo "ok: Exit under Wayland wrote setting.ini and ended with code 0"
}

case $mode in
  sni) run_sni ;;
  wayland) run_wayland ;;
  *) fail "unknown mode $mode" ;;
esac
