#!/usr/bin/env bash
# Installs what is missing, builds into build/ and starts the program, build/tessarine-proxy.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
program=build/tessarine-proxy
settings=build/setting.ini

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
  else
    echo "The server is off: set ProxyActive=1 in $settings to have it serve on port 8888."
  fi
fi
exec "$program"
