#!/usr/bin/env bash
# Builds the cabinet writer's benchmark natively in Release and runs it: size, ratio, MB/s and peak
# memory of our LZX levels and MSZIP, and of the cabforge-cli program, beside gcab -z, gzip -6/-9,
# xz -6 (also at a 2 MiB dictionary) and zstd on one corpus (one core), then generated stress inputs.
# Usage: scripts/bench.sh [--corpus default|system] [--no-stress] [work folder]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}/bench-release
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target cab_bench cabforge-cli
CABFORGE_CLI="$build/bin/cabforge-cli" exec "$build/bench/cab_bench" "$@"
