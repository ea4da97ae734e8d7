#!/usr/bin/env bash
# Fuzzes the LZX encoder round trip (libmspack decodes) under ASan/UBSan. Usage: run.sh [seconds]
# (default 600). Needs the fuzz build: BUILD_DIR=... scripts/build.sh fuzz
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../../.." && pwd)
build=${BUILD_DIR:-$top/build}
seconds=${1:-600}
work=$(mktemp -d)
cp "$here"/corpus/* "$work"/
exec nice "$build/fuzz/tests/fuzz/lzx/fuzz_lzx_roundtrip" -max_total_time="$seconds" -max_len=70000 \
  -rss_limit_mb=2048 -print_final_stats=1 "$work"
