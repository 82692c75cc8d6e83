"""Misbehaviour on purpose, for rehearsing clients that check what they get
back (the agent's -verify): with --fault MODE the service answers an upload
as usual but hands back a result that is not the input plus a signature.
"""

import os
import shutil
import struct
import zipfile

MODES = {
    "tampered": "one byte of the signed file changed after signing",
    "other-program": "another program, validly signed",
    "unsigned": "the uploaded file, not signed",
    "hidden-bytes": "16 bytes hidden inside the certificate table's entry",
    "extra-entry": "a bogus second certificate table entry",
    "html": "an HTML page instead of the file",
    "zip-missing": "a zip that lacks the last input",
    "cut-once": "the first download of each result closes at half its length",
}

HTML_PAGE = b"<!DOCTYPE html>\n<html><body><h1>Signed!</h1></body></html>\n"


def _table(data):
    """(table entry offset, table offset, table size) of a PE image."""
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    optional = pe + 24
    (magic,) = struct.unpack_from("<H", data, optional)
    entry = optional + (144 if magic == 0x20B else 128)
    offset, size = struct.unpack_from("<II", data, entry)
    return entry, offset, size


def _with_table(data, entry, offset, table):
    image = bytearray(data[:offset]) + table
    struct.pack_into("<II", image, entry, offset, len(table))
    return bytes(image)


def sign(mode, sign_file, source, target):
    """Signs source into target as the mode has it."""
    if mode == "unsigned":
        shutil.copyfile(source, target)
        return
    if mode == "other-program":
        with open(source, "r+b") as f:
            f.seek(-1, os.SEEK_END)
            last = f.read(1)
            f.seek(-1, os.SEEK_END)
            f.write(bytes([last[0] ^ 0xFF]))
    sign_file(source, target)


def spoil(mode, path, is_zip):
    """Changes the finished result at path as the mode has it."""
    if mode == "html":
        with open(path, "wb") as f:
            f.write(HTML_PAGE)
        return
    if mode == "zip-missing":
        if not is_zip:
            return
        with zipfile.ZipFile(path) as archive:
            members = [(info, archive.read(info)) for info in archive.infolist()]
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
            for info, data in members[:-1]:
                archive.writestr(info, data)
        return
    if is_zip or mode not in ("tampered", "hidden-bytes", "extra-entry"):
        return
    with open(path, "rb") as f:
        data = f.read()
    entry, offset, size = _table(data)
    if mode == "tampered":
        changed = bytearray(data)
        changed[offset // 2] ^= 0x01
        data = bytes(changed)
    elif mode == "hidden-bytes":
        table = bytearray(data[offset:]) + b"HIDDEN-16-BYTES!"
        struct.pack_into("<I", table, 0, struct.unpack_from("<I", table)[0] + 16)
        data = _with_table(data, entry, offset, table)
    else:
        bogus = struct.pack("<IHH", 16, 0x0200, 2) + b"\x30\x06" + b"\0" * 6
        data = _with_table(data, entry, offset, data[offset:] + bogus)
    with open(path, "wb") as f:
        f.write(data)
