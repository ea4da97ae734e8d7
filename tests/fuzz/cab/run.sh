#!/usr/bin/env bash
# Fuzzes the cabinet writer's round trip (writer -> libmspack) under ASan/UBSan.
# Usage: run.sh [seconds] (default 600). Needs the fuzz build: BUILD_DIR=... scripts/build.sh fuzz
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../../.." && pwd)
build=${BUILD_DIR:-$top/build}
seconds=${1:-600}
work=$(mktemp -d)
cp "$here"/corpus/* "$work"/
exec nice "$build/fuzz/tests/fuzz/cab/fuzz_cab_writer" -max_total_time="$seconds" -max_len=4096 \
  -rss_limit_mb=2560 -timeout=60 -print_final_stats=1 -artifact_prefix="$work/" "$work"
