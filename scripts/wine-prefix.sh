#!/usr/bin/env bash
# Makes the wine prefix that the Windows tests run in, once.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-env.sh
. "$here/scripts/wine-env.sh"
if [ -f "$WINEPREFIX/.tarvolin-ready" ]; then
  exit 0
fi
mkdir -p "$WINEPREFIX"
"$tarvolin_wine_loader" wineboot --init >/dev/null 2>&1 || true
"${tarvolin_wine_loader%/*}/wineserver" --wait 2>/dev/null || wineserver --wait 2>/dev/null || true
[ -f "$WINEPREFIX/system.reg" ] || { echo "setup: wineboot made no prefix in $WINEPREFIX" >&2; exit 1; }
touch "$WINEPREFIX/.tarvolin-ready"
