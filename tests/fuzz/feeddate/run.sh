#!/usr/bin/env bash
# Fuzzes the feed-date matcher under ASan/UBSan. Usage: run.sh [seconds] (default 300).
# Needs the fuzz build: BUILD_DIR=... scripts/build.sh fuzz
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../../.." && pwd)
build=${BUILD_DIR:-$top/build}
seconds=${1:-300}
work=$(mktemp -d)
cp "$here"/corpus/* "$work"/
exec nice "$build/fuzz/tests/fuzz/feeddate/fuzz_date_match" -max_total_time="$seconds" -max_len=512 \
  -rss_limit_mb=2048 -print_final_stats=1 "$work"
