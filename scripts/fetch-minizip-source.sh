#!/usr/bin/env bash
# Unpacks Debian's minizip source package, with Debian's patches applied, into
# .deps/minizip/minizip for the Windows cross build, so that its headers are
# included as <minizip/unzip.h> there as on Linux.
exec "$(dirname "$0")/fetch-debian-source.sh" minizip minizip/minizip unzip.c
