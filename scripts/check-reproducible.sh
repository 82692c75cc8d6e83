#!/usr/bin/env bash
# Builds the shipped programs twice, each time from its own copy of the source
# tree in its own temporary folder, and checks that the two builds are byte
# for byte the same. Only the programs are built, not the tests.
#
#   scripts/check-reproducible.sh [preset ...]
#
# The default presets, release-linux and release-win32, make the programs
# that scripts/release.sh packages.
#
# SOURCE_DATE_EPOCH defaults to the date of the commit checked out; the
# Windows program must carry it as its PE time stamp.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=${TARVOLIN_JOBS:-$(nproc)}
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release-linux release-win32)
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct)}
export SOURCE_DATE_EPOCH

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarvolin-reproducible.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# The tracked and the new files of the working tree, and the library sources
# the Windows build compiles (TinyXML, minizip: unpacked by scripts/setup.sh
# into .deps, not tracked).
copy_tree() { # destination
  mkdir -p "$1"
  (cd "$here" && git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$1"
  if [ -d "$here/.deps" ]; then
    cp -r "$here/.deps" "$1/.deps"
  fi
}

# Two folders of different names and depths.
trees=("$scratch/a" "$scratch/second/tarvolin-agent-copy")
for tree in "${trees[@]}"; do copy_tree "$tree"; done

status=0
for preset in "${presets[@]}"; do
  program=tarvolin-agent
  [[ "$preset" == *linux* ]] || program=tarvolin-agent.exe
  sums=()
  for tree in "${trees[@]}"; do
    start=$SECONDS
    (cd "$tree" && cmake --preset "$preset" -DTARVOLIN_TESTS=OFF >/dev/null &&
      cmake --build --preset "$preset" -j "$jobs" --target tarvolin-agent >/dev/null)
    sums+=("$(sha256sum "$tree/build/$preset/$program" | cut -d' ' -f1)")
    echo "$preset: ${tree#"$scratch"/}/build/$preset/$program ${sums[-1]} ($((SECONDS - start)) s)"
  done
  if [ "${sums[0]}" = "${sums[1]}" ]; then
    echo "$preset: the two builds are identical"
  else
    echo "$preset: the two builds differ in $(cmp -l "${trees[0]}/build/$preset/$program" \
      "${trees[1]}/build/$preset/$program" | wc -l) bytes" >&2
    status=1
  fi
  if [[ "$preset" != *linux* ]]; then
    stamp=$("$here/scripts/pe-time-stamp.sh" "${trees[0]}/build/$preset/$program")
    if [ "$stamp" = "$SOURCE_DATE_EPOCH" ]; then
      echo "$preset: PE time stamp $stamp, the SOURCE_DATE_EPOCH"
    else
      echo "$preset: PE time stamp $stamp, not the SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH" >&2
      status=1
    fi
  fi
done
exit $status
