#!/usr/bin/env bash
# Builds the programs and runs both main jobs on the built-in demo (see scripts/demo.py).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$top/build}
"$top/scripts/setup.sh"
"$top/scripts/build.sh" windows
export TB_BIN="$BUILD_DIR/windows" TB_SRC="$top" TB_WINE_BASE="$BUILD_DIR/windows/wine/base"
"$top/scripts/wine-prefix.sh" "$TB_WINE_BASE"
exec python3 "$top/scripts/demo.py" "$@"
