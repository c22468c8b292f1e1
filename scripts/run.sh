#!/usr/bin/env bash
# Installs what is missing, builds the program alone into build/ (not the tests: scripts/test.sh builds
# those) and starts it, build/tessarine-proxy, with --log: each request and answer shows in the terminal,
# which is all there is to see without a display. Says what it is doing at each step.
set -euo pipefail
cd "$(dirname "$0")/.."
program=build/tessarine-proxy
settings=build/setting.ini
step() { echo "== $*"; }

step "Checking the packages the build needs (scripts/install-deps.sh; apt-get only when one is missing)"
bash scripts/install-deps.sh
step "Configuring build/ (cmake)"
cmake -S . -B build -G Ninja >/dev/null
step "Building $program only, without the tests; the first build takes a few minutes"
cmake --build build --target tessarine-proxy -j "$(nproc)"

if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} && -z ${QT_QPA_PLATFORM:-} ]]; then
  export QT_QPA_PLATFORM=offscreen
  echo "No display: Tessarine Proxy runs offscreen, without its window and tray icon."
  # Without a menu nobody can switch the server on, so a first offscreen run starts with it on.
  if [[ ! -e $settings ]]; then
    printf '[General]\nProxyActive=1\n' >"$settings"
    echo "Created $settings with ProxyActive=1."
  fi
  if grep -qiE '^[[:space:]]*ProxyActive[[:space:]]*=[[:space:]]*1[[:space:]]*$' "$settings"; then
    echo "Serving http://127.0.0.1:8888/linxp_translate_t?text=...&langpair=en|de. Stop it with Ctrl+C."
    echo "Try it from another terminal: curl -G http://127.0.0.1:8888/linxp_translate_t" \
      "--data-urlencode 'text=Hello world' --data-urlencode 'langpair=en|de'"
  else
    echo "The server is off: set ProxyActive=1 in $settings to have it serve on port 8888."
  fi
else
  echo "The proxy lives in the tray: right-click its icon for the menu (in Russian at first; the item"
  echo "\"English\" switches the menu to English). Exit in the menu saves the settings."
fi
step "Starting $program --log (the log lines, each request and answer among them, show below)"
exec "$program" --log
