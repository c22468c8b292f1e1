#!/usr/bin/env bash
# Takes the screenshots in docs/screenshots/: the real program under Xvfb with a window manager (openbox) and
# a tray host (trayer), its engines stood in for by tools/fake_engine.py. In English and in Russian: the tray
# menu, and the log window after a few translations; and the About window (always Russian).
#
#   scripts/screenshots.sh [PROGRAM]    PROGRAM defaults to build/tessarine-proxy (built when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/program_harness.sh

program=${1:-build/tessarine-proxy}
if [[ ! -x $program ]]; then
  bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
program=$(realpath "$program")
out=docs/screenshots
for tool in Xvfb openbox trayer xdotool xwininfo xprop xsetroot import curl python3 openssl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh" >&2; exit 1; }
done
if port_taken; then
  echo "Port $PORT is in use by another program; stop it first." >&2
  exit 1
fi

harness_work=$(mktemp -d)
trap 'harness_stop_all; rm -rf "$harness_work"' EXIT
mkdir -p "$out"
SCREEN_W=1024
SCREEN_H=640
MARGIN=12

start_fake_engines
start_xvfb "${SCREEN_W}x$SCREEN_H"
start_openbox
xsetroot -solid '#5a7a94'
# The panel reserves its strip, so the log window sits on it as on a desktop with a bottom panel.
start_trayer --SetDockType true --SetPartialStrut true --tint 0x2b3a45 --transparent true --alpha 0

# shot FILE BOX...: the part of the screen that holds every box, with a margin, as a PNG.
shot() {
  local file=$1 x0=$SCREEN_W y0=$SCREEN_H x1=0 y1=0 x y w h
  shift
  for b in "$@"; do
    read -r x y w h <<<"$b"
    ((x < x0)) && x0=$x
    ((y < y0)) && y0=$y
    ((x + w > x1)) && x1=$((x + w))
    ((y + h > y1)) && y1=$((y + h))
  done
  x0=$((x0 > MARGIN ? x0 - MARGIN : 0))
  y0=$((y0 > MARGIN ? y0 - MARGIN : 0))
  x1=$((x1 + MARGIN < SCREEN_W ? x1 + MARGIN : SCREEN_W))
  y1=$((y1 + MARGIN < SCREEN_H ? y1 + MARGIN : SCREEN_H))
  sleep 0.5  # the last paint
  import -window root -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage -strip "$file"
  echo "saved $file"
}

# The program's popup menu: its visible window that is neither the icon nor one of the two titled windows.
menu_window() {
  local id icon
  icon=$(icon_window)
  for id in $(xdotool search --onlyvisible --classname tessarine-proxy 2>/dev/null); do
    [[ $((id)) -eq $((icon)) ]] && continue
    case $(xdotool getwindowname "$id" 2>/dev/null) in
      'Tessarine Proxy' | 'О программе') ;;
      *) echo "$id" && return 0 ;;
    esac
  done
  return 1
}

# take LANGUAGE SUFFIX: one run of the program in that interface language.
take() {
  local language=$1 suffix=$2 pid text
  settings_file "Language=$language" >"$harness_work/setting.ini"
  SSL_CERT_FILE="$harness_work/certs/ca.pem" QT_QPA_PLATFORM=xcb "$program" --settings "$harness_work/setting.ini" \
    >"$harness_work/stdout.log" 2>"$harness_work/stderr.log" &
  pid=$!
  harness_pids+=("$pid")
  wait_until 30 icon_window
  wait_until 30 port_taken
  for text in "Open file" "Save changes" "Hello world"; do translate "$text" "en|ru" >/dev/null; done
  sleep 1.2  # one tick of the timer, so the on/off item shows the running server

  open_menu
  wait_until 10 menu_window
  shot "$out/tray-menu-$suffix.png" "$(window_box "$(menu_window)")" "$(window_box "$(icon_window)")"
  xdotool key Escape
  sleep 0.5

  open_menu
  xdotool key Down Down Return  # the show-log item
  wait_until 10 titled_window 'Tessarine Proxy'
  shot "$out/log-window-$suffix.png" "$(window_box "$(titled_window 'Tessarine Proxy')")"

  if [[ $suffix == ru ]]; then
    open_menu
    xdotool key Up Up Return  # About, just above Exit
    wait_until 10 titled_window 'О программе'
    shot "$out/about.png" "$(window_box "$(titled_window 'О программе')")"
  fi

  kill "$pid"
  wait "$pid" || true
  harness_forget "$pid"
}

take English en
take Русский ru
