#!/usr/bin/env bash
# scripts/demo.sh with the built program, offscreen: it must end by itself with a translation from each
# engine of the tray menu. Skipped (77) when another program holds port 8888.
set -uo pipefail
program=$(realpath "${1:?program}")
root=$(realpath "$(dirname "$(realpath "$0")")/../..")
if (exec 3<>/dev/tcp/127.0.0.1/8888) 2>/dev/null; then
  echo "SKIP: port 8888 is in use by another program"
  exit 77
fi
output=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen timeout 120 bash "$root/scripts/demo.sh" "$program" 2>&1)
code=$?
echo "$output"
[[ $code -eq 0 ]] || { echo "FAIL: demo.sh ended with $code"; exit 1; }
for engine in Google Bing Yandex Babylon Promt; do
  # The engine's section holds its answer with the stand-in's translation.
  sed -n "/^== $engine\$/,/^log:/p" <<<"$output" | grep -q '^answer: .*HELLO WORLD</span>' ||
    { echo "FAIL: no translation printed for $engine"; exit 1; }
done
# Babylon's answer carries its language number; the demo says why.
sed -n '/^== Babylon$/,/^log:/p' <<<"$output" | grep -q 'ru as 7' || { echo "FAIL: Babylon's \"7:\" is not explained"; exit 1; }
echo "ok: the demo printed a translation for each engine"
