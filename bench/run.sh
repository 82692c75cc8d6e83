#!/usr/bin/env bash
# The agent against curl on this machine: builds the agent (native, and a
# Windows build for wine when the cross compiler and wine are there),
# runs bench/bench.py, prints the ratio table and rewrites BENCHMARKS.md. The
# Windows build measured is the shipped 32-bit one where this machine runs
# 32-bit programs under wine, else the x86-64 build of the same code.
#
#   bench/run.sh [bench.py options, e.g. --quick --note "..."]
#
# Build directories: build/bench-linux and build/bench-win32 (or -win64), or
# the ones BENCH_LINUX_BUILD and BENCH_WIN_BUILD name. BENCH_NO_WINE=1 skips
# wine.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
linux_dir=${BENCH_LINUX_BUILD:-$here/build/bench-linux}
if "$here/scripts/can-run-win32.sh"; then
  win_preset=win32 win_compiler=i686-w64-mingw32-g++ win_wine=/usr/lib/wine/wine
else
  win_preset=win64 win_compiler=x86_64-w64-mingw32-g++ win_wine=/usr/lib/wine/wine64
fi
win_dir=${BENCH_WIN_BUILD:-$here/build/bench-$win_preset}

if [ ! -x /usr/bin/time ]; then
  echo "bench: /usr/bin/time is missing; scripts/setup.sh installs it (package time)" >&2
  exit 1
fi

echo "Building the agent in $linux_dir"
cmake --preset linux -B "$linux_dir" >/dev/null
cmake --build "$linux_dir" -j2 --target tarvolin-agent proof-probe >/dev/null

wine_args=()
verify_wine_args=()
if [ "${BENCH_NO_WINE:-0}" != 1 ] && command -v "$win_compiler" >/dev/null &&
  [ -x "$win_wine" ]; then
  echo "Building the Windows agent ($win_preset) in $win_dir"
  cmake --preset "$win_preset" -B "$win_dir" >/dev/null
  cmake --build "$win_dir" -j2 --target tarvolin-agent proof-probe >/dev/null
  "$here/scripts/wine-prefix.sh"
  wine_args=(--wine-agent "$win_dir/tarvolin-agent.exe"
    --wine-runner "$here/scripts/wine-run.sh")
  verify_wine_args=(--wine-probe "$win_dir/proof-probe.exe"
    --wine-runner "$here/scripts/wine-run.sh")
else
  echo "No $win_compiler or $win_wine: the Windows build is not measured"
fi

python3 "$here/bench/bench.py" --agent "$linux_dir/tarvolin-agent" \
  ${wine_args[@]+"${wine_args[@]}"} --output "$here/BENCHMARKS.md" "$@"
# What -verify costs, as a section of its own in BENCHMARKS.md.
exec python3 "$here/bench/verify_bench.py" --agent "$linux_dir/tarvolin-agent" \
  --probe "$linux_dir/proof-probe" ${verify_wine_args[@]+"${verify_wine_args[@]}"} \
  --output "$here/BENCHMARKS.md"
