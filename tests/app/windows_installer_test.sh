#!/usr/bin/env bash
# The Windows installer under Wine: it installs silently (/S) into Program Files with its Start menu entry and
# uninstall entry, the installed program serves a translation, and the uninstaller removes program, entry and
# shortcut while leaving the user's settings.
#   windows_installer_test.sh SETUP.exe STATE_DIR
# STATE_DIR holds a Wine prefix of its own, made afresh each run (the test installs into it). Skipped (77) when
# port 8888 is taken or a tool is missing.
set -uo pipefail

setup=$(realpath "${1:?setup}")
state=$(mkdir -p "${2:?state dir}" && cd "$2" && pwd)
SKIP=77
# shellcheck source=/dev/null
source "$(dirname "$(realpath "$0")")/../../tools/program_harness.sh"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
for tool in curl python3 openssl wine wineserver; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit $SKIP; }
done
port_taken && { echo "SKIP: port $PORT is in use by another program"; exit $SKIP; }

unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d)
# shellcheck disable=SC2034  # read by the harness
harness_work=$work
cleanup() {
  wineserver -k 2>/dev/null
  harness_cleanup
}
trap cleanup EXIT
wine_prefix "$state" fresh null-display

folder="$WINEPREFIX/drive_c/Program Files/Tessarine Proxy"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tessarine Proxy.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessarine Proxy'

wine "$setup" /S </dev/null >/dev/null 2>&1 || fail "the installer failed"
wineserver -w
[[ -f $folder/tessarine-proxy.exe && -f $folder/uninstall.exe ]] || fail "not installed: $(ls "$folder" 2>&1)"
[[ -f $shortcut ]] || fail "no Start menu entry"
wine reg query "$uninstall_key" /v DisplayName </dev/null 2>/dev/null | grep -q 'Tessarine Proxy' || fail "no uninstall entry"
echo "ok: installed silently, with its Start menu and uninstall entries"

start_fake_engines || fail "the fake engines did not start"
settings_file >"$folder/setting.ini"
wine "$folder/tessarine-proxy.exe" </dev/null >"$work/stdout.log" 2>&1 &
harness_pids+=($!)
wait_until 60 port_taken || fail "the installed program does not listen on $PORT"
[[ $(translate 'Hello world' 'en|de') == *'de: HELLO WORLD'* ]] || fail "no translation: $(translate 'Hello world' 'en|de')"
echo "ok: the installed program serves"
wineserver -k
wait_until 30 eval '! port_taken' || fail "the program did not end"

wine "$folder/uninstall.exe" /S "_?=C:\\Program Files\\Tessarine Proxy" </dev/null >/dev/null 2>&1 || fail "the uninstaller failed"
wineserver -w
[[ ! -e $folder/tessarine-proxy.exe && ! -e $shortcut ]] || fail "the uninstaller left the program: $(ls "$folder" 2>&1)"
! wine reg query "$uninstall_key" </dev/null >/dev/null 2>&1 || fail "the uninstall entry is still there"
[[ -f $folder/setting.ini ]] || fail "the uninstaller took the user's settings"
echo "ok: uninstalled, the settings kept"
