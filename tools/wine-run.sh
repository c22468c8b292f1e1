#!/usr/bin/env bash
# Runs a Windows program under Wine in the private prefix of one build folder:
#   wine-run.sh STATE_DIR PROGRAM.exe [arguments...]
# The prefix is made on first use (once, however many tests start at the same time). A persistent
# wineserver and Wine's helper processes are started detached from the caller's output first: started by
# the first test, they would keep its output open and CTest would wait for them.
#   wine-run.sh STATE_DIR --stop    ends the prefix's wineserver and everything it runs.
# The program's standard input is empty; its standard output and error arrive together when it has ended.
set -euo pipefail
state=$(mkdir -p "$1" && cd "$1" && pwd)
shift
export WINEPREFIX=$state/prefix HOME=$state/home WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME"

if [ "${1:-}" = --stop ]; then
  [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null || true
  exit 0
fi

(
  flock 9
  if [ ! -f "$WINEPREFIX/.tessarine-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1 9>&-
    wineserver -w
    # Without a display the tests still create windows (the log text, the forms): Wine's null graphics driver draws
    # them into memory.
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 9>&-
    wineserver -w
    # Test certificates made for this prefix are trusted through its own Root store (see the tests).
    touch "$WINEPREFIX/.tessarine-ready"
  fi
  # Persists two minutes after the last program, so the runs of one ctest share it. Neither it nor the helpers
  # may inherit the lock.
  wineserver -p120 </dev/null >/dev/null 2>&1 9>&- || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$state/lock"

# The program writes into a file, not into the caller's pipe: a helper process that Wine starts on the way
# inherits the program's output and outlives it, and the caller would wait for it. Text-mode output of the C
# runtime ends lines with CR LF; the readers of the output (CTest, the test discovery) expect LF.
output=$(mktemp "$state/output.XXXXXX")
trap 'rm -f "$output"' EXIT
set +e
wine "$@" </dev/null >"$output" 2>&1
status=$?
tr -d '\r' <"$output"
exit "$status"
