#!/usr/bin/env bash
# Checks that every C and C++ file in the tree is laid out as .clang-format says; with --fix,
# lays them out so. Exit status 1 lists the files that differ.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cc' '*.h' '*.c')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
status=0
for file in "${files[@]}"; do
  if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then
    echo "not formatted: $file (tools/check-format.sh --fix)"
    status=1
  fi
done
exit $status
