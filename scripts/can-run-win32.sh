#!/usr/bin/env bash
# Exits 0 when wine32 is installed and this machine can run 32-bit x86
# programs. Kernels built without IA32 emulation (some VMs) cannot.
exec 2>/dev/null
[ -x /usr/lib/wine/wineserver32 ] && /usr/lib/wine/wineserver32 --version >/dev/null
