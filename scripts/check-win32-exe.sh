#!/usr/bin/env bash
# Checks that the Windows agent is a 32-bit x86 console program that needs no
# DLL beyond those Windows itself ships, and that it carries its manifest.
set -euo pipefail
exe=$1
kind=$(file -b "$exe")
case "$kind" in
  "PE32 executable (console) Intel 80386"*) echo "format: $kind" ;;
  *) echo "not a PE32 console program for Intel 80386: $kind" >&2; exit 1 ;;
esac
objdump=i686-w64-mingw32-objdump
command -v "$objdump" >/dev/null || objdump=objdump
dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
# Windows' own system DLLs; anything from a compiler's runtime (libstdc++,
# libgcc, libwinpthread) would have to ship beside the .exe.
system_dlls=" advapi32.dll comctl32.dll crypt32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll
 shell32.dll shlwapi.dll user32.dll version.dll wininet.dll ws2_32.dll "
bad=0
for dll in $dlls; do
  if [[ "$system_dlls" == *" $dll "* || "$system_dlls" == *"
 $dll "* ]]; then
    echo "imports: $dll"
  else
    echo "imports a DLL Windows does not ship: $dll" >&2
    bad=1
  fi
done
[ -n "$dlls" ] || { echo "no imports found: objdump could not read $exe" >&2; exit 1; }
# The application manifest, kept as plain text in the resources: run as the
# invoking user, on Windows Vista to Windows 11.
for needle in 'level="asInvoker"' '{e2011457-1546-43c5-a5fe-008deee3d3f0}' \
  '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'; do
  if grep -qaF "$needle" "$exe"; then
    echo "manifest: $needle"
  else
    echo "no manifest with $needle" >&2
    bad=1
  fi
done
exit $bad
