#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's environment and returns its exit
# code. WINEPREFIX may name a prefix of the caller's; otherwise the template prefix is used.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
exec wine "$@"
