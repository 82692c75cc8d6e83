#!/usr/bin/env bash
# Takes a fresh Debian 12 machine to one that builds and tests both targets.
# Safe to run again: every step checks whether it is already done.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

# wine32 needs the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

# The tinyxml source package for the Windows build: a deb-src twin of the
# system's own Debian sources, so no mirror is named here.
src_list=/etc/apt/sources.list.d/tarvolin-deb-src.sources
if [ ! -f "$src_list" ]; then
  sys_list=""
  for candidate in /etc/apt/sources.list.d/debian.sources /usr/lib/apt/sources.list.d/debian.sources; do
    [ -f "$candidate" ] && { sys_list=$candidate; break; }
  done
  if [ -n "$sys_list" ]; then
    sed -e 's/^Types:.*/Types: deb-src/' "$sys_list" | "${sudo_cmd[@]}" tee "$src_list" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed -e 's/^deb /deb-src /' |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/tarvolin-deb-src.list >/dev/null
    : >/dev/null
  fi
fi

packages=(
  build-essential cmake ninja-build pkg-config git file
  libtinyxml-dev libcurl4-openssl-dev libssl-dev libminizip-dev zlib1g-dev libgtest-dev googletest
  g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev libz-mingw-w64-dev
  wine wine64
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  dpkg-dev quilt locales lintian
  python3 python3-multipart openssl osslsigncode zip unzip curl time strace linux-perf
  clang clang-format clang-tidy libclang-rt-14-dev valgrind
)
# Only these steps need the network: apt-get reaching Debian's package archive
# (the update, the installs, the tinyxml sources). Each one that fails says
# which step it was and why it needed the network.
offline() {
  echo "setup: $1 failed. It needs the network to reach Debian's package archive ($2)." >&2
  echo "setup: check the connection, a proxy (apt honours http_proxy) or /etc/apt/sources.list.d, then run $0 again." >&2
  exit 1
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ ! -d /var/lib/apt/lists ] || [ -z "$(ls /var/lib/apt/lists/*Sources* 2>/dev/null)" ]; then
  # A mirror in the middle of a sync can fail one index while the others
  # arrive; try again, then go on with the lists apt holds, since the installs
  # below fail plainly if a package cannot be had from them.
  updated=false
  for attempt in 1 2 3; do
    if "${sudo_cmd[@]}" apt-get update -q; then updated=true; break; fi
    [ "$attempt" -lt 3 ] && sleep 10
  done
  if ! $updated; then
    ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1 ||
      offline "apt-get update" "to learn which packages and sources are there"
    echo "setup: apt-get update could not fetch every index (see above); going on with the package lists it has." >&2
  fi
fi
if [ ${#missing[@]} -gt 0 ]; then
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" ||
    offline "apt-get install" "to download ${missing[*]}"
fi
# wine32 runs the shipped 32-bit program. It needs i386 builds of the
# system's libraries at the very versions installed for amd64, which a mirror
# that lacks one index cannot give; the Windows tests then run the win64
# build under wine64, as on machines that cannot run 32-bit code at all.
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends wine32:i386 ||
    echo "setup: wine32 could not be installed (see above); the Windows tests will run the win64 build under wine64." >&2
fi

# Locales the tests switch to: double-byte code pages and a few languages.
"$here/scripts/make-locales.sh"

# TinyXML and minizip sources with Debian's patches, for the cross build.
"$here/scripts/fetch-tinyxml-source.sh" ||
  offline "fetching tinyxml's sources (apt-get source tinyxml)" \
    "the Windows build compiles TinyXML from Debian's source package"
"$here/scripts/fetch-minizip-source.sh" ||
  offline "fetching minizip's sources (apt-get source minizip)" \
    "the Windows build compiles minizip from Debian's source package"

# A program Microsoft signed, and the same program unsigned, for the proof's
# known-answer test; without them that test says it was skipped.
"$here/scripts/fetch-shim.sh" ||
  echo "setup: Debian's shim-signed and shim-unsigned could not be fetched; the known-answer test of the proof will be skipped." >&2

# One wine prefix, made once.
"$here/scripts/wine-prefix.sh"

echo "setup: done"
