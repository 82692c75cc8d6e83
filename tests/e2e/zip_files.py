"""A small zip writer for the tests: honest zips of signed results, and the
same bytes bent one way at a time, as a hostile service would hand them back.

An entry is a dict of the fields below; build() lays the entries out and
takes keyword arguments that change the layout around them."""

import struct
import zlib

UNIX_FILE = (0o100644 << 16)


def entry(name, data, **fields):
    """An entry as an honest writer makes it: deflated, Unix attributes.
    With wide=True both headers give the sizes in zip64 fields."""
    if isinstance(name, str):
        name = name.encode("utf-8")
    packed = _deflate(data)
    made = {"name": name, "data": data, "packed": packed, "method": 8, "flags": 0,
            "made_by": 0x031E, "version": 20, "external": UNIX_FILE, "crc": zlib.crc32(data),
            "size": len(data), "packed_size": len(packed), "extra": b"", "local_extra": b"",
            "comment": b"", "local_name": None, "local_size": None, "local_flags": None,
            "in_central": True, "wide": False}
    made.update(fields)
    return made


def _deflate(data):
    packer = zlib.compressobj(6, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


def zip64_extra(*values):
    return struct.pack("<HH", 1, 8 * len(values)) + b"".join(struct.pack("<Q", v)
                                                              for v in values)


def build(entries, prefix=b"", between=b"", before_directory=b"", comment=b"",
          count=None):
    """The zip's bytes: `prefix` before the first entry, `between` after
    each entry's data but the last, `before_directory` after the last;
    `count` is the entry count the end record states."""
    out = bytearray(prefix)
    offsets = []
    for index, e in enumerate(entries):
        offsets.append(len(out))
        flags = e["flags"] if e["local_flags"] is None else e["local_flags"]
        size = e["size"] if e["local_size"] is None else e["local_size"]
        name = e["name"] if e["local_name"] is None else e["local_name"]
        local_extra = e["local_extra"]
        sizes = (min(e["packed_size"], 0xFFFFFFFF), min(size, 0xFFFFFFFF))
        if e["wide"]:
            local_extra = zip64_extra(size, e["packed_size"]) + local_extra
            sizes = (0xFFFFFFFF, 0xFFFFFFFF)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, e["version"], flags, e["method"], 0,
                           0x21, e["crc"], sizes[0], sizes[1], len(name), len(local_extra))
        out += name + local_extra + e["packed"]
        if index + 1 < len(entries):
            out += between
    out += before_directory
    start = len(out)
    listed = 0
    for e, offset in zip(entries, offsets):
        if not e["in_central"]:
            continue
        listed += 1
        extra = e["extra"]
        sizes = (min(e["packed_size"], 0xFFFFFFFF), min(e["size"], 0xFFFFFFFF))
        if e["wide"]:
            extra = zip64_extra(e["size"], e["packed_size"]) + extra
            sizes = (0xFFFFFFFF, 0xFFFFFFFF)
        out += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e["made_by"], e["version"],
                           e["flags"], e["method"], 0, 0x21, e["crc"], sizes[0], sizes[1],
                           len(e["name"]), len(extra), len(e["comment"]), 0, 0,
                           e["external"], offset)
        out += e["name"] + extra + e["comment"]
    stated = listed if count is None else count
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, min(stated, 0xFFFF), min(stated, 0xFFFF),
                       len(out) - start, start, len(comment)) + comment
    return bytes(out)
