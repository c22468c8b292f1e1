#!/usr/bin/env bash
# Installs what is missing, builds into build/ and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
program=build/src/app/tessarine-proxy
if [ ! -x "$program" ]; then
  echo "The tray program is not built yet: the libraries and their tests are in build/."
  exit 0
fi
cd "$(dirname "$program")"
exec ./tessarine-proxy
