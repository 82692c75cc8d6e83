#!/usr/bin/env bash
# Sets everything up, then builds and tests both builds: the POSIX program
# natively and the Windows program under wine, each build failing on any
# compiler warning; checks format and lint; checks that both programs build
# reproducibly and makes and checks the release packages; then the hardening
# runs (fuzzers, sanitizers, valgrind) on the POSIX program.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
jobs=${TARVOLIN_JOBS:-$(nproc)}

"$here/scripts/setup.sh"

# The wine runs' lists of what they could not check, shown after each.
gaps=$(mktemp -d)
trap 'rm -rf "$gaps"' EXIT
show_wine_gaps() { # build
  echo "== $1: what the run under wine did not check, or checked more loosely, and why"
  cat "$gaps"/*.txt 2>/dev/null || echo "(no list: the wine suites did not run)"
  rm -f "$gaps"/*.txt
}

status=0
echo "== linux: build and test"
cmake --workflow --preset linux || status=1

if "$here/scripts/can-run-win32.sh"; then
  echo "== win32: build the shipped 32-bit program and test it under wine"
  TARVOLIN_WINE_GAPS_DIR=$gaps cmake --workflow --preset win32 || status=1
  show_wine_gaps win32
  # The shipped program's own suites ran the Windows code; the x86-64 build
  # stands in for them only where 32-bit code cannot run. Lint still reads
  # the Windows sources through its compile commands.
  echo "== win64: build the Windows code for x86-64 (for lint; its suites stand in for the"
  echo "   win32 ones only where 32-bit code cannot run)"
  { cmake --preset win64 >/dev/null && cmake --build --preset win64 -j "$jobs"; } || status=1
else
  echo "== win32: build the shipped 32-bit program; wine32 cannot run here (the kernel has no"
  echo "   IA32 emulation, or setup could not install wine32): checking the .exe's format and"
  echo "   imports only; the win64 build below runs the same Windows code under wine64"
  cmake --workflow --preset win32-no-emulator || status=1
  echo "== win64: build the Windows code for x86-64 and test it under wine64"
  TARVOLIN_WINE_GAPS_DIR=$gaps cmake --workflow --preset win64 || status=1
  show_wine_gaps win64
fi

echo "== format and lint: clang-format over every C++ file, clang-tidy over src/ (both builds)"
TARVOLIN_JOBS=$jobs "$here/scripts/check-style.sh" || status=1

echo "== reproducible builds: each shipped program built twice, in two temporary folders"
TARVOLIN_JOBS=$jobs "$here/scripts/check-reproducible.sh" || status=1

echo "== release packages: the Debian package, the Windows zip, SHA256SUMS"
if "$here/scripts/release.sh"; then
  "$here/scripts/check-packages.sh" || status=1
else
  status=1
fi

echo "== hardening: fuzzers, sanitizers, valgrind"
"$here/scripts/test-hardening.sh" || status=1

echo "== all: $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
