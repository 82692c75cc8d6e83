#!/usr/bin/env bash
# Runs a Windows program under the project's wine prefix; CMake uses it as the
# cross-compiling emulator.
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/wine-env.sh
. "$here/scripts/wine-env.sh"
exec "$tarvolin_wine_loader" "$@"
