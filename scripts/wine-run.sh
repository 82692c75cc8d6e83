#!/usr/bin/env bash
# Runs a Windows program under the project's wine prefix; CMake uses it as the
# cross-compiling emulator. A 32-bit program is started with wine, a 64-bit
# one with wine64 (see wine-env.sh).
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-env.sh
. "$here/scripts/wine-env.sh"
exec "$(tarvolin_wine_loader_for "${1:-}")" "$@"
