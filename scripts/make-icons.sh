#!/usr/bin/env bash
# Renders the program's icon (the About emblem) into the PNG sizes desktop environments ask for, under
# packaging/icons/; run it after changing the emblem and commit the result.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v rsvg-convert >/dev/null || { echo "rsvg-convert is missing: apt-get install librsvg2-bin" >&2; exit 1; }
svg=src/ui/resources/images/about_emblem.svg
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" --keep-aspect-ratio "$svg" -o "packaging/icons/$size.png"
done
