#!/usr/bin/env bash
# Prints the time stamp in the COFF header of a PE file (seconds since 1970).
set -euo pipefail
python3 -c 'import struct, sys
data = open(sys.argv[1], "rb").read(4096)
header = struct.unpack_from("<I", data, 0x3C)[0]
print(struct.unpack_from("<I", data, header + 8)[0])' "$1"
