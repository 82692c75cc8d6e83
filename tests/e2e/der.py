"""A small DER reader and writer for the tests that take an honest signature
apart and put a hostile one together: a node is [tag, children] for a
constructed item and [tag, bytes] for a primitive one."""

import struct


def parse(data):
    """The one item `data` holds, as a node."""
    node, end = _item(data, 0)
    assert end == len(data), "bytes after the item"
    return node


def _item(data, at):
    tag, length = data[at], data[at + 1]
    at += 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[at:at + count], "big")
        at += count
    value = data[at:at + length]
    if tag & 0x20:
        children, inner = [], 0
        while inner < length:
            child, inner = _item(value, inner)
            children.append(child)
        return [tag, children], at + length
    return [tag, bytes(value)], at + length


def encode(node):
    tag, value = node
    body = b"".join(encode(child) for child in value) if isinstance(value, list) else value
    return bytes([tag]) + length_octets(len(body)) + body


def length_octets(length):
    if length < 0x80:
        return bytes([length])
    octets = length.to_bytes((length.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def oid(text):
    parts = [int(p) for p in text.split(".")]
    body = bytes([parts[0] * 40 + parts[1]])
    for part in parts[2:]:
        chunk = [part & 0x7F]
        part >>= 7
        while part:
            chunk.insert(0, 0x80 | (part & 0x7F))
            part >>= 7
        body += bytes(chunk)
    return [0x06, body]


def seq(*children):
    return [0x30, list(children)]


def set_of(*children):
    return [0x31, list(children)]


def octets(data):
    return [0x04, data]


def integer(value):
    return [0x02, value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big")]


NULL = [0x05, b""]


def attribute(type_oid, *values):
    return seq(oid(type_oid), set_of(*values))


class Signature:
    """The parts of the first signature of a signed PE, to change and put
    back: `signed_data` is the SignedData's children, `signer` the one
    SignerInfo's."""

    def __init__(self, image):
        (pe,) = struct.unpack_from("<I", image, 0x3C)
        (magic,) = struct.unpack_from("<H", image, pe + 24)
        self.entry = pe + 24 + (144 if magic == 0x20B else 128)
        self.offset, _ = struct.unpack_from("<II", image, self.entry)
        (length,) = struct.unpack_from("<I", image, self.offset)
        der = image[self.offset + 8:self.offset + length]
        self.image = image
        self.tree = parse_prefix(der)
        self.signed_data = self.tree[1][1][1][0][1]
        self.signer = self.signed_data[-1][1][0][1]

    def certificates(self):
        return [child for child in self.signed_data if child[0] == 0xA0][0][1]

    def image_with(self, tree=None):
        """The PE with this signature (or `tree`) as its one table entry."""
        der = encode(tree or self.tree)
        entry = der + b"\0" * ((8 - len(der) % 8) % 8)
        table = struct.pack("<IHH", 8 + len(entry), 0x0200, 2) + entry
        image = bytearray(self.image[:self.offset]) + table
        struct.pack_into("<II", image, self.entry, self.offset, len(table))
        return bytes(image)


def parse_prefix(data):
    """The first item of `data`, whatever follows it (the table's padding)."""
    node, _ = _item(data, 0)
    return node
