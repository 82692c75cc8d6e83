#!/usr/bin/env bash
# Unpacks Debian's shim-signed and shim-unsigned into .deps/shim: a program
# Microsoft signed, with a time stamp, and the same program unsigned. The
# proof's known-answer test checks the one against the other.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dest="$here/.deps/shim"
[ -f "$dest/usr/lib/shim/shimx64.efi.signed" ] && [ -f "$dest/usr/lib/shim/shimx64.efi" ] && exit 0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt's download user cannot write into a folder of root's; a world-writable
# one keeps its download sandboxed.
chmod 777 "$work"
(cd "$work" && apt-get download -q shim-signed shim-unsigned >/dev/null)
rm -rf "$dest"
mkdir -p "$dest"
for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$dest"; done
[ -f "$dest/usr/lib/shim/shimx64.efi.signed" ] && [ -f "$dest/usr/lib/shim/shimx64.efi" ]
