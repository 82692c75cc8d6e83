#!/usr/bin/env bash
# Unpacks Debian's tinyxml source package, with Debian's patches applied, into
# .deps/tinyxml for the Windows cross build.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dest="$here/.deps/tinyxml"
if [ -f "$dest/tinyxml.cpp" ] && [ -f "$dest/.debian-patched" ]; then
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -q tinyxml >/dev/null)
srcdir=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'tinyxml-*' | head -n 1)
[ -n "$srcdir" ] || { echo "setup: apt-get source tinyxml gave no source tree" >&2; exit 1; }
# dpkg-source applies the quilt series on extraction; make sure of it.
if [ -f "$srcdir/debian/patches/series" ] && [ ! -d "$srcdir/.pc" ]; then
  (cd "$srcdir" && QUILT_PATCHES=debian/patches quilt push -a -q)
fi
rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
cp -r "$srcdir" "$dest"
touch "$dest/.debian-patched"
