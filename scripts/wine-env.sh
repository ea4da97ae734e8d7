# Sourced by the scripts that run Windows programs: one environment for every Wine run.
: "${BUILD_DIR:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
export WINEARCH=win64
# Fixed time zone so local-time results are the same on every machine.
export TZ=Asia/Tokyo
: "${WINEPREFIX:=$BUILD_DIR/wine/base}"
export WINEPREFIX
