#!/usr/bin/env bash
# The installed program and its Debian package.
#
#   package_test.sh installed BUILD_DIR   cmake --install into a scratch prefix: the desktop entry and the
#                                         AppStream file validate, the icons have their sizes, the manual
#                                         page names every option, the screenshots it names exist;
#                                         --help, --version and a wrong command line need no display
#   package_test.sh deb BUILD_DIR         cpack -G DEB: lintian finds no error, the dependencies come from
#                                         the binary; unpacked into a scratch root and run from its
#                                         read-only /usr/bin: with no setting.ini, Exit (tray menu, under
#                                         Xvfb) writes ~/.config/tessarine-proxy/setting.ini and nothing
#                                         else; then offscreen with --log it translates through the fake
#                                         engine and SIGTERM leaves the file alone
#
# Exit code 77 (skipped) only when a tool is missing or another program holds port 8888.
set -uo pipefail

mode=${1:?mode}
build=$(realpath "${2:?build folder}")
# shellcheck source=/dev/null
source "$(dirname "$(realpath "$0")")/../../tools/program_harness.sh"
# shellcheck disable=SC2154
root_dir=$harness_root
SKIP=77
LIMIT=30

fail() {
  echo "FAIL: $*" >&2
  local f
  for f in "$harness_work"/stdout.log "$harness_work"/stderr.log; do
    [[ -s $f ]] && { echo "--- $(basename "$f"):" >&2; tail -n 30 "$f" >&2; }
  done
  exit 1
}
skip() {
  echo "SKIP: $*"
  exit $SKIP
}
need() { command -v "$1" >/dev/null || skip "$1 is not installed"; }

harness_work=$(mktemp -d)
cleanup() {
  harness_stop_all
  chmod -R u+w "$harness_work" 2>/dev/null
  rm -rf "$harness_work"
}
trap cleanup EXIT

# png_size FILE: "WIDTHxHEIGHT" from the PNG header.
png_size() {
  python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); assert d[:8]==b"\x89PNG\r\n\x1a\n"; print("%dx%d" % struct.unpack(">II", d[16:24]))' "$1"
}

run_installed() {
  need desktop-file-validate
  need appstreamcli
  need python3
  local prefix=$harness_work/usr share size option
  cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"
  share=$prefix/share
  [[ -x $prefix/bin/tessarine-proxy ]] || fail "no bin/tessarine-proxy"
  desktop-file-validate "$share/applications/tessarine-proxy.desktop" || fail "desktop-file-validate"
  grep -qx 'StartupNotify=false' "$share/applications/tessarine-proxy.desktop" || fail "StartupNotify is not false"
  grep -q '^Categories=.*Network;' "$share/applications/tessarine-proxy.desktop" || fail "not in the Network category"
  for key in Name GenericName Comment; do
    grep -q "^$key\[ru\]=" "$share/applications/tessarine-proxy.desktop" || fail "no Russian $key"
  done
  appstreamcli validate --no-net "$share/metainfo/tessarine-proxy.metainfo.xml" || fail "appstreamcli validate"
  echo "ok: the desktop entry and the AppStream file validate"

  [[ -s $share/icons/hicolor/scalable/apps/tessarine-proxy.svg ]] || fail "no scalable icon"
  for size in 16 22 24 32 48 64 128 256; do
    [[ $(png_size "$share/icons/hicolor/${size}x$size/apps/tessarine-proxy.png") == "${size}x$size" ]] ||
      fail "the ${size}x$size icon has another size"
  done
  echo "ok: the icons"

  local manual
  manual=$(gzip -dc "$share/man/man1/tessarine-proxy.1.gz") || fail "the manual page is not gzip"
  [[ $manual == .TH\ TESSARINE-PROXY\ 1* ]] || fail "the manual page has no title line"
  # Every option of --help is in the manual (the manual writes "-" as "\-").
  for option in $("$prefix/bin/tessarine-proxy" --help | grep -oE '^  (-[a-z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+'); do
    grep -qF -- "${option//-/\\-}" <<<"$manual" || fail "the manual page lacks $option"
  done
  echo "ok: the manual page names every option"

  # The command line is answered before anything starts: no display is needed and nothing is written.
  local bare=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/tessarine-proxy")
  [[ $("${bare[@]}" --help) == Usage:\ tessarine-proxy* ]] || fail "--help without a display"
  [[ $("${bare[@]}" --version) == "tessarine-proxy "[0-9]* ]] || fail "--version without a display"
  local args code
  for args in "--bogus" "--settings" "--log extra"; do
    # shellcheck disable=SC2086
    "${bare[@]}" $args >"$harness_work/out" 2>"$harness_work/err"
    code=$?
    [[ $code -eq 2 ]] || fail "'$args' exits with $code"
    [[ ! -s $harness_work/out ]] || fail "'$args' printed on standard output"
    grep -q '^Usage: tessarine-proxy' "$harness_work/err" || fail "'$args' printed no usage"
  done
  [[ -z $(find "$prefix" -name setting.ini) ]] || fail "a settings file was written"
  echo "ok: --help, --version and wrong command lines need no display and start nothing"

  # The screenshots the AppStream file names are in the repository.
  local names name
  names=$(grep -oE '/[a-z-]+\.png</image>' "$share/metainfo/tessarine-proxy.metainfo.xml" | sed 's|^/||; s|</image>$||')
  [[ -n $names ]] || fail "the AppStream file names no screenshot"
  for name in $names; do
    [[ -s $root_dir/docs/screenshots/$name ]] || fail "docs/screenshots/$name is missing"
  done
  echo "ok: the screenshots named in the AppStream file exist"
}

# As another user than root when run as root, since root may write into any folder.
as_user=()
prepare_user() {
  if [[ $(id -u) -eq 0 ]]; then
    need setpriv
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
    chmod 755 "$harness_work"
    chown 65534:65534 "$harness_work/home" "$harness_work/config" "$harness_work/cwd"
  else
    chmod a-w "$scratch/usr/bin"
  fi
}

# start_installed [ENV=VALUE...] -- [ARGS...]: the installed program in the scratch root, from $harness_work/cwd.
start_installed() {
  local envs=()
  while [[ $1 != -- ]]; do
    envs+=("$1")
    shift
  done
  shift
  (cd "$harness_work/cwd" && exec env HOME="$harness_work/home" XDG_CONFIG_HOME="$harness_work/config" "${envs[@]}" \
    "${as_user[@]}" "$scratch/usr/bin/tessarine-proxy" "$@" >"$harness_work/stdout.log" 2>"$harness_work/stderr.log") &
  program_pid=$!
  harness_pids+=("$program_pid")
}

# Every setting.ini in the scratch root, the home, the working folder and the configuration folder.
settings_files() { find "$scratch" "$harness_work/home" "$harness_work/cwd" "$harness_work/config" -name setting.ini | sort; }

run_deb() {
  local tool
  for tool in cpack dpkg-deb dpkg-shlibdeps curl python3 openssl Xvfb trayer xdotool xwininfo; do need "$tool"; done
  port_taken && skip "port $PORT is in use by another program"

  (cd "$build" && cpack -G DEB -B "$harness_work/package" >"$harness_work/cpack.log" 2>&1) ||
    fail "cpack: $(tail -n 20 "$harness_work/cpack.log")"
  local deb
  deb=$(ls "$harness_work"/package/tessarine-proxy_*.deb) || fail "no package"
  if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" 2>/dev/null || fail "lintian found errors"
    echo "ok: lintian finds no error"
  else
    echo "note: lintian is not installed; the package was not linted"
  fi
  dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends lacks the Qt libraries: $(dpkg-deb -f "$deb" Depends)"
  echo "ok: the dependencies come from the binary: $(dpkg-deb -f "$deb" Depends)"
  dpkg-deb -f "$deb" Recommends | grep -qw 'qt6-wayland' ||
    fail "Recommends lacks Qt's Wayland platform: $(dpkg-deb -f "$deb" Recommends)"

  scratch=$harness_work/root
  dpkg -x "$deb" "$scratch" || fail "dpkg -x"
  mkdir -p "$harness_work/home" "$harness_work/config" "$harness_work/cwd"
  prepare_user
  local expected_file=$harness_work/config/tessarine-proxy/setting.ini

  # First start with no settings anywhere: the defaults (server off, Google, Russian); Exit writes them.
  start_xvfb || fail "Xvfb did not start"
  start_trayer
  start_installed QT_QPA_PLATFORM=xcb --
  wait_until "$LIMIT" icon_window || fail "the icon was not docked in the tray"
  [[ $(head -n 1 "$harness_work/stdout.log") == "Settings file: $expected_file" ]] ||
    fail "start-up named another settings file: $(head -n 1 "$harness_work/stdout.log")"
  [[ ! -e $harness_work/config/tessarine-proxy ]] || fail "the settings folder was made before Exit"
  open_menu || fail "the menu did not open"
  xdotool key Up Return  # Up from the opened menu wraps to the last item, Exit
  wait_for_exit "$LIMIT"
  [[ $(settings_files) == "$expected_file" ]] || fail "settings written elsewhere: $(settings_files)"
  [[ $(cat "$expected_file") == $'[General]\nProxyActive=0\nGoogle=1\nBing=0\nYandex=0\nBabylon=0\nPromt=0\n[Setting]\nLanguage=Русский' ]] ||
    fail "setting.ini after Exit:"$'\n'"$(cat "$expected_file")"
  [[ $(stat -c %a "$harness_work/config/tessarine-proxy") == 700 ]] || fail "the settings folder is not the user's alone"
  echo "ok: Exit wrote ~/.config/tessarine-proxy/setting.ini and no other settings file"

  # Then offscreen with the server on, the engines at the stand-ins and the log on stderr.
  start_fake_engines || fail "the fake engine did not start"
  settings_file >"$expected_file"
  cp "$expected_file" "$harness_work/setting.before"
  start_installed QT_QPA_PLATFORM=offscreen "SSL_CERT_FILE=$harness_work/certs/ca.pem" -- --log
  wait_until "$LIMIT" port_taken || fail "not listening on $PORT"
  local answer
  answer=$(translate "Hello world" "en|ru") || fail "no answer"
  [[ $answer == '<div><div><div><span id=result_box class=short_text><span class=hps>ru: HELLO WORLD</span></span></div></div><div>' ]] ||
    fail "not the fake engine's translation: $answer"
  echo "ok: the installed program translates through the fake engine"
  wait_until "$LIMIT" grep -qx 'ru: HELLO WORLD' "$harness_work/stderr.log" || fail "--log wrote no result line"
  grep -qx 'Google' "$harness_work/stderr.log" || fail "--log wrote no engine line"
  kill -s TERM "$program_pid"
  wait_for_exit "$LIMIT"
  cmp -s "$harness_work/setting.before" "$expected_file" || fail "SIGTERM changed setting.ini"
  [[ $(settings_files) == "$expected_file" ]] || fail "settings written elsewhere: $(settings_files)"
  echo "ok: --log shows the request's lines on stderr; SIGTERM leaves the settings alone"
}

case $mode in
  installed) run_installed ;;
  deb) run_deb ;;
  *) fail "unknown mode $mode" ;;
esac
