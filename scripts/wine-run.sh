#!/usr/bin/env bash
# Runs one Windows program under Wine with the project's environment and returns its exit
# code. WINEPREFIX may name a prefix of the caller's; otherwise the template prefix is used.
# With TB_PRIVATE_PREFIX=1 the program runs in a copy of that prefix, removed afterwards, so that
# what it changes there (handlers of address schemes, say) reaches no other test.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
if [ "${TB_PRIVATE_PREFIX:-}" != 1 ]; then
  exec wine "$@"
fi
private=$(mktemp -d "${TMPDIR:-/tmp}/tb-prefix.XXXXXX")
trap 'rm -rf "$private"' EXIT
cp -a "$WINEPREFIX/." "$private/"
export WINEPREFIX=$private
wine "$@"
rc=$?
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
exit $rc
