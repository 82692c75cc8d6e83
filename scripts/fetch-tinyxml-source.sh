#!/usr/bin/env bash
# Unpacks Debian's tinyxml source package, with Debian's patches applied, into
# .deps/tinyxml for the Windows cross build.
exec "$(dirname "$0")/fetch-debian-source.sh" tinyxml tinyxml tinyxml.cpp
