#!/usr/bin/env bash
# Builds the Debian package: a release build in build-deb/, then cpack -G DEB there; lintian checks the
# package. Prints the package's path. Install it with: sudo apt install ./build-deb/tessarine-proxy_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build-deb -DCMAKE_BUILD_TYPE=Release -DTESSARINE_TESTS=OFF
rm -f build-deb/tessarine-proxy_*.deb
(cd build-deb && cpack -G DEB >/dev/null)
package=$(ls build-deb/tessarine-proxy_*.deb)
# lintian warns when run as root; its verdict is what counts.
lintian --fail-on error,warning "$package" 2> >(grep -v 'running with root privileges' >&2)
echo "$package"
