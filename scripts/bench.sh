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

# The LZX encoder before its speed work and the one in this tree, each behind the same small driver and
# built by the same command, so that cab_bench times them side by side (needs the commit in the history).
before=48e339a
drives=$build/lzx-drives
flags=(-std=c++17 -O3 -DNDEBUG)
if git -C "$top" cat-file -e "$before^{commit}" 2>/dev/null; then
  rm -rf "$drives" && mkdir -p "$drives/before"
  git -C "$top" archive "$before" cabforge/core/lzx | tar -x -C "$drives/before"
  for side in before now; do
    root=$drives/before
    [ "$side" = now ] && root=$top
    "${CXX:-c++}" "${flags[@]}" -I "$root" -o "$drives/lzx-$side" "$top/bench/lzx/folder_drive.cpp" \
      "$root"/cabforge/core/lzx/*.cpp
  done
  export LZX_BEFORE_DRIVE=$drives/lzx-before LZX_NOW_DRIVE=$drives/lzx-now
else
  echo "(commit $before is not in this checkout's history: no side-by-side rows of the old encoder)"
fi
CABFORGE_CLI="$build/bin/cabforge-cli" exec "$build/bench/cab_bench" "$@"
