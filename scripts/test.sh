#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds and runs every test: a plain build, then the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer, then the Windows
# build of the layers below the shells (mingw-w64) with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/check-format.sh

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
jobs=$(nproc)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

run_ctest() {  # run_ctest NAME DIR [ctest args...]
  local name=$1 dir=$2
  shift 2
  echo "== $name tests"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300 -LE 'fuzz|bench' "$@") | tee "$logs/$name.log"
}

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_ctest plain build

bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DTESSARINE_SANITIZE=address,undefined
run_ctest asan build-asan

bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARINE_SANITIZE=thread -DTESSARINE_UI=OFF
run_ctest tsan build-tsan -L threaded

bash scripts/build-windows.sh
run_ctest windows build-win

passed=0
failed=0
for f in "$logs"/*.log; do
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$f" | tail -1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done
echo "all: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
