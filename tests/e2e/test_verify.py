#!/usr/bin/env python3
"""The -verify checks on PE files signed at test time with osslsigncode, run
through the proof probe natively and under wine.

    test_verify.py PROOF_PROBE [EMULATOR...] [-- unittest arguments]
"""

import copy
import hashlib
import os
import resource
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import zipfile

import der
import harness
import pe_files
import zip_files

RUN = harness.RUN
# Debian's shim-signed and shim-unsigned: installed, or unpacked (dpkg-deb -x)
# under the folder TARVOLIN_SHIM_ROOT names.
SHIM_ROOT = os.environ.get("TARVOLIN_SHIM_ROOT", "/")
SHIM_SIGNED = os.path.join(SHIM_ROOT, "usr/lib/shim/shimx64.efi.signed")
SHIM_UNSIGNED = os.path.join(SHIM_ROOT, "usr/lib/shim/shimx64.efi")


def authenticode(image, algorithm):
    """The digest as the format defines it, computed here independently."""
    checksum, entry, offset, size = pe_files.layout(image)
    end = offset if size else len(image)
    data = image[:checksum] + image[checksum + 4:entry] + image[entry + 8:end]
    data += b"\0" * ((8 - end % 8) % 8)
    return hashlib.new(algorithm, data).hexdigest()


def flipped(image, offset):
    changed = bytearray(image)
    changed[offset] ^= 0x01
    return bytes(changed)


class Workspace(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tarvolin-verify-")
        cls.signer = pe_files.make_certificate(cls.dir, "signer", "Tarvolin Test Signer")
        cls.other = pe_files.make_certificate(cls.dir, "other", "Someone Else")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def probe(self, *args):
        paths = [harness.windows_path(a) if a.startswith("/") else a for a in args]
        result = harness.run(paths, timeout=harness.limit(60, 180))
        out = result.stdout.decode("utf-8", "replace")
        # An empty standard output is a probe that never reached its verdict:
        # its standard error says why.
        if not out:
            out = "(no verdict; standard error: %r)" % result.stderr[-2000:]
        return result.returncode, out

    def signed_pair(self, name, image, digest="sha256"):
        source = pe_files.write(self.path(name + ".in"), image)
        return source, pe_files.sign(source, self.path(name + ".out"), self.signer, digest)

    def assert_proven(self, result, *inputs, signer=None):
        args = [result] + (["--signer", signer] if signer else []) + list(inputs)
        code, out = self.probe(*args)
        self.assertEqual((code, out.startswith("Verified ")), (0, True), out)
        return out

    def assert_refused(self, result, *inputs, reason="", signer=None):
        args = [result] + (["--signer", signer] if signer else []) + list(inputs)
        code, out = self.probe(*args)
        self.assertEqual(code, 1, out)
        self.assertTrue(out.startswith("Verification failed: "), out)
        self.assertEqual(out.count("\n"), 1, out)
        self.assertIn(reason, out)
        return out


class Accepted(Workspace):
    def test_signed_images_of_every_shape(self):
        digests = ["sha1", "sha256", "sha512"]
        number = 0
        for plus in (False, True):
            for remainder in range(8):
                # Remainder 0 twice: with and without data after the section.
                for trailing in ({remainder} | ({0, 8} if remainder == 0 else set())):
                    digest = digests[number % 3]
                    number += 1
                    image = pe_files.make_pe(plus, b"\x90" * (100 + remainder) + b"\xc3",
                                             b"\xab" * trailing)
                    with self.subTest(plus=plus, size=len(image), digest=digest):
                        self.assertEqual(len(image) % 8, trailing % 8)
                        source, result = self.signed_pair("shape%d" % number, image, digest)
                        out = self.assert_proven(result, source)
                        name = {"sha1": "SHA-1", "sha256": "SHA-256", "sha512": "SHA-512"}
                        self.assertIn(" %s %s, 1 signature, signer Tarvolin Test Signer\n" % (
                            name[digest], authenticode(image, digest)[:16]), out)

    def test_nested_and_appended_signatures_all_count(self):
        source, first = self.signed_pair("nested", pe_files.make_pe(True, b"\xc3" * 77))
        nested = pe_files.sign(first, self.path("nested.twice"), self.other, "sha1", nest=True)
        out = self.assert_proven(nested, source)
        self.assertIn("SHA-256", out)
        self.assertIn("2 signatures, signer Tarvolin Test Signer", out)
        # A nested signature over another file's digest is refused.
        stranger_in, stranger = self.signed_pair("stranger", pe_files.make_pe(True, b"\x90"))
        image = pe_files.read(nested)
        _, _, offset, _ = pe_files.layout(image)
        other_image = pe_files.read(pe_files.sign(
            stranger, self.path("stranger.twice"), self.other, "sha1", nest=True))
        _, _, other_offset, _ = pe_files.layout(other_image)
        mixed = image[:offset] + other_image[other_offset:]
        self.assert_refused(pe_files.write(self.path("mixed"), mixed), source,
                            reason="signature 1 does not match the file it is in")

    def test_an_input_signed_before_is_hashed_without_its_table(self):
        source, first = self.signed_pair("resign", pe_files.make_pe(False, b"\xc3" * 9, b"x"))
        again = pe_files.sign(first, self.path("resign.again"), self.other, "sha256")
        self.assert_proven(again, first)
        self.assert_proven(again, source)

    def test_signer_certificate_in_pem_or_der_or_its_issuer(self):
        source, result = self.signed_pair("anchor", pe_files.make_pe(True))
        der = self.path("signer.der")
        subprocess.run(["openssl", "x509", "-in", self.signer[0], "-outform", "DER", "-out",
                        der], check=True)
        self.assert_proven(result, source, signer=self.signer[0])
        self.assert_proven(result, source, signer=der)
        self.assert_refused(result, source, signer=self.other[0],
                            reason="the signer does not chain to the given certificate")
        self.assert_refused(result, source, signer=source, reason="cannot be read")
        # A leaf issued by a CA, carrying its chain: the CA, or the leaf
        # itself (a partial chain), may be named.
        authority = pe_files.make_certificate(self.dir, "authority", "Tarvolin Test CA")
        leaf = pe_files.make_certificate(self.dir, "leaf", "Tarvolin Leaf", issuer=authority)
        chain = pe_files.write(self.path("chain.pem"), pe_files.read(leaf[0]) +
                               pe_files.read(authority[0]))
        issued = pe_files.sign(source, self.path("issued.out"), leaf, chain=chain)
        self.assertIn("signer Tarvolin Leaf", self.assert_proven(issued, source,
                                                                 signer=authority[0]))
        self.assert_proven(issued, source, signer=leaf[0])
        self.assert_refused(issued, source, signer=self.signer[0],
                            reason="does not chain to the given certificate")

    def test_known_answer_microsoft_signed_shim(self):
        if not (os.path.exists(SHIM_SIGNED) and os.path.exists(SHIM_UNSIGNED)):
            self.skipTest("Debian's shim-signed and shim-unsigned are not installed "
                          "(nor unpacked under TARVOLIN_SHIM_ROOT)")
        # Microsoft signs Debian's build as it stands: two table entries,
        # 6 bytes past a multiple of 8 before the padding.
        out = self.assert_proven(SHIM_SIGNED, SHIM_UNSIGNED)
        self.assertIn(" SHA-256 %s, 2 signatures, signer Microsoft Windows UEFI Driver "
                      "Publisher\n" % authenticode(pe_files.read(SHIM_UNSIGNED), "sha256")[:16],
                      out)
        self.assert_refused(SHIM_SIGNED, self.signed_pair(
            "not-shim", pe_files.make_pe(True))[0], reason="is not the uploaded input")


class Refused(Workspace):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # 13 bytes after the section: the signer pads 3 zero bytes before
        # the table, which are hashed too.
        cls.image = pe_files.make_pe(True, b"\x90" * 300 + b"\xc3", b"appended data")
        cls.source = pe_files.write(os.path.join(cls.dir, "victim.in"), cls.image)
        cls.result = pe_files.sign(cls.source, os.path.join(cls.dir, "victim.out"),
                                   cls.signer)
        cls.signed = pe_files.read(cls.result)

    def test_one_byte_flipped_in_each_hashed_region(self):
        checksum, entry, offset, _ = pe_files.layout(self.signed)
        regions = {
            "MZ header": 0x3C - 1,
            "PE header before CheckSum": checksum - 5,  # SizeOfImage
            "between CheckSum and the table entry": checksum + 4,
            "after the table entry": entry + 8,
            "section": 0x200 + 10,
            "appended data": len(self.image) - 1,
            "padding before the table": offset - 1,
        }
        for region, at in regions.items():
            with self.subTest(region=region):
                path = pe_files.write(self.path("flip"), flipped(self.signed, at))
                self.assert_refused(path, self.source, reason="does not match the file it is in")
        path = pe_files.write(self.path("flip"), flipped(self.signed, checksum + 1))
        self.assert_proven(path, self.source)

    def test_results_that_are_not_the_input_plus_a_signature(self):
        checksum, entry, offset, size = pe_files.layout(self.signed)
        table = bytearray(self.signed[offset:])

        def with_table(new_table):
            image = bytearray(self.signed[:offset]) + new_table
            struct.pack_into("<II", image, entry, offset, len(new_table))
            return bytes(image)

        # 16 bytes hidden inside the entry's length.
        hidden = bytearray(table) + b"HIDDEN-16-BYTES!"
        struct.pack_into("<I", hidden, 0, struct.unpack_from("<I", table)[0] + 16)
        bogus_entry = struct.pack("<IHH", 16, 0x0200, 2) + b"\x30\x06" + b"\0" * 6
        _, other = self.signed_pair("other-program", pe_files.make_pe(True, b"\x91" * 301))
        der_end = len(self.signed) - 8  # inside the signature value near its end
        cases = [
            ("tampered section", flipped(self.signed, 0x200 + 20),
             "does not match the file it is in"),
            ("another signed program", pe_files.read(other), "is not the uploaded input"),
            ("unsigned", self.image, "it holds no signature"),
            ("bytes hidden in the table", with_table(hidden), "more than 7 bytes after"),
            ("extra table entry", with_table(table + bogus_entry), "entry 2"),
            ("data after the table", self.signed + b"\0" * 8, "not at the end of the file"),
            ("table entry moved", flipped(self.signed, entry), "not at the end of the file"),
            ("broken signature", flipped(self.signed, der_end), "signature does not verify"),
            ("HTML page", b"<html><body>Signed!</body></html>\n", "it is not a PE file"),
            ("empty", b"", "it is not a PE file"),
        ]
        for what, data, reason in cases:
            with self.subTest(what=what):
                self.assert_refused(pe_files.write(self.path("bad"), data), self.source,
                                    reason=reason)

    def test_inputs_must_be_pe_files_before_the_upload(self):
        text = pe_files.write(self.path("notes.txt"), b"MZ but nothing more")
        code, out = self.probe("--inputs", self.source, text)
        self.assertEqual(code, 1)
        self.assertEqual(out, "[%s] is not a PE file to sign: it is too short to be a PE "
                         "file\n" % harness.windows_path(text))
        self.assertEqual(self.probe("--inputs", self.source, self.result)[0], 0)
        # An input whose own table entry claims its code: hashed without the
        # table, it would leave the code out.
        image = bytearray(self.image)
        _, entry, _, _ = pe_files.layout(self.image)
        struct.pack_into("<II", image, entry, 0x200, len(image) - 0x200)
        claimed = pe_files.write(self.path("claimed.in"), bytes(image))
        self.assertEqual(self.probe("--inputs", claimed), (1, (
            "[%s] is not a PE file to sign: its certificate table overlaps the headers or a "
            "section\n") % harness.windows_path(claimed)))
        headers_only = image[:0x200] + self.signed[pe_files.layout(self.signed)[2]:]
        self.assert_refused(pe_files.write(self.path("headers-only"), headers_only), claimed,
                            reason="the input %s changed: its certificate table overlaps"
                            % harness.windows_path(claimed))


TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
NESTED = "1.3.6.1.4.1.311.2.4.1"
SHA256 = der.seq(der.oid("2.16.840.1.101.3.4.2.1"), der.NULL)
RSA = der.seq(der.oid("1.2.840.113549.1.1.1"), der.NULL)
PAYLOAD = der.octets(b"MZ" + b"\x90" * 20000)


def issuer_and_serial(certificate):
    fields = certificate[1][0][1]
    fields = fields[1:] if fields[0][0] == 0xA0 else fields
    return der.seq(fields[2], fields[0])


def unchecked_signer(certificate, attributes=(), unsigned=None):
    """A SignerInfo as a countersigner or time stamp authority writes it,
    with signed attributes of the kinds they sign (its signature is not
    checked, so any value serves)."""
    signed = [der.attribute("1.2.840.113549.1.9.3", der.oid("1.2.840.113549.1.7.1")),
              der.attribute("1.2.840.113549.1.9.5", [0x17, b"260101000000Z"]),
              der.attribute("1.2.840.113549.1.9.4", der.octets(b"\x11" * 32))] + list(attributes)
    fields = [der.integer(1), issuer_and_serial(certificate), SHA256, [0xA0, signed], RSA,
              der.octets(b"\x22" * 256)]
    return der.seq(*(fields + ([[0xA1, unsigned]] if unsigned else [])))


def time_stamp_token(certificate, info_extra=(), signer=None):
    """An RFC 3161 token of the shape a time stamp authority returns."""
    info = der.seq(der.integer(1), der.oid("1.3.6.1.4.1.99999.2"),
                   der.seq(SHA256, der.octets(b"\x33" * 32)), der.integer(424242),
                   [0x18, b"20260101000000Z"], *info_extra)
    content = der.seq(der.oid("1.2.840.113549.1.9.16.1.4"),
                      [0xA0, [der.octets(der.encode(info))]])
    signed_data = der.seq(der.integer(3), der.set_of(SHA256), content, [0xA0, [certificate]],
                          der.set_of(signer or unchecked_signer(certificate)))
    return der.seq(der.oid("1.2.840.113549.1.7.2"), [0xA0, [signed_data]])


def with_unsigned(signature, *attributes):
    if signature.signer[-1][0] != 0xA1:
        signature.signer.append([0xA1, []])
    signature.signer[-1][1].extend(attributes)


def tiny_attributes(count):
    return [der.attribute("1.2.3.%d" % n) for n in range(count)]


class HostileSignatures(Workspace):
    """An honest signed result, changed only where no signature covers the
    bytes: every change must be refused on both builds."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.source = pe_files.write(os.path.join(cls.dir, "honest.in"),
                                    pe_files.make_pe(True, b"\x90" * 64 + b"\xc3"))
        cls.result = pe_files.sign(cls.source, os.path.join(cls.dir, "honest.out"), cls.signer)
        cls.honest = pe_files.read(cls.result)

    def changed(self, change):
        signature = der.Signature(self.honest)
        change(signature)
        return pe_files.write(self.path("hostile"), signature.image_with())

    def test_the_writer_gives_back_the_honest_signature(self):
        self.assertEqual(der.Signature(self.honest).image_with(), self.honest)

    def test_harmless_unsigned_attributes_are_accepted(self):
        def stamped(s):
            certificate = s.certificates()[0]
            with_unsigned(s, der.attribute(COUNTERSIGNATURE, unchecked_signer(certificate)),
                          der.attribute(TIME_STAMP, time_stamp_token(certificate)))
        self.assert_proven(self.changed(stamped), self.source, signer=self.signer[0])

    def test_every_hostile_signature_is_refused(self):
        def cert(s):
            return s.certificates()[0]

        def nested_with_payload(s):
            inner = copy.deepcopy(s)
            with_unsigned(inner, der.attribute("1.2.3.4", PAYLOAD))
            with_unsigned(s, der.attribute(NESTED, inner.tree))

        def set_field(path, value):
            def change(s):
                node = s.signer if path[0] == "signer" else s.signed_data
                for index in path[1:-1]:
                    node = node[index][1]
                node[path[-1]] = value
            return change

        def changed_message_digest(s):
            for attribute in s.signer[3][1]:
                if attribute[1][0] == der.oid("1.2.840.113549.1.9.4"):
                    value = attribute[1][1][1][0]
                    value[1] = bytes([value[1][0] ^ 1]) + value[1][1:]

        def certificates(extra):
            return lambda s: s.certificates().extend(extra(s))

        rows = [
            ("100 KB under an unknown unsigned attribute",
             lambda s: with_unsigned(s, der.attribute("1.3.6.1.4.1.99999.1", PAYLOAD)),
             "unsigned attribute of a kind this agent does not accept"),
            ("an OCTET STRING under the time stamp's type",
             lambda s: with_unsigned(s, der.attribute(TIME_STAMP, PAYLOAD)),
             "time stamp is not one well-formed token"),
            ("a time stamp token and one more value",
             lambda s: with_unsigned(s, der.attribute(TIME_STAMP, time_stamp_token(cert(s)),
                                                      PAYLOAD)),
             "time stamp is not one well-formed token"),
            ("a time stamp whose TSTInfo has extensions",
             lambda s: with_unsigned(s, der.attribute(TIME_STAMP, time_stamp_token(
                 cert(s), info_extra=[[0xA1, [PAYLOAD]]]))),
             "time stamp is not one well-formed token"),
            ("a time stamp signer with an unknown attribute",
             lambda s: with_unsigned(s, der.attribute(TIME_STAMP, time_stamp_token(
                 cert(s), signer=unchecked_signer(cert(s), [der.attribute("1.2.3.4",
                                                                          PAYLOAD)])))),
             "time stamp is not one well-formed token"),
            ("a time stamp signer with unsigned attributes",
             lambda s: with_unsigned(s, der.attribute(TIME_STAMP, time_stamp_token(
                 cert(s), signer=unchecked_signer(cert(s), unsigned=[PAYLOAD])))),
             "time stamp is not one well-formed token"),
            ("a countersignature of other bytes",
             lambda s: with_unsigned(s, der.attribute(COUNTERSIGNATURE, PAYLOAD)),
             "countersignature is malformed or too large"),
            ("a countersignature with a large signed attribute",
             lambda s: with_unsigned(s, der.attribute(COUNTERSIGNATURE, unchecked_signer(
                 cert(s), [der.attribute("1.2.840.113549.1.9.5", PAYLOAD)]))),
             "countersignature is malformed or too large"),
            ("a countersignature twice",
             lambda s: with_unsigned(s, *[der.attribute(COUNTERSIGNATURE,
                                                        unchecked_signer(cert(s)))] * 2),
             "unsigned attributes are malformed"),
            ("the signature nested twice",
             lambda s: with_unsigned(s, der.attribute(NESTED, *[copy.deepcopy(s.tree)] * 2)),
             "it holds the same signature twice"),
            ("a nested signature with a hidden attribute", nested_with_payload,
             "unsigned attribute of a kind this agent does not accept"),
            ("parameters of the signer's digest algorithm",
             set_field(("signer", 2, 1), PAYLOAD), "names no digest algorithm"),
            ("parameters of the signer's signature algorithm",
             set_field(("signer", 4, 1), PAYLOAD), "names no signature algorithm"),
            ("parameters in SignedData's digestAlgorithms",
             set_field(("signed", 1, 0, 1), PAYLOAD),
             "names a digest algorithm this agent does not know"),
            ("a 50 KB SignedData version",
             set_field(("signed", 0), [0x02, b"\x01" + b"\x00" * 50000]),
             "version other than 1 to 5"),
            ("a SignerInfo version of two octets",
             set_field(("signer", 0), [0x02, b"\x00\x01"]), "version other than 1 or 3"),
            ("CRLs of other bytes",
             lambda s: s.signed_data.insert(-1, [0xA1, [PAYLOAD]]), "its CRLs are malformed"),
            ("17 certificates", certificates(lambda s: [cert(s)] * 16),
             "its certificates are malformed, too many or too large"),
            ("a certificate of another format ([3])",
             certificates(lambda s: [[0xA3, [der.oid("1.2.3.4"), PAYLOAD]]]),
             "its certificates are malformed, too many or too large"),
            ("a 20 KB certificate",
             certificates(lambda s: [der.seq(der.seq(PAYLOAD), RSA, [0x03, b"\0"])]),
             "its certificates are malformed, too many or too large"),
            ("a field after the signer infos", lambda s: s.signed_data.append(PAYLOAD),
             "its SignedData is malformed"),
            ("a field after the signature value", lambda s: s.signer.append(PAYLOAD),
             "its signer information is malformed"),
            ("a signer no carried certificate names",
             set_field(("signer", 1, 1), der.integer(7)),
             "its signer is not named by a certificate it carries"),
            # The signed message digest against the content it is the digest
            # of: libcrypto compares them, wine's CryptoAPI does not.
            ("a changed message digest", changed_message_digest,
             "its signed message digest does not match its content"),
            ("a changed content", lambda s: s.signed_data[2][1][1][1][0][1][0][1].append(
                der.octets(b"x")), "its signed message digest does not match its content"),
            ("4 MiB of tiny unsigned attributes",
             lambda s: with_unsigned(s, *tiny_attributes(370000)),
             "unsigned attribute of a kind this agent does not accept"),
        ]
        for what, change, reason in rows:
            with self.subTest(what=what):
                path = self.changed(change)
                self.assert_refused(path, self.source, reason=reason)
                self.assert_refused(path, self.source, reason=reason, signer=self.signer[0])

    def test_tiny_attributes_cost_no_memory(self):
        if not RUN.memory_measured or RUN.emulator:
            harness.wine_gap(self, "peak memory is measured on the native build only")
            self.skipTest("peak memory is not measured under this tool")
        hostile = self.changed(lambda s: with_unsigned(s, *tiny_attributes(370000)))
        self.assertGreater(os.path.getsize(hostile), 3 * 1024 * 1024)
        peaks = []
        for path in (self.result, hostile):
            result = harness.run([path, self.source], timeout=60, measure_peak=True)
            peaks.append(result.peak)
        self.assertLess(peaks[1], peaks[0] + 16 * 1024 * 1024, peaks)


class ChainPolicy(Workspace):
    """One policy for -signer on both builds: a chain of a root, an
    intermediate and a leaf, each changed in one way."""

    def test_chain_policy(self):
        root = pe_files.make_issued(self.dir, "root", "/O=Good/CN=Tarvolin Root",
                                    pe_files.CA_EXTENSIONS)
        source = pe_files.write(self.path("chained.in"), pe_files.make_pe(True))
        name_constraint = (pe_files.CA_EXTENSIONS + "nameConstraints=critical,permitted;"
                           "dirName:good\n[good]\nO=Good\n")
        code_signing_ca = pe_files.CA_EXTENSIONS + "extendedKeyUsage=codeSigning\n"
        server_only_ca = pe_files.CA_EXTENSIONS + "extendedKeyUsage=serverAuth\n"
        not_a_ca = "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
        encipher_only = ("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,"
                         "keyEncipherment\nextendedKeyUsage=codeSigning\n")
        leaf_server = ("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,"
                       "digitalSignature\nextendedKeyUsage=serverAuth\n")
        leaf = pe_files.LEAF_EXTENSIONS
        # (what, intermediate's extensions, leaf's extensions, leaf subject, key,
        #  accepted, what the refusal names)
        rows = [
            ("honest chain", code_signing_ca, leaf, "/O=Good/CN=Leaf", "rsa", True, ""),
            ("no EKU above the leaf", pe_files.CA_EXTENSIONS, leaf, "/O=Good/CN=Leaf", "rsa",
             True, ""),
            ("leaf within the name constraint", name_constraint, leaf, "/O=Good/CN=Leaf", "rsa",
             True, ""),
            ("leaf outside the name constraint", name_constraint, leaf, "/O=Evil/CN=Leaf",
             "rsa", False, "does not chain"),
            ("intermediate for server authentication only", server_only_ca, leaf,
             "/O=Good/CN=Leaf", "rsa", False, "not for code signing"),
            ("intermediate that is no CA", not_a_ca, leaf, "/O=Good/CN=Leaf", "rsa", False,
             "does not chain"),
            ("leaf for key encipherment only", code_signing_ca, encipher_only,
             "/O=Good/CN=Leaf", "rsa", False, "not for digital signatures"),
            ("leaf for server authentication", code_signing_ca, leaf_server, "/O=Good/CN=Leaf",
             "rsa", False, "not for code signing"),
            ("ECDSA P-256 leaf", code_signing_ca, leaf, "/O=Good/CN=Leaf", "P-256", True, ""),
            ("ECDSA P-384 leaf", code_signing_ca, leaf, "/O=Good/CN=Leaf", "P-384", True, ""),
        ]
        for number, (what, middle_ext, leaf_ext, subject, key, accepted, reason) in \
                enumerate(rows):
            with self.subTest(what=what):
                middle = pe_files.make_issued(self.dir, "mid%d" % number,
                                              "/O=Good/CN=Intermediate %d" % number,
                                              middle_ext, issuer=root)
                signer = pe_files.make_issued(self.dir, "leaf%d" % number, subject, leaf_ext,
                                              issuer=middle, key=key)
                chain = pe_files.write(self.path("chain%d.pem" % number), b"".join(
                    pe_files.read(p) for p in (signer[0], middle[0], root[0])))
                result = pe_files.sign(source, self.path("chained%d.out" % number), signer,
                                       chain=chain)
                if not accepted:
                    self.assert_refused(result, source, reason=reason, signer=root[0])
                    continue
                if key != "rsa":
                    code, out = self.probe(result, "--signer", root[0], source)
                    if code != 0 and harness.wine_gap(
                            self, "wine's CryptoAPI cannot check an ECDSA signature: %s"
                            % out.strip(), skip=False):
                        self.assertIn("signer's signature does not verify", out)
                        continue
                self.assert_proven(result, source, signer=root[0])
                self.assert_proven(result, source)


class Zipped(Workspace):
    def test_entries_match_the_inputs_by_digest_not_by_name(self):
        inputs, results = [], []
        for number in range(3):
            source, result = self.signed_pair("z%d" % number, pe_files.make_pe(
                number % 2 == 0, b"\x90" * (number + 1)))
            inputs.append(source)
            results.append(result)

        def archive(name, members):
            path = self.path(name)
            with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zip_file:
                for entry_name, member in members:
                    zip_file.write(member, entry_name)
            return path

        # Names swapped and order reversed: matched by content.
        swapped = archive("swapped.zip", [("z0.exe", results[2]), ("z1.exe", results[1]),
                                          ("z2.exe", results[0])])
        out = self.assert_proven(swapped, *inputs)
        self.assertIn("3 signatures", out)
        self.assert_refused(archive("short.zip", [("a", results[0]), ("b", results[1])]),
                            *inputs, reason="2 entries for 3 inputs")
        # The entry's name is the service's: shown on the one line, control
        # characters and all made harmless.
        self.assert_refused(archive("twice.zip", [("a", results[0]), ("b", results[0]),
                                                  ("c", results[1])]),
                            *inputs, reason="zip entry 2 (b): it is none of the uploaded inputs")
        self.assert_refused(archive("more.zip", [("a", results[0]), ("b", results[1]),
                                                 ("c", results[2]), ("d", results[2])]),
                            *inputs, reason="it holds 4 entries for 3 inputs")
        self.assert_refused(results[0], *inputs, reason="not a zip")


class HostileZips(Workspace):
    """Zips built from an honest result of two inputs, bent one way each:
    every one is refused, so that no unzipper can see other files than the
    proof saw."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.inputs, results = [], []
        for number in range(2):
            source = pe_files.write(os.path.join(cls.dir, "h%d.in" % number),
                                    pe_files.make_pe(True, b"\x90" * (number + 5)))
            cls.inputs.append(source)
            results.append(pe_files.read(pe_files.sign(
                source, os.path.join(cls.dir, "h%d.out" % number), cls.signer)))
        cls.signed = results
        cls.program = pe_files.make_pe(True, b"\xcc" * 40)

    def honest(self, **changes):
        """The two entries, the second changed by `changes`."""
        return [zip_files.entry("a.exe", self.signed[0]),
                zip_files.entry(changes.pop("name", "b.exe"), self.signed[1], **changes)]

    def write(self, data):
        return pe_files.write(self.path("hostile.zip"), data)

    def test_honest_zips_of_several_inputs_are_accepted(self):
        self.assert_proven(self.write(zip_files.build(self.honest())), *self.inputs)
        stored = [zip_files.entry("a.exe", self.signed[0], method=0, packed=self.signed[0],
                                  packed_size=len(self.signed[0]), made_by=0x0014,
                                  external=0x20),
                  zip_files.entry("B.exe", self.signed[1])]
        self.assert_proven(self.write(zip_files.build(stored)), *self.inputs)
        # As Info-ZIP's zip writes them, time-stamp and owner fields included.
        folder = tempfile.mkdtemp(dir=self.dir)
        for number, data in enumerate(self.signed):
            pe_files.write(os.path.join(folder, "p%d.exe" % number), data)
        packed = self.path("info-zip.zip")
        subprocess.run(["zip", "-q", packed, "p0.exe", "p1.exe"], cwd=folder, check=True)
        self.assert_proven(packed, *self.inputs)

    def test_each_bent_zip_is_refused(self):
        a, b = self.signed
        program = zip_files.entry("evil.exe", self.program)
        cases = [
            ("program before the first entry", dict(prefix=self.program), "entry 1: its local"),
            ("junk between entries", dict(between=b"junk"), "entry 2: its local header is not"),
            ("junk before the directory", dict(before_directory=b"\0" * 8), "bytes lie between"),
            ("a comment", dict(comment=b"x" * 60000), "end record"),
            ("local header with no central record",
             dict(entries=[zip_files.entry("evil.exe", self.program, in_central=False)] +
                  self.honest()),
             "entry 1: its local header is not"),
            ("folder holding a program",
             dict(entries=self.honest(name="b/", external=(0o40755 << 16) | 0x10)),
             "entry 2: its name is not a plain file name"),
            ("folder attributes", dict(entries=self.honest(external=0x10)),
             "entry 2: its MS-DOS attributes"),
            ("duplicate names", dict(entries=self.honest(name="a.exe")), "used twice"),
            ("names differing in case", dict(entries=self.honest(name="A.EXE")), "used twice"),
            ("../../x.exe", dict(entries=self.honest(name="../../x.exe")), "plain file name"),
            ("/abs.exe", dict(entries=self.honest(name="/abs.exe")), "plain file name"),
            ("a\\b.exe", dict(entries=self.honest(name="a\\b.exe")), "plain file name"),
            ("..", dict(entries=self.honest(name="..")), "entry 2: its name"),
            ("drive letter", dict(entries=self.honest(name="c:b.exe")), "plain file name"),
            ("control character", dict(entries=self.honest(name="b\n.exe")), "control character"),
            ("trailing dot", dict(entries=self.honest(name="b.exe.")), "ends in a dot"),
            ("device name", dict(entries=self.honest(name="nul.exe")), "device"),
            ("Latin-1 name without the UTF-8 flag",
             dict(entries=self.honest(name=b"b\xe9.exe")), "neither ASCII"),
            ("symbolic link", dict(entries=self.honest(external=0o120777 << 16)),
             "not a plain file's"),
            ("setuid mode", dict(entries=self.honest(external=0o104755 << 16)),
             "not a plain file's"),
            ("unknown host system", dict(entries=self.honest(made_by=0x0B14)), "unknown system"),
            ("encrypted flag", dict(entries=self.honest(flags=1)), "encryption"),
            ("data descriptor", dict(entries=self.honest(flags=8)), "data descriptor"),
            ("method bzip2", dict(entries=self.honest(method=12)), "method 12"),
            ("name of 256 bytes", dict(entries=self.honest(name="b" * 252 + ".exe")),
             "longer than 255 bytes"),
            ("name of 300 bytes", dict(entries=self.honest(name="b" * 300)),
             "longer than 255 bytes"),
            ("entry comment", dict(entries=self.honest(comment=b"hi")), "comment"),
            ("unknown extra field", dict(entries=self.honest(extra=b"\x99\x99\x02\x00ab")),
             "extra field of kind"),
            ("zip64 where no size needs it", dict(entries=self.honest(wide=True)),
             "zip64 where no size needs it"),
            ("more entries than inputs", dict(entries=self.honest() + [program]),
             "3 entries for 2 inputs"),
            ("fewer entries than inputs", dict(entries=self.honest()[:1]),
             "1 entries for 2 inputs"),
            ("local size differs", dict(entries=self.honest(local_size=len(b) + 1)),
             "differs from its central record"),
            ("local name differs", dict(entries=self.honest(local_name=b"c.exe")),
             "names another file"),
            ("local flags differ", dict(entries=self.honest(local_flags=0x800)), "differs"),
            ("CRC differs", dict(entries=self.honest(crc=1)), "CRC"),
            ("program under the input's name", dict(entries=[
                zip_files.entry("a.exe", a), zip_files.entry("b.exe", self.program)]),
             "entry 2 (b.exe)"),
        ]
        for what, layout, reason in cases:
            with self.subTest(what=what):
                entries = layout.pop("entries", None) or self.honest()
                path = self.write(zip_files.build(entries, **layout))
                self.assert_refused(path, *self.inputs, reason=reason)

    def test_a_cancel_while_an_entry_is_proven_leaves_no_unpacked_file(self):
        harness.wine_gap(self, "the temporary folder is wine's own")
        big = pe_files.write(self.path("big.in"),
                             pe_files.make_pe(True, b"\xc3", b"\x5a" * (48 << 20)))
        signed = pe_files.read(pe_files.sign(big, self.path("big.out"), self.signer))
        stored = zip_files.entry("big.exe", signed, method=0, packed=signed,
                                 packed_size=len(signed))
        path = self.write(zip_files.build([stored, zip_files.entry("a.exe", self.signed[0])]))
        temp = tempfile.mkdtemp(dir=self.dir)
        probe = subprocess.Popen([harness.RUN.program, path, big, self.inputs[0]],
                                 env=dict(os.environ, TMPDIR=temp), stdout=subprocess.PIPE)
        try:
            deadline = time.monotonic() + 60
            # Once bytes are written, the file is registered for the cancel.
            def unpacking():
                for name in os.listdir(temp):
                    try:
                        if name.startswith("tvz") and os.path.getsize(os.path.join(temp, name)):
                            return True
                    except OSError:
                        pass
                return False
            while not unpacking():
                self.assertIsNone(probe.poll(), "the probe ended before it unpacked")
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.001)
            probe.send_signal(signal.SIGINT)
            out, _ = probe.communicate(timeout=60)
        finally:
            if probe.poll() is None:
                probe.kill()
                probe.wait()
        self.assertEqual((probe.returncode, out), (-signal.SIGINT, b""))
        self.assertEqual(os.listdir(temp), [])

    def probe_bounded(self, path):
        """The probe with at most 64 MiB per file written, and its temporary
        folder of its own (natively): no bomb may fill the disk, and no
        unpacked entry may stay behind. Returns the exit code, the output,
        the time taken and, where memory is measured, the peak."""
        temp = tempfile.mkdtemp(dir=self.dir)
        limit = 64 << 20

        def bounded():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        started = time.monotonic()
        result = harness.run([harness.windows_path(path)] +
                             [harness.windows_path(p) for p in self.inputs],
                             timeout=harness.limit(60, 180), preexec_fn=bounded,
                             env=dict(os.environ, TMPDIR=temp), measure_peak=True)
        elapsed = time.monotonic() - started
        out = result.stdout.decode("utf-8", "replace")
        if not harness.wine_gap(self, "the temporary folder is wine's own", skip=False):
            self.assertEqual(os.listdir(temp), [], out)
        return result.returncode, out, elapsed, getattr(result, "peak", 0)

    def test_bombs_and_floods_cost_little(self):
        a, b = self.signed
        code, _, honest_time, honest_peak = self.probe_bounded(
            self.write(zip_files.build(self.honest())))
        self.assertEqual(code, 0)
        # 1 GiB declared, and a stream that unpacks to 32 MiB under a small
        # declared size: nothing near either is written.
        declared = self.honest(size=1 << 30)
        endless = zip_files.entry("b.exe", b)
        endless["packed"] = zip_files._deflate(b + b"\0" * (32 << 20))
        endless["packed_size"] = len(endless["packed"])
        flood = self.honest() + [zip_files.entry("d%d/" % n, b"", external=0x10)
                                 for n in range(60000)]
        for what, entries, reason in [
                ("declared 1 GiB", declared, "more than the largest input"),
                ("unpacks past its size", [self.honest()[0], endless], "more bytes than it declares"),
                ("flood of folder entries", flood, "60002 entries for 2 inputs")]:
            with self.subTest(what=what):
                code, out, elapsed, peak = self.probe_bounded(self.write(zip_files.build(entries)))
                self.assertEqual(code, 1, out)
                self.assertIn(reason, out)
                self.assertLess(elapsed, 2 * honest_time + 2, out)
                self.assertLessEqual(peak, honest_peak + (16 << 20), out)


if __name__ == "__main__":
    harness.main("test_verify.py PROOF_PROBE [EMULATOR...]")
