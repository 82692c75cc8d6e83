"""Small PE images made at test time, and Authenticode signatures on them made
with openssl and osslsigncode: the inputs and results the -verify checks see.
"""

import os
import struct
import subprocess

FILE_ALIGN, SECTION_ALIGN = 0x200, 0x1000
TOOL_TIMEOUT = 120


def make_pe(plus=True, code=b"\xc3", trailing=b""):
    """A well-formed console image, PE32+ or PE32, with one .text section
    holding `code`, and `trailing` bytes after the last section."""
    raw = code.ljust((len(code) + FILE_ALIGN - 1) // FILE_ALIGN * FILE_ALIGN, b"\0")
    virtual = (len(raw) + SECTION_ALIGN - 1) // SECTION_ALIGN * SECTION_ALIGN
    dos = bytearray(64)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 64)
    optional_size = 240 if plus else 224
    coff = struct.pack("<HHIIIHH", 0x8664 if plus else 0x14C, 1, 0, 0, 0, optional_size,
                       0x0022 if plus else 0x0102)
    if plus:
        optional = struct.pack("<HBBIIIII", 0x20B, 14, 0, len(raw), 0, 0, SECTION_ALIGN,
                               SECTION_ALIGN)
        optional += struct.pack("<QIIHHHHHHIIIIHHQQQQII", 0x140000000, SECTION_ALIGN,
                                FILE_ALIGN, 6, 0, 0, 0, 6, 0, 0, SECTION_ALIGN + virtual,
                                0x200, 0, 3, 0x8160, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    else:
        optional = struct.pack("<HBBIIIIII", 0x10B, 14, 0, len(raw), 0, 0, SECTION_ALIGN,
                               SECTION_ALIGN, 0)
        optional += struct.pack("<IIIHHHHHHIIIIHHIIIIII", 0x400000, SECTION_ALIGN,
                                FILE_ALIGN, 6, 0, 0, 0, 6, 0, 0, SECTION_ALIGN + virtual,
                                0x200, 0, 3, 0x8140, 0x100000, 0x1000, 0x100000, 0x1000, 0,
                                16)
    optional += b"\0" * (16 * 8)
    assert len(optional) == optional_size
    section = struct.pack("<8sIIIIIIHHI", b".text", len(code), SECTION_ALIGN, len(raw),
                          0x200, 0, 0, 0, 0, 0x60000020)
    headers = (bytes(dos) + b"PE\0\0" + coff + optional + section).ljust(0x200, b"\0")
    return headers + raw + trailing


def layout(image):
    """(CheckSum offset, table entry offset, table offset, table size)."""
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    optional = pe + 24
    (magic,) = struct.unpack_from("<H", image, optional)
    entry = optional + (144 if magic == 0x20B else 128)
    offset, size = struct.unpack_from("<II", image, entry)
    return optional + 64, entry, offset, size


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def _run(command):
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=TOOL_TIMEOUT)
    if result.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (command[0],
                                               result.stdout.decode("utf-8", "replace")))


def make_certificate(folder, name, common_name, issuer=None):
    """A code-signing certificate and key in PEM; self-signed, or issued by
    `issuer` (a (cert, key) pair) as a certificate authority would."""
    cert = os.path.join(folder, name + ".pem")
    key = os.path.join(folder, name + "-key.pem")
    if issuer is None:
        _run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
              "-out", cert, "-days", "30", "-subj", "/CN=" + common_name,
              "-addext", "basicConstraints=critical,CA:TRUE",
              "-addext", "keyUsage=critical,digitalSignature,keyCertSign",
              "-addext", "extendedKeyUsage=codeSigning"])
    else:
        request = os.path.join(folder, name + ".csr")
        extensions = write(os.path.join(folder, name + ".ext"),
                           b"basicConstraints=critical,CA:FALSE\n"
                           b"keyUsage=critical,digitalSignature\n"
                           b"extendedKeyUsage=codeSigning\n")
        _run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
              "-out", request, "-subj", "/CN=" + common_name])
        _run(["openssl", "x509", "-req", "-in", request, "-CA", issuer[0], "-CAkey",
              issuer[1], "-CAcreateserial", "-out", cert, "-days", "30",
              "-extfile", extensions])
    return cert, key


def sign(source, target, signer, digest="sha256", nest=False, chain=None):
    """Signs `source` into `target` with osslsigncode; `nest` adds the
    signature to those already there. `chain` is a PEM file of certificates
    to carry along (the signer's first)."""
    command = ["osslsigncode", "sign", "-certs", chain or signer[0], "-key", signer[1],
               "-h", digest, "-in", source, "-out", target]
    if nest:
        command.insert(2, "-nest")
    if os.path.exists(target):
        os.remove(target)
    _run(command)
    return target


CA_EXTENSIONS = ("basicConstraints=critical,CA:TRUE\n"
                 "keyUsage=critical,keyCertSign,cRLSign,digitalSignature\n")
LEAF_EXTENSIONS = ("basicConstraints=critical,CA:FALSE\n"
                   "keyUsage=critical,digitalSignature\n"
                   "extendedKeyUsage=codeSigning\n")


def make_issued(folder, name, subject, extensions, issuer=None, key="rsa"):
    """A certificate with exactly `extensions` (an openssl extension file's
    text) and its key, for `subject` ("/O=.../CN=..."); self-signed, or
    issued by `issuer` (a (cert, key) pair). `key` is "rsa", "P-256" or
    "P-384"."""
    key_file = os.path.join(folder, name + "-key.pem")
    cert = os.path.join(folder, name + ".pem")
    request = os.path.join(folder, name + ".csr")
    ext = write(os.path.join(folder, name + ".ext"), extensions.encode())
    if key == "rsa":
        _run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
              "-out", key_file])
    else:
        _run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:" + key,
              "-out", key_file])
    _run(["openssl", "req", "-new", "-key", key_file, "-out", request, "-subj", subject])
    signing = (["-CA", issuer[0], "-CAkey", issuer[1], "-CAcreateserial"] if issuer
               else ["-signkey", key_file])
    _run(["openssl", "x509", "-req", "-in", request, "-out", cert, "-days", "30",
          "-extfile", ext] + signing)
    return cert, key_file
