#!/usr/bin/env bash
# Makes the release packages in build/packages/: the Debian package of the
# POSIX program, the zip of the 32-bit Windows program, and SHA256SUMS for
# both. Each comes from its CMake workflow (release-linux, release-win32);
# SOURCE_DATE_EPOCH defaults to the date of the commit checked out, so the
# programs are the same whoever builds them. Like the other entry scripts it
# sets the machine up first (scripts/setup.sh), so it runs on a fresh
# Debian 12 machine. The service host built into the programs is the
# environment variable TARVOLIN_SERVICE_HOST's; without it the programs have
# no built-in service and sign only where TARVOLIN_SERVICE_URL names one, so
# that a forgotten variable never sends a key to whoever listens on localhost.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
"$here/scripts/setup.sh"
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
packages=$here/build/packages

rm -rf "$packages"
for workflow in release-linux release-win32; do
  echo "== $workflow"
  # --fresh: the time stamps come from this SOURCE_DATE_EPOCH, not an earlier one.
  cmake --workflow --preset "$workflow" --fresh
done
cd "$packages"
# CPack leaves its staging folder and checksum files beside the packages.
rm -rf ./*.sha256 _CPack_Packages
sha256sum -- *.deb *.zip >SHA256SUMS
echo "== packages in ${packages#"$here"/}"
cat SHA256SUMS
