#!/usr/bin/env python3
"""The local signing service, on the wire and through the real agent.

    test_local_service.py [AGENT [EMULATOR...]] [-- unittest arguments]

Without AGENT only the service's own protocol is tested (with http.client).
The agent's service URLs are fixed to localhost:8080, so it reaches the
service, started on a free port, through its proxy setting (http_proxy), or
over HTTPS through TARVOLIN_SERVICE_URL.
"""

import http.client
import hashlib
import io
import os
import shutil
import signal
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import harness

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
SERVICE = os.path.join(REPO, "local-service", "tarvolin_service.py")
sys.path.insert(0, os.path.join(REPO, "local-service"))

import form_data  # noqa: E402

MIN_VERSION = "1.5"


def minimal_pe(payload=b""):
    """A small but well-formed PE32+ console image holding payload."""
    file_align, section_align = 0x200, 0x1000
    raw = payload + b"\xc3"
    raw_size = (len(raw) + file_align - 1) // file_align * file_align
    raw = raw.ljust(raw_size, b"\0")
    dos = bytearray(64)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 64)
    coff = struct.pack("<HHIIIHH", 0x8664, 1, 0, 0, 0, 240, 0x0022)
    virtual = (len(raw) + section_align - 1) // section_align * section_align
    optional = struct.pack("<HBBIIIII", 0x20B, 14, 0, raw_size, 0, 0, section_align,
                           section_align)
    optional += struct.pack("<QIIHHHHHHIIIIHHQQQQII", 0x140000000, section_align,
                            file_align, 6, 0, 0, 0, 6, 0, 0, section_align + virtual, 0x200,
                            0, 3, 0x8160, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += b"\0" * (16 * 8)
    section = struct.pack("<8sIIIIIIHHI", b".text", len(raw), section_align, raw_size,
                          0x200, 0, 0, 0, 0, 0x60000020)
    headers = (bytes(dos) + b"PE\0\0" + coff + optional + section).ljust(0x200, b"\0")
    return headers + raw


def multipart(fields, files, boundary=b"-----------------------------7A3F01C2004B1E"):
    """A body as the agent writes it: text parts, then file parts."""
    body = b""
    for name, value in fields:
        body += (b"--" + boundary + b'\r\nContent-Disposition: form-data; name="' + name +
                 b'"\r\n\r\n' + value + b"\r\n")
    for name, filename, content in files:
        body += (b"--" + boundary + b'\r\nContent-Disposition: form-data; name="' + name +
                 b'"; filename="' + filename + b'"\r\nContent-Type: application/octet-stream'
                 b"\r\n\r\n" + content + b"\r\n")
    return body + b"--" + boundary + b"--\r\n", boundary


def signature_verifies(path, cert):
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return result.returncode == 0 and b"Signature verification: ok" in result.stdout


class RunningService:
    """The service as a process on a free port, with its own state folder."""

    def __init__(self, *extra):
        self.dir = tempfile.mkdtemp(prefix="tarvolin-service-test-")
        self.state = os.path.join(self.dir, "state")
        port_file = os.path.join(self.dir, "port")
        self.log = open(os.path.join(self.dir, "service.log"), "wb")
        self.process = subprocess.Popen(
            [sys.executable, SERVICE, "--port", "0", "--port-file", port_file,
             "--state-dir", self.state, "--min-version", MIN_VERSION] + list(extra),
            stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 60  # the first start makes an RSA key
        while not os.path.exists(port_file):
            if self.process.poll() is not None or time.time() > deadline:
                raise RuntimeError("the service did not start:\n" + self.log_text())
            time.sleep(0.05)
        with open(port_file) as f:
            self.port = int(f.read())
        self.cert = os.path.join(self.state, "dev-signing-cert.pem")
        # With --https: the service's own certificate, which clients trust.
        self.tls_cert = (os.path.join(self.state, "tls-cert.pem") if "--https" in extra
                         else None)

    def log_text(self):
        if not self.log.closed:
            self.log.flush()
        with open(self.log.name, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self, signum=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(signum)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        return self.process.returncode

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def request(self, method, target, body=None, headers=None):
        if self.tls_cert:
            connection = http.client.HTTPSConnection(
                "localhost", self.port, timeout=60,
                context=ssl.create_default_context(cafile=self.tls_cert))
        else:
            connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            connection.request(method, target, body=body, headers=headers or {})
            reply = connection.getresponse()
            return reply.status, dict(reply.getheaders()), reply.read()
        finally:
            connection.close()

    def post_form(self, path, fields, files=(), target_host=None):
        body, boundary = multipart(fields, files)
        target = ("http://%s%s" % (target_host, path)) if target_host else path
        return self.request("POST", target, body, {
            "Content-Type": "multipart/form-data;  boundary=" + boundary.decode(),
            "Agent-Version": harness.AGENT_VERSION})


def reply_fields(body):
    """code, title, text and url of an XML reply (a plain reader for the tests)."""
    import xml.etree.ElementTree as ElementTree
    root = ElementTree.fromstring(body)
    assert root.tag == "result", body
    return (int(root.findtext("code")), root.findtext("title") or "",
            root.findtext("text") or "", root.findtext("url") or "")


class FormReaderTests(unittest.TestCase):
    """The streaming multipart reader, on bodies that break naive readers."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarvolin-form-test-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def parse(self, body, boundary, length=None):
        return form_data.parse_form(io.BytesIO(body), len(body) if length is None else length,
                                    boundary, lambda i: os.path.join(self.dir, "f%d" % i))

    def test_fields_and_files_come_back_byte_for_byte(self):
        # Contents that hold CR LF, a near-boundary and the delimiter's prefix,
        # placed across the reader's chunk borders.
        tricky = (b"\r\n--" + b"-" * 27 + b"7A3F01C2004B1" + b"\r\n") * 3
        big = os.urandom(form_data.CHUNK_SIZE - 20) + tricky + os.urandom(70000) + b"\r\n"
        body, boundary = multipart(
            [(b"authId", b"k\r\ney"), (b"version", b"")],
            [(b"filename1", b"a.exe", big), (b"filename2", "ü b.dll".encode(), b"")])
        parts = self.parse(body, boundary)
        self.assertEqual([p.name for p in parts],
                         [b"authId", b"version", b"filename1", b"filename2"])
        self.assertEqual(parts[0].value, b"k\r\ney")
        self.assertEqual(parts[1].value, b"")
        self.assertEqual(parts[2].filename, b"a.exe")
        with open(parts[2].path, "rb") as f:
            self.assertEqual(f.read(), big)
        self.assertEqual(parts[2].size, len(big))
        self.assertEqual(parts[3].filename, "ü b.dll".encode())
        self.assertEqual(os.path.getsize(parts[3].path), 0)

    def test_names_are_read_without_escaping(self):
        # The agent writes names between quotes as they are, quotes included.
        body, boundary = multipart([(b'a"b', b"1")], [(b"filename1", b'x"; y.exe', b"z")])
        parts = self.parse(body, boundary)
        self.assertEqual(parts[0].name, b'a"b')
        self.assertEqual(parts[1].filename, b'x"; y.exe')

    def test_broken_bodies_are_refused(self):
        body, boundary = multipart([(b"authId", b"demo-key")], [])
        cases = {
            "no closing boundary": body[:-len(boundary) - 6],
            "other boundary": body.replace(boundary, b"-" * 10 + b"X"),
            "no disposition": body.replace(b"Content-Disposition", b"Content-Whatever"),
            "garbage after a boundary": body[:-4] + b"x\r\n--" + boundary + b"--\r\n",
        }
        for label, broken in cases.items():
            with self.subTest(label):
                with self.assertRaises(form_data.FormError):
                    self.parse(broken, boundary)
        with self.assertRaisesRegex(form_data.FormError, "before its announced length"):
            self.parse(body, boundary, length=len(body) + 10)

    def test_a_refused_body_is_still_read_to_its_end(self):
        # The agent writes its whole body before it reads the answer.
        body, boundary = multipart([(b"authId", b"demo-key")],
                                   [(b"filename1", b"a.exe", b"x" * 300000)])
        broken = body.replace(b"Content-Disposition", b"Content-Whatever", 1)
        stream = io.BytesIO(broken + b"next request")
        with self.assertRaises(form_data.FormError):
            form_data.parse_form(stream, len(broken), boundary,
                                 lambda i: os.path.join(self.dir, "f%d" % i))
        self.assertEqual(stream.tell(), len(broken))

    def test_boundary_from_the_agents_content_type(self):
        self.assertEqual(form_data.boundary_from_content_type(
            "multipart/form-data;  boundary=---XY"), b"---XY")
        self.assertEqual(form_data.boundary_from_content_type(
            'multipart/form-data; boundary="a b"'), b"a b")
        for bad in ("text/plain", "multipart/form-data", "multipart/form-data; boundary="):
            with self.assertRaises(form_data.FormError):
                form_data.boundary_from_content_type(bad)


class ServiceProtocolTests(unittest.TestCase):
    """The service's four calls, spoken directly."""

    @classmethod
    def setUpClass(cls):
        cls.service = RunningService()

    @classmethod
    def tearDownClass(cls):
        cls.service.close()

    def jobs(self):
        return os.listdir(os.path.join(self.service.state, "jobs"))

    def test_version_check(self):
        post = self.service.post_form
        cases = [
            ([(b"authId", b"demo-key"), (b"version", b"1.5")], 0),
            ([(b"authId", b"demo-key"), (b"version", b"1.10")], 0),
            ([(b"authId", b"demo-key")], 0),
            ([(b"authId", b"demo-key"), (b"version", b"1.4.9")], 4),
            ([(b"authId", b"demo-key"), (b"version", b"1.5beta")], 4),
            ([(b"authId", b"wrong-key"), (b"version", b"2.0")], 3),
            ([(b"version", b"2.0")], 3),
            ([(b"authId", b"\x01<&>" * 100)], 3),
            ([(b"authId", b"demo-key"), (b"version", b"\x02<1>")], 4),
        ]
        for fields, code in cases:
            with self.subTest(fields=fields):
                status, _, body = post("/tarvolinFE/version.aspx", fields)
                self.assertEqual(status, 200)
                got_code, title, text, _ = reply_fields(body)
                self.assertEqual(got_code, code)
                if code:
                    self.assertTrue(title and text)
        # A refused key is a secret all the same: it is never quoted back.
        for key, part in ((b"wrong-key", "wrong-key"), (b"\x01<&>" * 100, "<&>")):
            _, _, body = post("/tarvolinFE/version.aspx", [(b"authId", key)])
            text = reply_fields(body)[2]
            self.assertIn("The key is not known", text)
            self.assertNotIn(part, text)

    def test_key_file_edits_take_effect_at_once(self):
        with open(os.path.join(self.service.state, "keys.txt"), "a") as f:
            f.write("team-key\n")
        _, _, body = self.service.post_form("/tarvolinFE/version.aspx",
                                            [(b"authId", b"team-key")])
        self.assertEqual(reply_fields(body)[0], 0)

    def test_one_pe_file_is_signed_and_served_on_the_host_it_was_reached_by(self):
        original = minimal_pe(b"one")
        # Proxy (absolute) form, as the agent sends through http_proxy.
        status, _, body = self.service.post_form(
            "/tarvolinFE/upload.aspx", [(b"authId", b"demo-key"), (b"version", b"2")],
            [(b"filename1", b"tool.exe", original)], target_host="localhost:8080")
        code, _, _, url = reply_fields(body)
        self.assertEqual((status, code), (200, 0))
        prefix = "http://localhost:8080/tarvolinFE/download/"
        self.assertTrue(url.startswith(prefix) and url.endswith("/tool.exe"), url)
        status, headers, signed = self.service.request("GET", url)
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["Content-Length"]), len(signed))
        self.assertGreater(len(signed), len(original))
        path = os.path.join(self.service.dir, "tool.exe")
        with open(path, "wb") as f:
            f.write(signed)
        self.assertTrue(signature_verifies(path, self.service.cert))
        # Origin form: the URL names the Host header's host.
        _, _, body = self.service.post_form(
            "/tarvolinFE/upload.aspx", [(b"authId", b"demo-key")],
            [(b"filename1", b"tool.exe", original)])
        self.assertTrue(reply_fields(body)[3].startswith(
            "http://127.0.0.1:%d/tarvolinFE/download/" % self.service.port))

    def test_several_files_give_a_zip_with_distinct_names(self):
        files = [(b"filename1", b"a.exe", minimal_pe(b"1")),
                 (b"filename2", b"C:\\x\\..\\b.dll", minimal_pe(b"2")),
                 (b"filename3", b"A.exe", minimal_pe(b"3"))]
        _, _, body = self.service.post_form("/tarvolinFE/upload.aspx",
                                            [(b"authId", b"demo-key")], files)
        code, _, _, url = reply_fields(body)
        self.assertEqual(code, 0)
        self.assertTrue(url.endswith("/signed.zip"), url)
        status, headers, data = self.service.request("GET", url)
        self.assertEqual(headers["Content-Type"], "application/zip")
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            self.assertEqual(archive.namelist(), ["a.exe", "b.dll", "A-2.exe"])
            out = os.path.join(self.service.dir, "unzipped")
            archive.extractall(out)
        for name in ("a.exe", "b.dll", "A-2.exe"):
            self.assertTrue(signature_verifies(os.path.join(out, name), self.service.cert))

    def test_refused_uploads_leave_nothing_behind(self):
        before = set(self.jobs())
        cases = [
            ([(b"authId", b"nope")], [(b"filename1", b"a.exe", minimal_pe())], 3),
            ([(b"authId", b"demo-key"), (b"version", b"1.0")],
             [(b"filename1", b"a.exe", minimal_pe())], 4),
            ([(b"authId", b"demo-key")],
             [(b"filename1", b"a.exe", minimal_pe()), (b"filename2", b"notes.txt", b"hi")], 5),
            ([(b"authId", b"demo-key")], [(b"filename1", b"dos.exe", b"MZ" + b"\0" * 200)], 5),
            ([(b"authId", b"demo-key")], [], 7),
        ]
        for fields, files, expected in cases:
            with self.subTest(code=expected):
                _, _, body = self.service.post_form("/tarvolinFE/upload.aspx", fields, files)
                code, title, text, url = reply_fields(body)
                self.assertEqual(code, expected)
                self.assertEqual(url, "")
                self.assertTrue(title and text)
        _, _, body = self.service.post_form(
            "/tarvolinFE/upload.aspx", [(b"authId", b"demo-key")],
            [(b"filename1", b"notes.txt", b"plain text")])
        self.assertIn("notes.txt cannot be signed", reply_fields(body)[2])
        self.assertEqual(set(self.jobs()), before)

    def test_bad_requests_get_a_status_and_a_line_of_text(self):
        status, _, body = self.service.request("POST", "/tarvolinFE/upload.aspx", b"x=1", {
            "Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(status, 400)
        self.assertTrue(body.endswith(b"\n") and b"multipart" in body)
        status, _, _ = self.service.request("POST", "/tarvolinFE/nothing.aspx", b"", {})
        self.assertEqual(status, 404)
        too_big = RunningService("--max-upload-mb", "1")
        try:
            body, boundary = multipart([(b"authId", b"demo-key")],
                                       [(b"filename1", b"a.exe", b"\0" * (1 << 20))])
            status, _, _ = too_big.request("POST", "/tarvolinFE/upload.aspx", body, {
                "Content-Type": "multipart/form-data; boundary=" + boundary.decode()})
            self.assertEqual(status, 413)
        finally:
            too_big.close()

    @unittest.skipUnless(os.path.exists("/proc/self/status"), "needs /proc")
    def test_a_large_upload_is_streamed_in_bounded_memory(self):
        size = 96 << 20
        head, boundary = multipart([(b"authId", b"demo-key")], [])
        head = head[:-len(boundary) - 6] + (
            b"--" + boundary + b'\r\nContent-Disposition: form-data; name="filename1"; '
            b'filename="big.exe"\r\nContent-Type: application/octet-stream\r\n\r\n')
        tail = b"\r\n--" + boundary + b"--\r\n"

        def body():
            yield head
            chunk = b"MZ" + b"\0" * (1 << 20)  # an MZ header that points nowhere
            for _ in range(size // len(chunk)):
                yield chunk
            yield b"\0" * (size % len(chunk))
            yield tail

        status, _, reply = self.service.request("POST", "/tarvolinFE/upload.aspx", body(), {
            "Content-Type": "multipart/form-data;  boundary=" + boundary.decode(),
            "Content-Length": str(len(head) + size + len(tail))})
        code, _, text, _ = reply_fields(reply)
        self.assertEqual((status, code), (200, 5))
        self.assertIn("big.exe cannot be signed", text)
        with open("/proc/%d/status" % self.service.process.pid) as f:
            peak_kib = int(next(l for l in f if l.startswith("VmHWM:")).split()[1])
        self.assertLess(peak_kib, 64 << 10)

    def test_downloads_are_found_only_by_their_own_address(self):
        _, _, body = self.service.post_form("/tarvolinFE/upload.aspx",
                                            [(b"authId", b"demo-key")],
                                            [(b"filename1", b"my app.exe", minimal_pe())])
        url = reply_fields(body)[3]
        self.assertTrue(url.endswith("/my%20app.exe"), url)
        self.assertEqual(self.service.request("GET", url)[0], 200)
        job = url.split("/")[-2]
        for target in (url[:-len("my%20app.exe")] + "other.exe",
                       "/tarvolinFE/download/%s/my%%20app.exe" % ("0" * 32),
                       "/tarvolinFE/download/../state/keys.txt"):
            with self.subTest(target=target):
                self.assertEqual(self.service.request("GET", target)[0], 404)
        self.assertEqual(len(job), 32)

    def test_upgrade_query_names_a_page_on_the_service(self):
        status, _, body = self.service.request(
            "GET", "http://localhost:8080/tarvolinFE/version.aspx?type=upgrade")
        code, title, text, url = reply_fields(body)
        self.assertEqual((status, code), (200, 0))
        self.assertEqual(url, "http://localhost:8080/tarvolinFE/upgrade.html")
        self.assertTrue(title and MIN_VERSION in text)
        status, headers, page = self.service.request("GET", "/tarvolinFE/upgrade.html")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/html"))
        self.assertIn(b"<html>", page)

    def test_every_request_is_logged_on_one_line(self):
        self.service.request("GET", "/tarvolinFE/version.aspx?type=upgrade")
        self.service.post_form("/tarvolinFE/version.aspx", [(b"authId", b"x")])
        wanted = ["GET /tarvolinFE/version.aspx?type=upgrade 200 code=0 http://127.0.0.1:",
                  "POST /tarvolinFE/version.aspx 200 code=3"]
        # The line is written once the reply is out, so it may trail the reply.
        deadline = time.time() + 10
        while True:
            lines = self.service.log_text().splitlines()
            found = [any(w in line and "(agent " in line for line in lines) for w in wanted]
            if all(found) or time.time() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(found, [True, True], lines)
        self.assertTrue(any("agent " + harness.AGENT_VERSION in line for line in lines))


class ServiceLifecycleTests(unittest.TestCase):
    def test_stops_on_sigint_and_sigterm_and_keeps_its_state(self):
        first = RunningService()
        try:
            with open(first.cert, "rb") as f:
                cert = f.read()
            with open(os.path.join(first.state, "keys.txt"), "a") as f:
                f.write("kept-key\n")
            self.assertEqual(first.stop(signal.SIGINT), 0)
            self.assertIn("stopped", first.log_text())
            again = subprocess.Popen(
                [sys.executable, SERVICE, "--port", "0", "--state-dir", first.state],
                stderr=subprocess.PIPE)
            line = again.stderr.readline()
            self.assertIn(b"listening on", line)
            port = int(line.split(b"http://127.0.0.1:")[1].split(b"/")[0])
            # An idle kept-alive connection does not hold the service up.
            idle = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            idle.request("GET", "/tarvolinFE/upgrade.html")
            self.assertEqual(idle.getresponse().read()[:15], b"<!DOCTYPE html>")
            again.send_signal(signal.SIGTERM)
            self.assertEqual(again.wait(10), 0)
            idle.close()
            again.stderr.close()
            with open(first.cert, "rb") as f:
                self.assertEqual(f.read(), cert)
            with open(os.path.join(first.state, "keys.txt")) as f:
                self.assertIn("kept-key", f.read())
        finally:
            first.close()

    def test_an_interpreter_without_python3_multipart_is_told_so(self):
        # -S leaves out site-packages, where Debian's python3-multipart lives,
        # as a venv's or pyenv's python3 would.
        with tempfile.TemporaryDirectory() as state:
            result = subprocess.run([sys.executable, "-S", SERVICE, "--port", "0",
                                     "--state-dir", state], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, timeout=30)
        self.assertEqual(result.returncode, 1)
        self.assertNotIn(b"Traceback", result.stderr)
        self.assertIn(b"Install the Debian package python3-multipart", result.stderr)

    def test_a_busy_port_is_reported(self):
        first = RunningService()
        try:
            result = subprocess.run(
                [sys.executable, SERVICE, "--port", str(first.port), "--state-dir", first.state],
                stderr=subprocess.PIPE, timeout=30)
            self.assertEqual(result.returncode, 1)
            self.assertIn(b"cannot listen on 127.0.0.1:%d" % first.port, result.stderr)
        finally:
            first.close()


class AgentTests(unittest.TestCase):
    """The real agent, reaching the service through its proxy setting."""

    @classmethod
    def setUpClass(cls):
        if not harness.RUN.program:
            raise unittest.SkipTest("no agent given")
        cls.service = RunningService()

    @classmethod
    def tearDownClass(cls):
        cls.service.close()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="tarvolin-agent-run-", dir=self.service.dir)

    def write(self, name, data):
        with open(os.path.join(self.work, name), "wb") as f:
            f.write(data)

    def agent(self, *args, key_variable=None, with_stderr=False):
        env = {k: v for k, v in os.environ.items()
               if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy",
                                    "tarvolin_auth_key")}
        env["http_proxy"] = "http://127.0.0.1:%d" % self.service.port
        if key_variable is not None:
            env["TARVOLIN_AUTH_KEY"] = key_variable
        # Relative paths: the same on both builds, and under wine.
        result = harness.run(args, 180, cwd=self.work, env=env)
        if with_stderr:
            return result.returncode, result.stdout, result.stderr
        return result.returncode, result.stdout

    def test_wrong_key_gives_the_services_message_and_code(self):
        self.write("a.exe", minimal_pe())
        code, out = self.agent("-k", "wrong-key", "-v", "2.0", "-i", "a.exe", "-o", "out.exe")
        self.assertEqual(code, 3)
        self.assertEqual(out, b"Authorisation refused\n\nThe key is not known to this "
                         b"service. Keys are listed in " +
                         os.path.join(self.service.state, "keys.txt").encode() + b".\n")
        self.assertFalse(os.path.exists(os.path.join(self.work, "out.exe")))

    def test_key_from_the_environment_is_used_unless_k_is_given_and_never_shown(self):
        secret, other = "env-secret-7f3a91", "cli-wrong-2c88d0"
        with open(os.path.join(self.service.state, "keys.txt"), "a") as f:
            f.write(secret + "\n")
        self.write("tool.exe", minimal_pe(b"env"))
        run = ("-v", "2.0", "-i", "tool.exe", "-o", "tool-signed.exe")
        usage = b"Usage : "
        cases = [  # (command line, TARVOLIN_AUTH_KEY, exit code, output starts with)
            (run, secret, 0, b"Succeeded.\n"),
            (("-k", other) + run, secret, 3, b"Authorisation refused"),
            (("-k", secret) + run, other, 0, b"Succeeded.\n"),
            (run, other, 3, b"Authorisation refused"),
            (run, "", 1, usage),
            (run, None, 1, usage),
        ]
        logged_before = self.service.log_text().count("/version.aspx")
        for args, variable, expected_code, expected_start in cases:
            with self.subTest(args=args[:2], variable=variable):
                signed = os.path.join(self.work, "tool-signed.exe")
                if os.path.exists(signed):
                    os.remove(signed)
                code, out, err = self.agent(*args, key_variable=variable, with_stderr=True)
                self.assertEqual(code, expected_code, out)
                self.assertTrue(out.startswith(expected_start), out)
                self.assertEqual(os.path.exists(signed), expected_code == 0)
                for key in (secret, other):
                    self.assertNotIn(key.encode(), out + err)
        # Every request has been logged once its reply was out.
        deadline = time.time() + 10
        while (self.service.log_text().count("/version.aspx") < logged_before + 4 and
               time.time() < deadline):
            time.sleep(0.05)
        log = self.service.log_text()
        self.assertGreaterEqual(log.count("/version.aspx"), logged_before + 4, log)
        for key in (secret, other):
            self.assertNotIn(key, log)

    def test_version_below_the_minimum_is_refused(self):
        self.write("a.exe", minimal_pe())
        code, out = self.agent("-k", "demo-key", "-v", "1.4", "-i", "a.exe", "-o", "out.exe")
        self.assertEqual(code, 4)
        self.assertTrue(out.startswith(b"Version refused"), out)
        self.assertIn(b"1.4 is older than 1.5", out)
        self.assertFalse(os.path.exists(os.path.join(self.work, "out.exe")))

    def test_a_file_that_is_not_a_windows_program_is_refused(self):
        self.write("readme.txt", b"not a program\n")
        code, out = self.agent("-k", "demo-key", "-i", "readme.txt", "-o", "out.exe")
        self.assertEqual(code, 5)
        self.assertIn(b"readme.txt cannot be signed: it does not start with an MZ header", out)
        self.assertFalse(os.path.exists(os.path.join(self.work, "out.exe")))

    def test_one_program_is_signed(self):
        self.write("tool.exe", minimal_pe(b"agent"))
        code, out = self.agent("-k", "demo-key", "-v", "2.0", "-i", "tool.exe",
                               "-o", "tool-signed.exe")
        self.assertEqual((code, out), (0, b"Succeeded.\n"))
        signed = os.path.join(self.work, "tool-signed.exe")
        self.assertTrue(signature_verifies(signed, self.service.cert))
        # Without -o the name comes from the download address.
        os.remove(os.path.join(self.work, "tool-signed.exe"))
        os.rename(os.path.join(self.work, "tool.exe"), os.path.join(self.work, "in.exe"))
        code, out = self.agent("-k", "demo-key", "-i", "in.exe")
        self.assertEqual((code, out), (0, b"Succeeded.\n"))
        self.assertTrue(signature_verifies(os.path.join(self.work, "in.exe"),
                                           self.service.cert))

    def test_several_programs_give_a_zip_of_signed_files(self):
        for name, mark in (("one.exe", b"1"), ("two.dll", b"2"), ("three.exe", b"3")):
            self.write(name, minimal_pe(mark))
        code, out = self.agent("-k", "demo-key", "-i", "one.exe", "-i", "two.dll",
                               "-i", "three.exe")
        self.assertEqual((code, out), (0, b"Succeeded.\n"))
        with zipfile.ZipFile(os.path.join(self.work, "signed.zip")) as archive:
            self.assertEqual(archive.namelist(), ["one.exe", "two.dll", "three.exe"])
            out_dir = os.path.join(self.work, "unzipped")
            archive.extractall(out_dir)
        for name in ("one.exe", "two.dll", "three.exe"):
            self.assertTrue(signature_verifies(os.path.join(out_dir, name), self.service.cert))


# What the agent reads to find the certificates it trusts on Linux.
TRUST_VARIABLES = ("CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR")
WINE_ROOTS = "HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"


def wine_reg(*args):
    return subprocess.run(harness.RUN.emulator + ["reg"] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=120)


def pem_to_der(path):
    with open(path) as f:
        return ssl.PEM_cert_to_DER_cert(f.read())


class HttpsAgentTests(unittest.TestCase):
    """The real agent over the service's own HTTPS. On Linux it trusts the
    service's certificate through CURL_CA_BUNDLE or SSL_CERT_FILE; under
    wine the certificate is put into the user's root store for the run, as a
    Windows user would import a private CA."""

    @classmethod
    def setUpClass(cls):
        if not harness.RUN.program:
            raise unittest.SkipTest("no agent given")
        cls.service = RunningService("--https")
        der = pem_to_der(cls.service.tls_cert)
        # The registry form of a store entry: the certificate as its one
        # property (id 32, CERT_CERT_PROP_ID), under its SHA-1 thumbprint.
        cls.wine_root = WINE_ROOTS + hashlib.sha1(der).hexdigest().upper()
        cls.wine_blob = struct.pack("<III", 32, 1, len(der)) + der
        if harness.RUN.wine:
            try:
                cls.trust_in_wine(True)
            except RuntimeError:
                cls.service.close()
                raise

    @classmethod
    def tearDownClass(cls):
        if harness.RUN.wine:
            cls.trust_in_wine(False)
        cls.service.close()

    @classmethod
    def trust_in_wine(cls, trusted):
        if trusted:
            done = wine_reg("add", cls.wine_root, "/v", "Blob", "/t", "REG_BINARY",
                            "/d", cls.wine_blob.hex(), "/f")
        else:
            done = wine_reg("delete", cls.wine_root, "/f")
        if done.returncode != 0:
            raise RuntimeError("reg failed: %r" % done.stdout)

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="tarvolin-agent-https-", dir=self.service.dir)
        with open(os.path.join(self.work, "tool.exe"), "wb") as f:
            f.write(minimal_pe(b"over https"))

    def agent(self, trust, *args):
        env = {k: v for k, v in os.environ.items()
               if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy",
                                    "tarvolin_auth_key") and k not in TRUST_VARIABLES}
        env.update(trust)
        env["TARVOLIN_SERVICE_URL"] = "https://localhost:%d/tarvolinFE/" % self.service.port
        return harness.run(("-k", "demo-key") + args, 180, cwd=self.work, env=env)

    def test_the_service_hands_out_https_addresses(self):
        _, _, body = self.service.post_form("/tarvolinFE/upload.aspx",
                                            [(b"authId", b"demo-key")],
                                            [(b"filename1", b"tool.exe", minimal_pe())])
        url = reply_fields(body)[3]
        self.assertTrue(url.startswith("https://localhost:%d/tarvolinFE/download/" %
                                       self.service.port), url)
        self.assertEqual(self.service.request("GET", url)[0], 200)
        _, _, body = self.service.request("GET", "/tarvolinFE/version.aspx?type=upgrade")
        self.assertTrue(reply_fields(body)[3].startswith("https://localhost:"), body)

    def test_the_agent_signs_and_proves_over_https(self):
        trust = {"CURL_CA_BUNDLE": self.service.tls_cert}
        result = self.agent(trust, "-verify", "-signer", self.service.cert, "-i", "tool.exe",
                            "-o", "tool-signed.exe")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith(b"Verified tool-signed.exe: tool.exe "),
                        result.stdout)
        self.assertTrue(result.stdout.endswith(b"Succeeded.\n"), result.stdout)
        self.assertTrue(signature_verifies(os.path.join(self.work, "tool-signed.exe"),
                                           self.service.cert))

    def test_a_service_whose_certificate_is_not_trusted_is_not_sent_the_key(self):
        requests_before = self.service.log_text().count("/tarvolinFE/")
        if harness.RUN.wine:
            self.trust_in_wine(False)
        try:
            result = self.agent({"CURL_CA_BUNDLE": self.service.cert}, "-i", "tool.exe",
                                "-o", "out.exe")
        finally:
            if harness.RUN.wine:
                self.trust_in_wine(True)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertRegex(result.stdout, rb"^error : -303\(\d+\)\n$")
        self.assertFalse(os.path.exists(os.path.join(self.work, "out.exe")))
        # No request got through the handshake, so none was logged.
        self.assertEqual(self.service.log_text().count("/tarvolinFE/"), requests_before)

    def test_curl_ca_bundle_wins_over_ssl_cert_file(self):
        if harness.wine_gap(self, "Windows trusts its certificate store, not these variables"):
            return
        right, wrong = self.service.tls_cert, self.service.cert
        cases = [  # (trust settings, signed)
            ({"SSL_CERT_FILE": right}, True),
            ({"CURL_CA_BUNDLE": right, "SSL_CERT_FILE": wrong}, True),
            ({"CURL_CA_BUNDLE": wrong, "SSL_CERT_FILE": right}, False),
            ({"CURL_CA_BUNDLE": "", "SSL_CERT_FILE": right}, True),
            ({"CURL_CA_BUNDLE": wrong}, False),
        ]
        for trust, signed in cases:
            with self.subTest(trust=trust):
                output = os.path.join(self.work, "out.exe")
                if os.path.exists(output):
                    os.remove(output)
                result = self.agent(trust, "-i", "tool.exe", "-o", "out.exe")
                self.assertEqual(result.returncode, 0 if signed else 1, result.stderr)
                self.assertEqual(os.path.exists(output), signed)
                if not signed:
                    self.assertEqual(result.stdout, b"error : -303(60)\n")


if __name__ == "__main__":
    harness.main("test_local_service.py [AGENT [EMULATOR...]] [-- unittest arguments]",
                 program_needed=False)
