#!/usr/bin/env bash
# Format and lint, checked rather than hoped for:
# - every C++ file of the repository (tracked or new, not ignored) is as
#   clang-format makes it (.clang-format);
# - clang-tidy (.clang-tidy) finds nothing in src/: the POSIX sources through
#   the compile commands of the linux build, the Windows sources through those
#   of the win64 build, with the C++ headers of its mingw compiler (clang
#   parses the Windows code as the mingw build compiles it). Both builds must
#   have been configured; a missing one is reported and fails the check.
#
#   check-style.sh            everything
#   check-style.sh --changed  clang-tidy only over the sources changed since
#                             the merge base with main (quicker while working)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
jobs=${TARVOLIN_JOBS:-$(nproc)}
status=0

mapfile -t cxx_files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')
echo "== format: clang-format --dry-run -Werror over ${#cxx_files[@]} files"
clang-format --dry-run -Werror "${cxx_files[@]}" || status=1

mapfile -t sources < <(git ls-files --cached --others --exclude-standard -- 'src/*.cpp')
if [ "${1:-}" = "--changed" ]; then
  base=$(git merge-base HEAD main)
  mapfile -t sources < <(git diff --name-only "$base" -- 'src/*.cpp' 'src/*.h' |
    sed -e 's/\.h$/.cpp/' | sort -u | while read -r f; do [ -f "$f" ] && echo "$f"; done)
fi

tidy() { # build-dir [extra-argument...] -- source...
  local build=$1 extra=() rc=0
  shift
  while [ "$1" != "--" ]; do
    extra+=("$1")
    shift
  done
  shift
  [ $# -gt 0 ] || return 0
  if [ ! -f "$build/compile_commands.json" ]; then
    echo "no $build/compile_commands.json: configure that build first"
    return 1
  fi
  local out
  out=$(mktemp)
  printf '%s\0' "$@" |
    xargs -0 -n 4 -P "$jobs" clang-tidy --quiet -p "$build" "${extra[@]}" >"$out" 2>&1 || rc=1
  grep -v ' generated\.$' "$out" || true
  rm -f "$out"
  return $rc
}

# Sources shared by both systems are checked as the POSIX build compiles them.
posix=() windows=()
for f in "${sources[@]}"; do
  case $f in
    src/platform/win32/*) windows+=("$f") ;;
    *) posix+=("$f") ;;
  esac
done
echo "== lint: clang-tidy over ${#posix[@]} POSIX and shared sources (linux build)"
tidy build/linux -- "${posix[@]}" || status=1

windows_cxx=$(sed -n 's/^ *"command": "\([^ ]*g++[^ ]*\) .*/\1/p' \
  build/win64/compile_commands.json 2>/dev/null | head -n 1)
mingw_headers=()
if [ -n "$windows_cxx" ]; then
  while read -r dir; do
    mingw_headers+=("--extra-arg=-isystem$dir")
  done < <("$windows_cxx" -xc++ -E -v - </dev/null 2>&1 |
    sed -n '/^#include <...> search starts/,/^End of search/p' | sed -n 's|^ \(.*/c++.*\)$|\1|p')
fi
echo "== lint: clang-tidy over ${#windows[@]} Windows sources (win64 build, its mingw C++ headers)"
tidy build/win64 "${mingw_headers[@]}" -- "${windows[@]}" || status=1

exit $status
