#!/usr/bin/env bash
# Builds everything and runs every test: the portable units natively (plain and with
# AddressSanitizer/UBSan), the Windows programs and their tests under Wine inside Xvfb.
# Prints one closing line "N passed, N failed" and exits non-zero on any failure.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$top/build}
"$top/scripts/setup.sh" || exit 1
passed=0; failed=0
# The formatter is part of the build: a tracked C++ file that differs from .clang-format fails.
echo "== format check"
if "$top/scripts/format.sh" --check; then passed=$((passed + 1)); else
  echo "== format check failed: run scripts/format.sh"; failed=$((failed + 1)); fi
run_ctest() {  # name, then the command prefix to run ctest under
  local name=$1; shift
  local log="$BUILD_DIR/$name/ctest.log"
  echo "== tests: $name"
  ( cd "$BUILD_DIR/$name" && "$@" ctest --output-on-failure -j "${CTEST_JOBS:-2}" ) 2>&1 | tee "$log"
  local p f
  p=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$log")
  f=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*(\*\*\*|Failed|Not Run|Timeout|Exception)' "$log")
  passed=$((passed + p)); failed=$((failed + f))
}
for name in native asan windows; do
  if ! "$top/scripts/build.sh" "$name"; then
    echo "== build $name failed"; failed=$((failed + 1)); continue
  fi
  if [ "$name" = windows ]; then
    run_ctest "$name" xvfb-run -a -s "-screen 0 1280x1024x24"
  else
    run_ctest "$name"
  fi
done
echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
