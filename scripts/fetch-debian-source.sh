#!/usr/bin/env bash
# Unpacks a Debian source package, with Debian's patches applied, into
# .deps/<dest> for the Windows cross build, which has no mingw package of
# that library. Usage: fetch-debian-source.sh <package> <dest> <marker file>
set -euo pipefail
package=$1
here=$(cd "$(dirname "$0")/.." && pwd)
dest="$here/.deps/$2"
if [ -f "$dest/$3" ] && [ -f "$dest/.debian-patched" ]; then
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -q "$package" >/dev/null)
srcdir=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name "$package-*" | head -n 1)
[ -n "$srcdir" ] || { echo "setup: apt-get source $package gave no source tree" >&2; exit 1; }
# dpkg-source applies the quilt series on extraction; make sure of it.
if [ -f "$srcdir/debian/patches/series" ] && [ ! -d "$srcdir/.pc" ]; then
  (cd "$srcdir" && QUILT_PATCHES=debian/patches quilt push -a -q)
fi
rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
cp -r "$srcdir" "$dest"
touch "$dest/.debian-patched"
