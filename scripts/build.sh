#!/usr/bin/env bash
# Configures and builds one or more builds by name: native, asan, windows, fuzz.
# Usage: build.sh [name...]   (default: native windows)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
deps=$build/deps
jobs=${JOBS:-$(nproc)}
names=("$@"); [ ${#names[@]} -gt 0 ] || names=(native windows)
for name in "${names[@]}"; do
  case $name in
    native)  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan)    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTB_SANITIZE=ON) ;;
    fuzz)    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTB_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    windows) args=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake") ;;
    *) echo "build.sh: unknown build '$name'" >&2; exit 2 ;;
  esac
  if [ ! -f "$build/$name/build.ninja" ]; then
    cmake -S "$top" -B "$build/$name" -G Ninja -DTB_DEPS_PREFIX="$deps" "${args[@]}" >/dev/null
  fi
  cmake --build "$build/$name" -j "$jobs"
done
