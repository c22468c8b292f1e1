#!/usr/bin/env bash
# Makes the Windows program's icon resources: one .ico per picture of the image list (16 and 32 pixels, named as in
# the list, upper case being how resource names are kept) and MAINICON from the packaging icons, and the resource
# script naming them:  win_icons.sh OUT_DIR IMAGES_DIR PACKAGING_ICONS_DIR
set -euo pipefail
out=$1 images=$2 packaging=$3
mkdir -p "$out"
rc=$out/icons.rc.new
echo "MAINICON ICON \"$out/main.ico\"" >"$rc"
convert "$packaging/16.png" "$packaging/32.png" "$packaging/48.png" "$packaging/256.png" "$out/main.ico"
for svg in "$images"/*.svg; do
  name=$(basename "$svg" .svg)
  [ "$name" = about_emblem ] && continue
  for size in 16 32; do
    rsvg-convert --width "$size" --height "$size" --keep-aspect-ratio "$svg" -o "$out/$name-$size.png"
  done
  convert "$out/$name-16.png" "$out/$name-32.png" "$out/$name.ico"
  rm -f "$out/$name-16.png" "$out/$name-32.png"
  echo "${name^^} ICON \"$out/$name.ico\"" >>"$rc"
done
mv "$rc" "$out/icons.rc"
