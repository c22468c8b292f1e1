#!/usr/bin/env bash
# Fails, naming the files, when a tracked C++ file is not as clang-format (.clang-format) would write it.
set -euo pipefail
cd "$(dirname "$0")/.."
bad=()
while IFS= read -r -d '' f; do
  clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done < <(git ls-files -z -- '*.cpp' '*.h')
if ((${#bad[@]})); then
  echo "Not clang-formatted (run: clang-format -i FILE):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "clang-format: every C++ file is formatted"
