#!/usr/bin/env bash
# Installs what the build, the program and the tests need, and nothing when all is present.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  zlib1g-dev libssl-dev libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-svg-dev
  python3 openssl curl clang clang-format iproute2
  xvfb xauth trayer xdotool x11-utils
  desktop-file-utils appstream lintian dpkg-dev
  librsvg2-bin imagemagick openbox x11-xserver-utils
  dbus haskell-status-notifier-item-utils python3-dbus weston qt6-wayland
  apertium-apy apertium-eng-spa
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
