#!/usr/bin/env bash
# Formats every tracked C++ file with the committed .clang-format, or with --check only reports
# the files that differ from it (exit code 1 when any does).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c' '*.hpp' | while read -r f; do [ -f "$f" ] && echo "$f"; done)
if [ "${1:-}" = --check ]; then
  clang-format --dry-run -Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
