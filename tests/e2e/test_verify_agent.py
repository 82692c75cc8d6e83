#!/usr/bin/env python3
"""The agent's -verify and -signer against the local signing service, honest
and in each of its fault modes, natively and under wine.

    test_verify_agent.py AGENT [EMULATOR...] [-- unittest arguments]
"""

import os
import re
import shutil
import tempfile
import unittest

import harness
import pe_files
from test_local_service import RunningService, minimal_pe
from test_verify import authenticode

SIGNER = "Tarvolin Local Development Signing"
KEPT = re.compile(rb"tarvolin-agent: saving: the result did not pass verification; "
                  rb"the downloaded result is kept in (.+)\n")


class VerifyingAgent(unittest.TestCase):
    services = {}

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tarvolin-verify-agent-")
        cls.state = os.path.join(cls.dir, "state")

    @classmethod
    def tearDownClass(cls):
        for service in cls.services.values():
            service.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def service(self, fault=None):
        """One service per mode, all with the same certificate."""
        if fault not in self.services:
            extra = ["--state-dir", self.state] + (["--fault", fault] if fault else [])
            self.services[fault] = RunningService(*extra)
        return self.services[fault]

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="run-", dir=self.dir)

    def write(self, name, data):
        return pe_files.write(os.path.join(self.work, name), data)

    def agent(self, service, *args, extra_env=None):
        env = {k: v for k, v in os.environ.items()
               if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy",
                                    "tarvolin_auth_key")}
        env["http_proxy"] = "http://127.0.0.1:%d" % service.port
        env.update(extra_env or {})
        result = harness.run(("-k", "demo-key") + args, harness.limit(120, 300),
                             cwd=self.work, env=env)
        return result.returncode, result.stdout, result.stderr

    def kept_file(self, err):
        """The temporary file the agent named as kept, as a path here."""
        match = KEPT.search(err)
        self.assertIsNotNone(match, err)
        path = match.group(1).decode()
        if harness.RUN.wine:
            path = harness.run(["-u", path], 60, program="winepath").stdout.decode().strip()
        return path

    def test_a_result_cut_once_is_resumed_and_proven_whole(self):
        """The digest runs on across the resume, and the result is still
        proven whole: a digest that took the first half twice, or lost it,
        would not match the signature."""
        image = minimal_pe(b"resumed")
        self.write("tool.exe", image)
        code, out, err = self.agent(self.service("cut-once"), "-verify", "-i", "tool.exe",
                                    "-o", "out.exe", extra_env={"TARVOLIN_TRACE": "1",
                                                                "TARVOLIN_RETRIES": "2"})
        self.assertEqual(code, 0, err)
        self.assertEqual(out.decode(), "Verified out.exe: tool.exe SHA-256 %s, 1 signature, "
                         "signer %s\nSucceeded.\n" % (authenticode(image, "sha256")[:16], SIGNER))
        self.assertRegex(err, rb"tarvolin-agent: download: .*; retrying in \d+ s "
                         rb"\(attempt 2 of 3\)")
        self.assertRegex(err, rb"> Range: bytes=[1-9]\d*-\r?\n> If-Range: \"")
        self.assertRegex(err, rb"< HTTP/1\.[01] 206 ")

    def test_an_honest_result_is_proven_and_saved(self):
        image = minimal_pe(b"honest")
        self.write("tool.exe", image)
        code, out, _ = self.agent(self.service(), "-verify", "-i", "tool.exe", "-o", "out.exe")
        self.assertEqual(code, 0, out)
        self.assertEqual(out.decode(), "Verified out.exe: tool.exe SHA-256 %s, 1 signature, "
                         "signer %s\nSucceeded.\n" % (authenticode(image, "sha256")[:16], SIGNER))
        # -signer with the service's own certificate, in any spelling.
        os.remove(os.path.join(self.work, "out.exe"))
        code, out, _ = self.agent(self.service(), "/SIGNER",
                                  harness.windows_path(os.path.join(self.state, "dev-signing-cert.pem")),
                                  "-i", "tool.exe", "-o", "out.exe")
        self.assertEqual(code, 0, out)
        self.assertTrue(out.endswith(b"Succeeded.\n"), out)
        self.assertTrue(os.path.exists(os.path.join(self.work, "out.exe")))

    def test_several_inputs_are_proven_through_the_zip(self):
        for name, mark in (("one.exe", b"1"), ("two.dll", b"2")):
            self.write(name, minimal_pe(mark))
        code, out, _ = self.agent(self.service(), "-verify", "-i", "one.exe", "-i", "two.dll")
        self.assertEqual(code, 0, out)
        self.assertRegex(out.decode(), r"^Verified signed\.zip: one\.exe SHA-256 [0-9a-f]{16}, "
                         r"two\.dll SHA-256 [0-9a-f]{16}, 2 signatures, signer %s\n"
                         r"Succeeded\.\n$" % SIGNER)
        # Into a folder: each signed file under its input's name, matched by
        # its digest.
        os.mkdir(os.path.join(self.work, "out"))
        code, out, _ = self.agent(self.service(), "-verify", "-i", "one.exe", "two.dll",
                                  "-o", "out")
        self.assertEqual(code, 0, out)
        self.assertTrue(out.startswith(b"Verified out: one.exe SHA-256 "), out)
        self.assertEqual(["one.exe", "two.dll"], sorted(os.listdir(os.path.join(self.work, "out"))))
        for name, mark in (("one.exe", b"1"), ("two.dll", b"2")):
            with open(os.path.join(self.work, "out", name), "rb") as signed:
                self.assertEqual(authenticode(signed.read(), "sha256"),
                                 authenticode(minimal_pe(mark), "sha256"))

    def test_inputs_and_signer_files_are_checked_before_any_request(self):
        self.write("tool.exe", minimal_pe())
        self.write("readme.txt", b"not a program, and long enough to hold an MZ header" * 2)
        service = self.service()
        before = service.log_text().count("version.aspx")
        code, out, _ = self.agent(service, "-verify", "-i", "tool.exe", "-i", "readme.txt")
        self.assertEqual((code, out), (1, b"[readme.txt] is not a PE file to sign: "
                                          b"no MZ header\n"))
        self.assertEqual(service.log_text().count("version.aspx"), before)
        for missing in ("missing.pem", "readme.txt"):
            code, out, _ = self.agent(service, "-signer", missing, "-i", "tool.exe")
            self.assertEqual((code, out), (1, b"[%s] is not a certificate (PEM or DER)\n" %
                                              missing.encode()))
        self.assertEqual(service.log_text().count("version.aspx"), before)

    def test_a_signer_that_is_not_the_given_one_is_refused(self):
        other = pe_files.make_certificate(self.work, "other", "Someone Else")
        self.write("tool.exe", minimal_pe(b"anchor"))
        code, out, err = self.agent(self.service(), "-signer", "other.pem", "-i", "tool.exe",
                                    "-o", "out.exe")
        self.assertEqual(code, 1, out)
        self.assertTrue(out.startswith(b"Verification failed: the result: signature 1: the "
                                       b"signer does not chain to the given certificate"), out)
        os.remove(self.kept_file(err))
        self.assertFalse(os.path.exists(os.path.join(self.work, "out.exe")))

    def test_every_fault_of_the_service_is_refused_and_nothing_is_written(self):
        cases = [  # (fault mode, inputs, what the failure line says)
            ("tampered", 1, b"does not match the file it is in"),
            ("other-program", 1, b"is not the uploaded input tool0.exe"),
            ("unsigned", 1, b"it holds no signature"),
            ("hidden-bytes", 1, b"holds more than 7 bytes after its signature"),
            ("extra-entry", 1, b"certificate table entry 2"),
            ("html", 1, b"it is not a PE file: no MZ header"),
            ("zip-missing", 2, b"it holds 1 entries for 2 inputs"),
        ]
        for fault, count, reason in cases:
            with self.subTest(fault=fault):
                inputs = []
                for number in range(count):
                    self.write("tool%d.exe" % number, minimal_pe(fault.encode() + b"%d" % number))
                    inputs += ["-i", "tool%d.exe" % number]
                output = self.write("out.bin", b"the previous output")
                code, out, err = self.agent(self.service(fault), "-verify", "-o", "out.bin",
                                            *inputs)
                self.assertEqual(code, 1, out)
                self.assertTrue(out.startswith(b"Verification failed: "), out)
                self.assertEqual(out.count(b"\n"), 1, out)
                self.assertTrue(out.endswith(b"\n"), out)
                self.assertIn(reason, out)
                self.assertEqual(pe_files.read(output), b"the previous output")
                kept = self.kept_file(err)
                self.assertTrue(os.path.isfile(kept), kept)
                os.remove(kept)

    def test_without_verify_a_faulty_result_is_saved_as_before(self):
        self.write("tool.exe", minimal_pe(b"trusting"))
        code, out, _ = self.agent(self.service("tampered"), "-i", "tool.exe", "-o", "out.exe")
        self.assertEqual((code, out), (0, b"Succeeded.\n"))


if __name__ == "__main__":
    harness.main("test_verify_agent.py AGENT [EMULATOR...]")
