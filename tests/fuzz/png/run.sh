#!/usr/bin/env bash
# Fuzzes the PNG decoder under ASan/UBSan. Usage: run.sh [seconds] (default 300).
# Needs the fuzz build: BUILD_DIR=... scripts/build.sh fuzz
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../../.." && pwd)
build=${BUILD_DIR:-$top/build}
seconds=${1:-300}
work=$(mktemp -d)
cp "$here"/corpus/* "$work"/
exec nice "$build/fuzz/tests/fuzz/png/fuzz_png_dib" -max_total_time="$seconds" -max_len=4096 \
  -rss_limit_mb=2048 -print_final_stats=1 "$work"
