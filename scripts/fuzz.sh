#!/usr/bin/env bash
# Runs one libFuzzer target of the fuzz build under ASan/UBSan, starting from a copy of its seed
# corpus in tests/fuzz/<name>/corpus.
# Usage: fuzz.sh <cab|lzx|feeddate|png|htmltext|download> [seconds]
# Needs the fuzz build first: scripts/build.sh fuzz (BUILD_DIR as for the other scripts).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
name=${1:?usage: fuzz.sh <cab|lzx|feeddate|png|htmltext|download> [seconds]}
case $name in
  cab)      target=fuzz_cab_writer;     max_len=4096;  rss=2560; seconds=600; extra=(-timeout=60) ;;
  lzx)      target=fuzz_lzx_roundtrip;  max_len=70000; rss=2048; seconds=600; extra=() ;;
  feeddate) target=fuzz_date_match;     max_len=512;   rss=2048; seconds=300; extra=() ;;
  png)      target=fuzz_png_dib;        max_len=4096;  rss=2048; seconds=300; extra=() ;;
  download) target=fuzz_untrusted_bytes; max_len=65536; rss=2048; seconds=300; extra=() ;;
  htmltext) target=fuzz_html_rich_text; max_len=8192;  rss=2048; seconds=600; extra=(-timeout=5 -dict="$top/tests/fuzz/htmltext/html.dict") ;;
  *) echo "fuzz.sh: unknown target '$name'" >&2; exit 2 ;;
esac
seconds=${2:-$seconds}
work=$(mktemp -d)
cp "$top/tests/fuzz/$name"/corpus/* "$work"/
exec nice "$build/fuzz/tests/fuzz/$name/$target" -max_total_time="$seconds" -max_len="$max_len" \
  -rss_limit_mb="$rss" -print_final_stats=1 -artifact_prefix="$work/" "${extra[@]}" "$work"
