#!/usr/bin/env bash
# Cross-builds the Windows libraries and their tests into build-win/ with mingw-w64; the tests run under Wine
# (cd build-win && ctest). Installs what is missing (apt-get). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=build-win

packages=(
  cmake ninja-build g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64
  libgtest-dev libgmock-dev dpkg-dev tcl openssl python3 librsvg2-bin imagemagick nsis zip
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# SQLite has no build for the cross compiler in the distribution: its amalgamation is made from the
# distribution's source package, fetched with a source list of our own (the system's sources as deb-src),
# so the system's apt configuration stays as it is. Made once per build folder, never committed.
sqlite=$root/$dir/sqlite
if [ ! -f "$sqlite/amalgamation/sqlite3.c" ]; then
  echo "Making the SQLite amalgamation from the source package"
  rm -rf "$sqlite"
  mkdir -p "$sqlite/apt/parts" "$sqlite/apt/lists/partial" "$sqlite/download" "$sqlite/amalgamation"
  : >"$sqlite/apt/empty.list"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && sed -E 's/^Types:.*/Types: deb-src/' "$f" >"$sqlite/apt/parts/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] && sed -nE 's/^deb[[:space:]]/deb-src /p' "$f" >>"$sqlite/apt/parts/system.list"
  done
  apt_opts=(-o "Dir::Etc::sourcelist=$sqlite/apt/empty.list" -o "Dir::Etc::sourceparts=$sqlite/apt/parts"
            -o "Dir::State::Lists=$sqlite/apt/lists" -o Debug::NoLocking=1 -o APT::Sandbox::User=root -qq)
  apt-get "${apt_opts[@]}" update
  (cd "$sqlite/download" && apt-get "${apt_opts[@]}" source --download-only sqlite3)
  (cd "$sqlite/download" && dpkg-source -x ./*.dsc src >/dev/null)
  (cd "$sqlite/download/src" && ./configure --disable-tcl >/dev/null && make sqlite3.c >/dev/null)
  cp "$sqlite/download/src/sqlite3.c" "$sqlite/download/src/sqlite3.h" "$sqlite/amalgamation/"
  rm -rf "$sqlite/download"
fi

launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$dir" -G Ninja "${launcher[@]}" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARINE_UI=OFF -DTESSARINE_SQLITE_DIR="$sqlite/amalgamation" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
