#!/usr/bin/env python3
"""The agent under hostile networks, disks and inputs.

    test_faults.py AGENT [EMULATOR...] [-- unittest arguments]

Whatever fails, every run must end within its time limit, with exit code 1
(or the service's own code), a message saying what went wrong, no output
file that looks like a result and no temporary file left behind by a failed
download. The runs use the fixture of test_agent.py: the same scripted
service reached through the proxy setting, a fresh working directory and a
temporary directory of the test's own. Some faults are raw bytes sent
instead of a composed reply (Response's `raw`).
"""

import errno
import os
import re
import resource
import shutil
import signal
import socket
import stat
import struct
import subprocess
import time

import harness
from scripted_server import ScriptedServer
from test_agent import (AgentTest, Response, DOWNLOAD_HOST, RESULT_PATH, RESULT_URL,
                        SERVICE_HOST, SIGNED, UPLOAD_PATH, VERSION_PATH, WINE_TEMP, error_lines,
                        form_parts, reply_xml)

MIB = 1024 * 1024
# The agent gives up after this long without a byte moving; the agent built
# for the tests with a shorter idle time, when the build made one.
IDLE_SECONDS = 60
SHORT_IDLE_AGENT = os.environ.get("TARVOLIN_SHORT_IDLE_AGENT")
SHORT_IDLE_SECONDS = int(os.environ.get("TARVOLIN_SHORT_IDLE_SECONDS", IDLE_SECONDS))


def huge_reply(total):
    """Status 200 and `total` bytes of XML-looking text, made as they are
    sent; the agent is expected to hang up long before the end."""
    block = (b"<result><code>0</code><text>" + b"x" * (MIB - 64) + b"</text></result>")[:MIB]

    def stream(conn):
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n"
                     % total)
        sent = 0
        while sent < total:
            piece = block[:min(MIB, total - sent)]
            conn.sendall(piece)
            sent += len(piece)
    return Response(raw=stream)


INPUT = b"input bytes\x00\xff" * 100


class FaultTest(AgentTest):
    def setUp(self):
        super().setUp()
        self.write_input("a.exe", INPUT)

    @property
    def quick_limit(self):
        # A failure that needs no waiting must be over long before any
        # network time-out could have played a part. The sanitizers' build
        # converts a 16 MiB reply many times more slowly.
        return harness.limit(30, 90) * (3 if harness.RUN.sanitized else 1)

    def sign(self, *extra, limit=None, **options):
        return self.run_agent("-k", "k", "-i", "a.exe", *extra, limit=limit or self.quick_limit,
                              **options)

    def assert_error_line(self, result, native, wine=None, loosened=None):
        """Exit code 1 and one transport error line: exactly `native` on the
        native build; under wine matching the regular expression `wine`
        (WinINet's own error numbers), or `native` when none is given. A wine
        pattern looser than the native one says why in `loosened`."""
        self.assertEqual(1, result.returncode, result.stdout)
        if loosened:
            harness.wine_gap(self, loosened, skip=False)
        self.assertRegex(result.stdout.decode("latin-1"),
                         "^%s$" % (wine if harness.RUN.wine and wine is not None else native))

    def assert_nothing_left(self):
        """No output file, no stray file in the working directory, no
        temporary file."""
        self.assertEqual(["a.exe"], sorted(os.listdir(self.work)))
        self.assert_no_temp_file()


class Network(FaultTest):
    def test_connection_refused(self):
        port = harness.free_port()
        result = self.sign(env={"http_proxy": "http://127.0.0.1:%d" % port})
        # libcurl: CURLE_COULDNT_CONNECT; WinINet: ERROR_INTERNET_CANNOT_CONNECT.
        self.assert_error_line(result, r"error : -303\(7\)\n", r"error : -303\(12029\)\n")
        # Standard error names the host, the proxy and the system's reason.
        reason = r"\(.+\)" if harness.RUN.wine else r"\(Connection refused\)"
        self.assert_cause(result, "version check", r"could not connect to %s:8080 through the "
                          r"proxy (http://)?127\.0\.0\.1:%d %s" % (re.escape(SERVICE_HOST), port,
                                                                   reason))
        self.assertEqual([], self.server.requests)
        self.assert_nothing_left()

    def test_refused_replies_proxies_and_certificates_are_named(self):
        """Standard error names what was refused and why: a reply head that
        breaks the agent's rules, a proxy's refusal with its status, and which
        check a server's certificate failed; the trace shows the proxy's
        answer and where certificates are checked."""
        host = re.escape(SERVICE_HOST)
        proxy = r"(http://)?127\.0\.0\.1:%d" % self.server.port
        long_line = b"HTTP/1.1 200 OK\r\nX-Long: " + b"h" * (300 * 1024) + b"\r\n\r\n"
        for name, answer in (("an ICY status line", b"ICY 200 OK\r\nContent-Length: 0\r\n\r\n"),
                             ("a 300 KB header line", long_line)):
            with self.subTest(name):
                self.server.reset()
                self.server.script = self.service(version=Response(raw=answer))
                result = self.sign()
                self.assertEqual(1, result.returncode)
                if not result.stdout.startswith(b"error : -402") and harness.wine_gap(
                        self, "wine's WinINet takes %s for HTTP/0.9" % name, skip=False):
                    continue
                self.assertRegex(result.stdout, rb"^error : -402\(\d+\)\n$")
                self.assert_cause(result, "version check",
                                  r"the reply from %s:8080 through the proxy %s was refused: "
                                  r"\S.+" % (host, proxy))
        # A plain-HTTP proxy's own 407 is the proxy's, not the service's.
        self.server.reset()
        self.server.script = self.service(
            version=Response(407, b"auth first", reason="Proxy Authentication Required"))
        result = self.sign()
        self.assertEqual(1, result.returncode)
        self.assert_cause(result, "version check", r"the proxy %s answered with HTTP status 407 "
                          r"\(Proxy Authentication Required\) instead of passing the request on "
                          r"to %s:8080" % (proxy, host))
        # A proxy that refuses the tunnel for https.
        for status, reason in ((407, "Proxy Authentication Required"), (403, "Forbidden")):
            with self.subTest(tunnel=status):
                if harness.wine_gap(self, "the https proxy comes from the environment on POSIX "
                                    "only"):
                    break
                self.server.reset()
                self.server.script = Response(status, b"", reason=reason)
                result = self.sign(env={"TARVOLIN_SERVICE_URL": "https://localhost:8443/t/",
                                        "https_proxy": "http://127.0.0.1:%d" % self.server.port,
                                        "TARVOLIN_TRACE": "1"})
                self.assertEqual(b"error : -303(56)\n", result.stdout)
                self.assert_cause(result, "version check", r"could not connect to localhost:8443 "
                                  r"through the proxy %s \(the proxy answered \"HTTP/1\.[01] %d "
                                  r"%s\"\)" % (proxy, status, reason))
                self.assertIn(b"\n< (proxy) HTTP/1.", result.stderr)
        with ScriptedServer(tls=True) as tls_server:
            tls_server.script = Response(200, b"never")
            for name, at, trusted, words in (
                    ("self-signed", "localhost", "/etc/ssl/certs/ca-certificates.crt",
                     "the certificate is self-signed"),
                    ("another host's", "127.0.0.1", tls_server.cert_file,
                     "the certificate names another host")):
                with self.subTest(certificate=name):
                    result = self.sign(env={
                        "TARVOLIN_SERVICE_URL": "https://%s:%d/t/" % (at, tls_server.port),
                        "SSL_CERT_FILE": trusted, "http_proxy": ""})
                    self.assertEqual([], tls_server.requests)
                    if harness.wine_gap(self, "wine's WinINet trusts only its own store, where "
                                        "the test's certificate cannot go", skip=False):
                        self.assertRegex(result.stdout, rb"^error : -303\(\d+\)\n$")
                        continue
                    self.assertEqual(b"error : -303(60)\n", result.stdout)
                    self.assert_cause(result, "version check", r"could not connect to %s:%d "
                                      r"\(%s: .+\)" % (re.escape(at), tls_server.port, words))
            if not harness.RUN.wine:
                # CURL_CA_BUNDLE wins over SSL_CERT_FILE, and the trace says so.
                result = self.sign(env={
                    "TARVOLIN_SERVICE_URL": "https://localhost:%d/t/" % tls_server.port,
                    "CURL_CA_BUNDLE": tls_server.cert_file, "SSL_CERT_FILE": "/nonexistent",
                    "http_proxy": "", "TARVOLIN_TRACE": "1"})
                self.assertEqual(1, len(tls_server.requests))
                self.assertIn(("* certificates checked against the CA file %s (CURL_CA_BUNDLE)\n"
                               % tls_server.cert_file).encode(), result.stderr)

    def test_server_closes_before_the_reply(self):
        for failing, calls in ((VERSION_PATH, 1), (UPLOAD_PATH, 2), (RESULT_PATH, 3)):
            with self.subTest(failing=failing):
                self.server.reset()
                self.server.script = self.service()
                self.server.script[failing] = Response(200, b"", close_at="before_status")
                result = self.sign()
                # libcurl: CURLE_GOT_NOTHING. wine's WinINet reports status 0,
                # which the agent refuses as no three-digit status:
                # ERROR_HTTP_INVALID_SERVER_RESPONSE.
                self.assert_error_line(result, r"error : -402\(52\)\n", r"error : -402\(12152\)\n")
                self.assertEqual(calls, len(self.server.requests))
                self.assert_nothing_left()

    def test_server_closes_in_the_middle_of_the_reply(self):
        for failing, calls, chunked in ((VERSION_PATH, 1, False), (RESULT_PATH, 3, False),
                                        (RESULT_PATH, 3, True)):
            with self.subTest(failing=failing, chunked=chunked):
                if chunked:
                    harness.wine_gap(self, "wine's WinINet ends a chunked body that lost its "
                                     "last chunk as if it were whole")
                self.server.reset()
                self.server.script = self.service()
                body = reply_xml(0) if failing == VERSION_PATH else SIGNED
                # Chunked, the reply announces no length: only the missing
                # last chunk tells that it was cut short.
                self.server.script[failing] = Response(200, body, close_at="mid_body",
                                                       chunked=chunked)
                result = self.sign()
                # libcurl: CURLE_PARTIAL_FILE; WinINet:
                # ERROR_INTERNET_CONNECTION_RESET.
                self.assert_error_line(result, r"error : -502\(18\)\n", r"error : -502\(12031\)\n")
                host = re.escape(DOWNLOAD_HOST if failing == RESULT_PATH else SERVICE_HOST)
                self.assert_cause(result, "download" if failing == RESULT_PATH else "version check",
                                  r"(the reply from %s.* ended after \d+ of the \d+ bytes it "
                                  r"announced|the connection to %s.* failed while receiving the "
                                  r"reply \(.+\))" % (host, host))
                self.assertEqual(calls, len(self.server.requests))
                self.assert_nothing_left()

    def test_server_hangs_up_during_the_upload(self):
        # Far more than the loopback's socket buffers hold, so that the hang-up
        # arrives while the body is still being written, not after the last
        # of it has been handed to the kernel.
        self.write_input("a.exe", os.urandom(64 * MIB))
        self.server.cut_bodies[UPLOAD_PATH] = 256 * 1024
        result = self.sign()
        # The body can no longer be written. libcurl: CURLE_SEND_ERROR; wine's
        # InternetWriteFile fails without setting an error number.
        self.assert_error_line(result, r"error : -306\(55\)\n", r"error : -306\(0\)\n")
        # The server records the cut-short upload once its reader gives up,
        # which may be after the agent has ended.
        self.assertTrue(self.server.wait_for_requests(2))
        self.assertEqual([VERSION_PATH, UPLOAD_PATH], [r.path for r in self.server.requests])
        self.assertFalse(self.server.requests[1].complete)
        self.assert_nothing_left()

    def test_garbage_instead_of_a_status_line(self):
        # (answer, standard output under wine, or None where the agent's own
        # reading of the head refuses it on both builds)
        for answer, wine_stdout in (
                (b"SSH-2.0-OpenSSH_9.2\r\n", b"\n"), (b"HTTP/1.1 abc OK\r\n\r\n", None),
                (b"HTTP/1.1\r\n\r\n", None), (b"\r\n\r\n", b"\n"),
                (b"HTTP/1.1 2000000000000 OK\r\nContent-Length: 0\r\n\r\n", None),
                (b"Content-Length: 5\r\n\r\nhello", b"\n"), (b"\x00\xff" * 40, None)):
            with self.subTest(answer=answer):
                self.server.reset()
                self.server.script = self.service(version=Response(raw=answer))
                result = self.sign()
                # libcurl refuses the reply (CURLE_WEIRD_SERVER_REPLY or
                # CURLE_UNSUPPORTED_PROTOCOL for HTTP/0.9) before any status
                # is known; on Windows the agent refuses a status that is not
                # three digits (ERROR_HTTP_INVALID_SERVER_RESPONSE). WinINet
                # may take a reply without any status line as HTTP/0.9 with
                # status 200, which the agent reads as a reply without
                # <result>.
                self.assertEqual(1, result.returncode, result.stdout)
                if wine_stdout is not None and harness.wine_gap(
                        self, "no -402: WinINet takes the reply as HTTP/0.9, with status 200",
                        skip=False):
                    self.assertEqual(wine_stdout, result.stdout)
                else:
                    self.assertRegex(result.stdout.decode("latin-1"),
                                     r"^error : -402\((1|8|12152)\)\n$")
                self.assertEqual(1, len(self.server.requests))
                self.assertLess(result.elapsed, self.quick_limit)
                self.assert_nothing_left()

    def test_download_replies_by_their_framing(self):
        # Each answers the download: a sound one gives the exact bytes; a
        # broken one, or one that cannot be told from one cut short, ends
        # with exit code 1 and leaves the output as it was.
        ok = b"HTTP/1.1 200 OK\r\n"
        length = b"Content-Length: %d\r\n" % len(SIGNED)
        chunked = b"".join(b"%x\r\n%s\r\n" % (len(piece), piece)
                           for piece in (SIGNED[:3000], SIGNED[3000:])) + b"0\r\n\r\n"

        def reset_after_status(conn):
            conn.sendall(ok)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

        wine_chunks = ("wine's WinINet decodes chunked bodies itself and lets a broken chunk "
                       "size pass as the last chunk; the agent cannot see the chunks")
        # name, raw reply, sound, reason wine cannot show it (or None)
        rows = [
            ("status line, then close", ok, False, None),
            ("status line, then reset", reset_after_status, False, None),
            ("bytes that are not HTTP", b"\x00\xffnot http\r\n" * 20, False, None),
            ("an ICY status line", b"ICY 200 OK\r\n" + length + b"\r\n" + SIGNED, False, None),
            ("a four-digit status", b"HTTP/1.1 0200 OK\r\n" + length + b"\r\n" + SIGNED, False,
             "wine's WinINet hands the status code back as the number it read, so a leading "
             "zero is lost before the agent can see it"),
            ("a four-digit status without a zero",
             b"HTTP/1.1 2000 OK\r\n" + length + b"\r\n" + SIGNED, False, None),
            ("a status of two digits", b"HTTP/1.1 20 OK\r\n" + length + b"\r\n" + SIGNED, False,
             None),
            ("a chunk size that is not hexadecimal",
             ok + b"Transfer-Encoding: chunked\r\n\r\nzz\r\n" + SIGNED + b"\r\n0\r\n\r\n",
             False, wine_chunks),
            ("a transfer coding before chunked",
             ok + b"Transfer-Encoding: gzip, chunked\r\n\r\n" + chunked, False, None),
            ("a transfer coding other than chunked",
             ok + b"Transfer-Encoding: identity\r\n" + length + b"\r\n" + SIGNED, False, None),
            ("two different Content-Lengths",
             ok + length + b"Content-Length: 10\r\n\r\n" + SIGNED, False, None),
            ("a Content-Length that is not a number",
             ok + b"Content-Length: 12ab\r\n\r\n" + SIGNED, False, None),
            ("a body that ends only when the server closes", ok + b"\r\n" + SIGNED, False, None),
            ("chunked beside a Content-Length",
             ok + b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked, True,
             None),
            ("chunked written in capitals",
             ok + b"Transfer-Encoding: CHUNKED\r\n\r\n" + chunked, True, None),
            ("the same Content-Length twice", ok + length + length + b"\r\n" + SIGNED, True,
             None),
            ("102 Processing before the reply",
             b"HTTP/1.1 102 Processing\r\n\r\n" + ok + length + b"\r\n" + SIGNED, True, None),
            ("100 Continue before the reply",
             b"HTTP/1.1 100 Continue\r\n\r\n" + ok + length + b"\r\n" + SIGNED, True, None),
        ]
        for name, raw, sound, wine_reason in rows:
            with self.subTest(name):
                if wine_reason:
                    harness.wine_gap(self, wine_reason)
                self.server.reset()
                self.server.script = self.service(download=Response(raw=raw))
                self.write_input("out.bin", b"previous release")
                result = self.sign("-o", "out.bin")
                self.assertEqual(3, len(self.server.requests))
                if sound:
                    self.assert_run(result, b"Succeeded.\n", 0)
                    self.assertEqual(SIGNED, self.read_work("out.bin"))
                else:
                    self.assertEqual(1, result.returncode, result.stdout)
                    self.assertRegex(result.stdout.decode("latin-1"),
                                     r"^error : -(402|502)\(\d+\)\n$")
                    self.assertEqual(b"previous release", self.read_work("out.bin"))
                self.assertEqual(["a.exe", "out.bin"], sorted(os.listdir(self.work)))
                self.assert_no_temp_file()

    def test_huge_version_reply_is_refused_with_bounded_memory(self):
        total = 400 * MIB
        self.server.script[VERSION_PATH] = huge_reply(total)
        result = self.sign(limit=self.quick_limit * 4)
        # The reply is held in memory only up to 16 MiB. libcurl:
        # CURLE_FILESIZE_EXCEEDED; Windows: ERROR_NOT_ENOUGH_MEMORY.
        self.assert_error_line(result, r"error : -502\(63\)\n", r"error : -502\(8\)\n")
        self.assertEqual(1, len(self.server.requests))
        self.assert_nothing_left()

    def test_endless_reply_head_is_refused_with_bounded_memory(self):
        line = b"X-Filler: " + b"h" * 1012 + b"\r\n"

        def stream(conn):
            conn.sendall(b"HTTP/1.1 200 OK\r\n")
            block = line * 1024
            for _ in range(300):  # 300 MiB of header lines, never ended
                conn.sendall(block)
        self.server.script[VERSION_PATH] = Response(raw=stream)
        result = self.sign(limit=self.quick_limit * 4, measure_peak=True)
        # libcurl refuses a head past its own bound (CURLE_RECV_ERROR or
        # CURLE_TOO_LARGE); WinINet has none, and the agent cancels the call
        # once the process has grown by 64 MiB: ERROR_NOT_ENOUGH_MEMORY.
        self.assert_error_line(result, r"error : -402\((56|100)\)\n", r"error : -402\(8\)\n")
        self.assertEqual(1, len(self.server.requests))
        self.assert_nothing_left()
        if harness.RUN.memory_measured and not harness.wine_gap(
                self, "the memory bound, measured for the POSIX build", skip=False):
            self.assertLess(result.peak, 64 * MIB)

    def test_error_page_of_nul_separated_pieces_is_written_whole_in_linear_time(self):
        pieces = 8 * MIB - 8  # just under the 16 MiB a reply may hold

        # Made as it is sent: a test process holding it would lend its size
        # to the agent it forks, and the memory checks would count it.
        def stream(conn):
            conn.sendall(b"HTTP/1.1 500 Error\r\nContent-Length: %d\r\n\r\n" % (2 * pieces))
            left = pieces
            while left:
                conn.sendall(b"e\x00" * min(MIB, left))
                left -= min(MIB, left)
        self.server.script[VERSION_PATH] = Response(raw=stream)
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        # Into a file, compared a piece at a time: a child's peak memory
        # counts this process's own peak, which the memory checks must not
        # see grow.
        printed = os.path.join(self.root, "stdout")
        with open(printed, "wb") as stdout:
            result = self.sign(stdout=stdout)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.assertEqual(1, result.returncode)
        self.assertEqual(2 * pieces, os.path.getsize(printed))
        with open(printed, "rb") as source:
            for piece in iter(lambda: source.read(MIB), b""):
                self.assertTrue(piece == b"e\x00" * (len(piece) // 2), piece[:64])
        if not harness.wine_gap(self, "the CPU time, measured for the POSIX build", skip=False):
            # A conversion per piece took several seconds.
            self.assertLess(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime,
                            1.5)

    def test_replies_too_costly_to_parse(self):
        # Nesting deep enough to overflow the parser's stack, however the
        # markup in front of it ends; a reply of 16 MiB whose parse would
        # cost a node per four bytes; and 16 MiB that grow threefold when
        # undecodable bytes become replacement characters. Each is refused
        # like a reply without <result>, or as too large.
        deep = b"<result><code>0</code>" + b"<a>" * 200000 + b"?>"
        shapes = [front + deep for front in (b"", b"<?pi >", b"<?xml v >", b"<!-- -->",
                                             b"<![CDATA[x]]>", b"<!DOCTYPE r [", b"<!x >")]
        shapes.append(b"<result><code>0</code>" + b"<a/>" * (4 * MIB - 8))
        shapes.append(b"\xff" * (16 * MIB - 1))
        for body in shapes:
            with self.subTest(body=body[:24]):
                self.server.reset()
                self.server.script = self.service(version=Response(200, body))
                result = self.sign(measure_peak=True)
                self.assertEqual(1, result.returncode, result.stdout[:200])
                self.assertIn(result.stdout, (b"\n", b"error : -502(63)\n", b"error : -502(8)\n"))
                self.assertEqual([VERSION_PATH], [r.path for r in self.server.requests])
                self.assert_nothing_left()
                if harness.RUN.memory_measured and not harness.wine_gap(
                        self, "the memory bound, measured for the POSIX build", skip=False):
                    self.assertLess(result.peak, 64 * MIB)


class BothBuildsAlike(FaultTest):
    """Redirects, stalls, output names, locales and headers, where the two
    builds once went separate ways: one table, run on both. A row that one
    build cannot show says why, in the test's output."""

    def test_table(self):
        moved = "/tarvolinFE/moved.aspx"
        result_at = lambda tail: "http://%s%s" % (DOWNLOAD_HOST, tail)
        to = lambda status, path, body=b"moved\n": Response(
            status, body, headers=[("Location", "http://%s:8080%s" % (SERVICE_HOST,
                                                                    path))])
        post, get = ("POST", VERSION_PATH), ("GET", moved)
        upload, download = ("POST", UPLOAD_PATH), ("GET", RESULT_PATH)
        windows = harness.RUN.wine
        # name, answers by path, download URL, extra arguments, environment,
        # (standard output, exit code), requests, file saved in the working
        # folder (or None).
        rows = [(
            "%d after a form post: a GET of the new place" % status,
            {VERSION_PATH: to(status, moved), moved: Response(200, reply_xml(0))},
            RESULT_URL, (), {}, (b"Succeeded.\n", 0), [post, get, upload, download],
            "result.bin") for status in (301, 302, 303)] + [(
            "%d after a form post: not followed, the reply stands" % status,
            {UPLOAD_PATH: to(status, moved, b"moved for now %d\n" % status)},
            RESULT_URL, (), {}, (b"moved for now %d\n" % status, 1), [post, upload],
            None) for status in (307, 308)] + [(
            "a redirect loop after a form post ends after ten hops",
            {VERSION_PATH: to(302, moved), moved: to(302, moved, b"round again\n")},
            RESULT_URL, (), {}, (b"round again\n", 1), [post] + [get] * 10, None), (
            "a redirect loop on the download ends after ten hops",
            {RESULT_PATH: Response(302, b"moved again\n", headers=[("Location", RESULT_URL)])},
            RESULT_URL, (), {}, (b"moved again\n", 1), [post, upload] + [download] * 11, None), (
            "the last segment is taken before the query is cut off; no fragment on the wire",
            {}, result_at("/dl/get?name=x/y.bin#frag"), (), {}, (b"Succeeded.\n", 0),
            [post, upload, ("GET", "/dl/get?name=x/y.bin")], "y.bin"), (
            "a device name with an extension",
            {}, result_at("/dl/nul.exe"), (), {},
            (b"can'not resolve filename to save.\n", 1) if windows else (b"Succeeded.\n", 0),
            [post, upload, ("GET", "/dl/nul.exe")], None if windows else "nul.exe"), (
            "device names in any case",
            {}, result_at("/dl/Com7"), (), {},
            (b"can'not resolve filename to save.\n", 1) if windows else (b"Succeeded.\n", 0),
            [post, upload, ("GET", "/dl/Com7")], None if windows else "Com7"), (
            "a name ending in a dot",
            {}, result_at("/dl/app.exe."), (), {},
            (b"can'not resolve filename to save.\n", 1) if windows else (b"Succeeded.\n", 0),
            [post, upload, ("GET", "/dl/app.exe.")], None if windows else "app.exe."), (
            "options and extensions keep ASCII case rules in a Turkish locale",
            {}, RESULT_URL, ("/I", "Setup.GIF"), {"LC_ALL": "tr_TR.UTF-8"},
            (b"Succeeded.\n", 0), [post, upload, download], "result.bin"),
        ]
        self.write_input("Setup.GIF", b"GIF89a")
        for name, answers, url, extra, env, (stdout, code), requests, saved in rows:
            with self.subTest(name):
                self.server.reset()
                self.server.script = self.service(url=url)
                for path, answer in answers.items():
                    self.server.script[path] = answer
                for left in set(os.listdir(self.work)) - {"a.exe", "Setup.GIF"}:
                    os.remove(os.path.join(self.work, left))
                result = self.run_agent("-K", "k", "-i", "a.exe", *extra, env=env,
                                        limit=self.quick_limit)
                self.assert_run(result, stdout, code)
                self.assertTrue(self.server.wait_for_requests(len(requests)))
                self.assertEqual(requests, [(r.method, r.path) for r in self.server.requests])
                for request in self.server.requests:
                    if request.method == "GET":
                        self.assertEqual(b"", request.body)
                        self.assertIsNone(request.header("Content-Type"))
                        self.assertIsNone(request.header("Content-Length"))
                self.assertEqual(sorted({"a.exe", "Setup.GIF"} | ({saved} if saved else set())),
                                 sorted(os.listdir(self.work)))
                if saved:
                    self.assertEqual(SIGNED, self.read_work(saved))
                if extra:
                    self.assertEqual([("authId", None, b"k"), ("filename1", "a.exe", INPUT),
                                      ("filename2", "Setup.GIF", b"GIF89a")],
                                     form_parts(self.server.requests[1]))
                    self.assertIn(b'filename="Setup.GIF"\r\nContent-Type: image/gif\r\n',
                                  self.server.requests[1].body)

    def test_servers_too_slow_for_the_low_speed_rule_and_one_just_fast_enough(self):
        # The agent built with a short idle time stands in, when there is one:
        # less than 1024 bytes a second on average over that time ends the
        # exchange, as curl --speed-limit 1024 --speed-time means it.
        agent = SHORT_IDLE_AGENT if SHORT_IDLE_AGENT else None
        idle = SHORT_IDLE_SECONDS if SHORT_IDLE_AGENT else IDLE_SECONDS
        head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(SIGNED)
        slow = SIGNED * 3  # about 24 KiB

        def trickle(first, rest, piece, pause):
            def stream(conn):
                conn.sendall(first)
                for at in range(0, len(rest), piece):
                    time.sleep(pause)
                    conn.sendall(rest[at:at + piece])
            return stream

        # name, download reply, (native, wine) error line or the bytes saved
        rows = [
            ("a server that stalls mid-download",
             Response(raw=head + SIGNED[:1000], hold=idle + 60),
             (r"error : -502\(28\)\n", r"error : -502\(12002\)\n")),
            ("a server that trickles a byte at a time mid-download",
             Response(raw=trickle(head + SIGNED[:1000], SIGNED[1000:], 1, idle * 0.4)),
             (r"error : -502\(28\)\n", r"error : -502\(12002\)\n")),
            ("a server that trickles its headers",
             Response(raw=trickle(b"", head + SIGNED, 1, idle * 0.4)),
             (r"error : -402\(28\)\n", r"error : -402\(12002\)\n")),
            ("a download that moves 100 bytes a second",
             Response(raw=trickle(head + SIGNED[:100], SIGNED[100:], 100, 1.0)),
             (r"error : -502\(28\)\n", r"error : -502\(12002\)\n")),
            ("a slow download that still moves, about 2 KiB/s, is never cut",
             Response(raw=trickle(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(slow),
                                  slow, 512, 0.25)), slow),
        ]
        for name, reply, expected in rows:
            with self.subTest(name):
                self.server.reset()
                self.server.script = self.service(download=reply)
                for left in set(os.listdir(self.work)) - {"a.exe"}:
                    os.remove(os.path.join(self.work, left))
                result = self.sign(limit=max(idle, 15) + self.quick_limit, program=agent)
                if isinstance(expected, bytes):
                    self.assert_run(result, b"Succeeded.\n", 0)
                    self.assertEqual(expected, self.read_work("result.bin"))
                    # It outlasted the rule's window (the short one, to be quick).
                    self.assertGreater(result.elapsed, min(idle, 9))
                    continue
                # libcurl: CURLE_OPERATION_TIMEDOUT; WinINet: ERROR_INTERNET_TIMEOUT.
                self.assert_error_line(result, *expected)
                # The same number means a full disk elsewhere: the words tell.
                self.assert_cause(result, "download", r"timed out: less than 1024 bytes a second "
                                  r"received from %s over %d s" % (
                                      re.escape(DOWNLOAD_HOST.split(":")[0]), idle))
                # Within about the rule's window.
                self.assertGreaterEqual(result.elapsed, idle - 1)
                self.assertLess(result.elapsed, idle + 15)
                self.assert_nothing_left()

    def test_a_temporary_folder_too_long_for_windows(self):
        # More than 246 characters as Windows writes it: refused on Windows
        # before any request; Linux has no such limit. wine takes its
        # temporary folder from the registry, but a process it starts from
        # cmd takes cmd's environment.
        folder = os.path.join(self.root, "d" * 200, "e" * 40)
        os.makedirs(folder)
        if self.native:
            result = self.sign("-o", "out.bin", tmpdir=folder)
            self.assert_run(result, b"Succeeded.\n", 0)
        else:
            windows_folder = "Z:" + folder.replace("/", "\\")
            self.assertGreater(len(windows_folder), 246)
            line = "set TMP=%s&& set TEMP=%s&& Z:%s -k k -i a.exe" % (
                windows_folder, windows_folder, harness.RUN.program.replace("/", "\\"))
            result = self.run_agent("/c", line, program="cmd", limit=self.quick_limit)
            self.assertEqual(1, result.returncode, result.stdout)
            self.assert_system_message(result, None)
            self.assertIn(b"too long", result.stdout)
            # Found before any request, as every folder the result needs is.
            self.assertEqual([], self.server.requests)
        self.assertEqual([], os.listdir(folder))

    def test_a_version_that_cannot_be_read_goes_out_empty_and_a_kept_file_is_private(self):
        harness.wine_gap(self, "wine reads the version from the loaded program, gone "
                         "file or not; " + WINE_TEMP)
        # The program's file is gone by the upload; the download URL names
        # no file, so that the temporary file is kept.
        copy = os.path.join(self.bin, os.path.basename(harness.RUN.program))
        shutil.copy2(harness.RUN.program, copy)

        def version(request):
            os.remove(copy)
            return Response(200, reply_xml(0))

        self.server.script = self.service(version=version, url=RESULT_URL + "/")
        result = self.sign(program=copy)
        self.assert_run(result, b"can'not resolve filename to save.\n", 1)
        self.assertTrue(self.server.wait_for_requests(3))
        self.assertEqual(harness.AGENT_VERSION, self.server.requests[0].header("Agent-Version"))
        self.assertEqual("", self.server.requests[1].header("Agent-Version"))
        (kept,) = self.temp_files()
        self.assertEqual(0o600, stat.S_IMODE(os.stat(os.path.join(self.temp, kept)).st_mode))


def in_turn(*answers):
    """Each request gets the next answer; the last one answers the rest."""
    left = list(answers)
    return lambda request: left.pop(0) if len(left) > 1 else left[0]


def retry_lines(result):
    return [line for line in error_lines(result).decode("latin-1").splitlines()
            if "; retrying in " in line]


class Retries(FaultTest):
    """A fault that may pass is met again after a wait, on every call; the
    service's own answers are never asked twice."""

    SERVICE_FAULT = Response(503, b"busy\n", headers=[("Retry-After", "1")])
    CALLS = {"version check": VERSION_PATH, "upload": UPLOAD_PATH, "download": RESULT_PATH}

    def script(self, call, *answers):
        keyword = {"version check": "version", "upload": "upload", "download": "download"}[call]
        return self.service(**{keyword: in_turn(*answers)})

    def test_passing_faults_are_retried_on_every_call(self):
        # fault, the least wait it asks for in seconds, the reason it is named by
        faults = [
            ("503 with Retry-After: 1", self.SERVICE_FAULT, 1, r"503 Service Unavailable from "),
            ("429 with Retry-After: 1",
             Response(429, b"slow down\n", headers=[("Retry-After", "1")],
                      reason="Too Many Requests"), 1,
             r"429 Too Many Requests from "),
            ("502 without Retry-After", Response(502, b"bad gateway\n"), 1, r"502 .*from "),
            ("closed before the status line", Response(close_at="before_status"), 1, r".+"),
        ]
        for call, path in self.CALLS.items():
            for name, fault, least_wait, named in faults:
                with self.subTest(call=call, fault=name):
                    self.server.reset()
                    good = (Response(200, SIGNED) if call == "download" else
                            Response(200, reply_xml(0, url=RESULT_URL if call == "upload"
                                                    else None)))
                    self.server.script = self.script(call, fault, good)
                    for leftover in set(os.listdir(self.work)) - {"a.exe"}:
                        os.remove(os.path.join(self.work, leftover))
                    result = self.sign("-o", "out.bin", env={"TARVOLIN_RETRIES": "2"})
                    self.assert_run(result, b"Succeeded.\n", 0)
                    self.assertEqual(SIGNED, self.read_work("out.bin"))
                    seen = [p for _, p in self.paths() if p.split("?")[0] == path]
                    self.assertEqual(2, len(seen), self.paths())
                    self.assertEqual(4, len(self.paths()), self.paths())
                    lines = retry_lines(result)
                    self.assertEqual(1, len(lines), result.stderr)
                    self.assertRegex(lines[0], r"^tarvolin-agent: %s: %s.*; retrying in \d+ s "
                                     r"\(attempt 2 of 3\)$" % (call, named))
                    self.assertGreaterEqual(result.elapsed, least_wait)
                    self.assert_no_temp_file()

    def test_the_service_is_asked_once_when_it_has_spoken(self):
        """A 500, a 404, a refusal, a Retry-After beyond a minute and
        TARVOLIN_RETRIES=0 each leave one request and today's output."""
        cases = [
            ("500", Response(500, b"broken\n"), {}, b"broken\n", 1),
            ("404", Response(404, b"no such page\n"), {}, b"no such page\n", 1),
            ("refusal", Response(200, reply_xml(7, "T", "X")), {}, b"T\n\nX\n", 7),
            ("Retry-After: 61", Response(503, b"later\n", headers=[("Retry-After", "61")]), {},
             b"later\n", 1),
            ("TARVOLIN_RETRIES=0", self.SERVICE_FAULT, {"TARVOLIN_RETRIES": "0"}, b"busy\n", 1),
        ]
        for name, answer, env, stdout, code in cases:
            with self.subTest(name):
                self.server.reset()
                self.server.script = self.service(version=answer)
                result = self.sign(env=dict({"TARVOLIN_RETRIES": "2"}, **env))
                self.assert_run(result, stdout, code)
                self.assertEqual([("POST", VERSION_PATH)], self.paths())
                self.assertEqual([], retry_lines(result))

    def test_the_last_attempt_speaks_when_all_fail(self):
        self.server.script = self.service(upload=self.SERVICE_FAULT)
        result = self.sign(env={"TARVOLIN_RETRIES": "2", "TARVOLIN_TRACE": "1"})
        self.assert_run(result, b"busy\n", 1)
        self.assertEqual([("POST", VERSION_PATH)] + [("POST", UPLOAD_PATH)] * 3, self.paths())
        self.assertEqual(2, len(retry_lines(result)), result.stderr)
        self.assertGreaterEqual(result.elapsed, 2)
        # The trace shows every attempt.
        self.assertEqual(4, (b"\n" + error_lines(result)).count(b"\n* POST "), result.stderr)
        self.assertIn(b"* attempt 3 of 3", error_lines(result))

    def test_max_time_ends_the_run_retries_included(self):
        # name, download reply, error line (native, wine), the run's least time
        rows = [
            ("a stalled download", Response(raw=b"HTTP/1.1 200 OK\r\nContent-Length: 9000"
                                            b"\r\n\r\n" + SIGNED[:1000], hold=60),
             (r"error : -502\(28\)\n", r"error : -502\(12002\)\n"), 3),
            ("a service that stays busy", self.SERVICE_FAULT, (r"busy\n", r"busy\n"), 1),
        ]
        for name, reply, lines, least in rows:
            with self.subTest(name):
                self.server.reset()
                self.server.script = self.service(download=reply)
                result = self.sign(env={"TARVOLIN_RETRIES": "5", "TARVOLIN_MAX_TIME": "3"})
                self.assert_error_line(result, *lines)
                self.assertGreaterEqual(result.elapsed, least)
                self.assertLess(result.elapsed, 3 + harness.limit(5, 15))
                self.assert_nothing_left()
                if least == 3:
                    self.assertIn(b"download: timed out: the run reached its time limit "
                                  b"(TARVOLIN_MAX_TIME)", error_lines(result))

    def test_a_root_that_cannot_be_reached_is_passed_over(self):
        """A refused connection or a 503 on every attempt moves the call to
        the next root, which serves the calls after it; the download goes
        where the service said."""
        here = "http://127.0.0.1:%d" % self.server.port
        dead = "http://127.0.0.1:%d/tarvolinFE/" % harness.free_port()
        for name, first in (("refused", dead), ("busy", here + "/busy/")):
            with self.subTest(name):
                self.server.reset()
                self.server.script = self.service(url=here + RESULT_PATH)
                self.server.script["/busy/version.aspx"] = Response(
                    503, b"busy\n", headers=[("Retry-After", "0")])
                for leftover in set(os.listdir(self.work)) - {"a.exe"}:
                    os.remove(os.path.join(self.work, leftover))
                roots = "%s, %s/tarvolinFE/" % (first, here)
                env = {"TARVOLIN_SERVICE_URL": roots, "TARVOLIN_RETRIES": "1", "http_proxy": ""}
                result = self.sign(env=env)
                self.assert_run(result, b"Succeeded.\n", 0)
                self.assertEqual(SIGNED, self.read_work("result.bin"))
                tried_first = [("POST", "/busy/version.aspx")] * 2 if name == "busy" else []
                self.assertEqual(tried_first + [("POST", VERSION_PATH), ("POST", UPLOAD_PATH),
                                                ("GET", RESULT_PATH)], self.paths())
                lines = retry_lines(result)
                self.assertEqual(1, len(lines), result.stderr)
                self.assertRegex(error_lines(result).decode("latin-1"),
                                 r"version check: .*; trying the next service root, "
                                 r"%s/tarvolinFE/\n" % re.escape(here))
        result = self.run_agent("--version", env={"TARVOLIN_SERVICE_URL": "%s %s,%s" % (
            dead, here + "/a", here + "/b/")})
        self.assertEqual(0, result.returncode)
        self.assertEqual(["service %s (from TARVOLIN_SERVICE_URL)" % root
                          for root in (dead, here + "/a/", here + "/b/")],
                         result.stdout.decode("latin-1").splitlines()[1:])

    def test_bad_settings_are_refused_before_any_request(self):
        for env in ({"TARVOLIN_RETRIES": "many"}, {"TARVOLIN_RETRIES": "-1"},
                    {"TARVOLIN_MAX_TIME": "soon"}, {"TARVOLIN_MAX_TIME": "0"}):
            with self.subTest(env=env):
                self.server.reset()
                result = self.sign(env=env)
                self.assertEqual(1, result.returncode)
                self.assertEqual([], self.paths())
                self.assertRegex(error_lines(result), rb"tarvolin-agent: TARVOLIN_\w+ is ")


def resumable(headers, honours_range=True, first_part_at=0):
    """The signed result cut at half on the first request; a request for the
    rest gets a 206 from the byte asked for (or `first_part_at` bytes before
    it, once), unless the server ignores ranges and sends it whole."""
    state = {"requests": 0}

    def answer(request):
        state["requests"] += 1
        if state["requests"] == 1:
            return Response(200, SIGNED, headers=headers, close_at="mid_body")
        asked = request.header("Range")
        if not asked or not honours_range:
            return Response(200, SIGNED, headers=headers)
        start = int(asked.split("=", 1)[1].rstrip("-"))
        if state["requests"] == 2:
            start -= first_part_at
        content_range = "bytes %d-%d/%d" % (start, len(SIGNED) - 1, len(SIGNED))
        return Response(206, SIGNED[start:], reason="Partial Content",
                        headers=headers + [("Content-Range", content_range)])
    return answer


class Resumes(FaultTest):
    """A download cut after its head asks for the rest of the same file only,
    and never splices two files' bytes."""

    ETAG = [("ETag", '"v1"')]
    DATED = [("Last-Modified", "Sun, 06 Nov 1994 08:49:37 GMT")]

    def test_a_cut_download_takes_up_where_it_was_cut(self):
        half = len(SIGNED) // 2
        # name, server, If-Range sent (None: no Range either), download requests
        cases = [
            ("ETag", resumable(self.ETAG), '"v1"', 2),
            ("Last-Modified", resumable(self.DATED), self.DATED[0][1], 2),
            ("weak ETag, no date", resumable([("ETag", 'W/"v1"')]), None, 2),
            ("no validator", resumable([]), None, 2),
            ("Range ignored", resumable(self.ETAG, honours_range=False), '"v1"', 2),
            ("206 from another byte", resumable(self.ETAG, first_part_at=1), '"v1"', 3),
        ]
        for name, server, if_range, requests in cases:
            with self.subTest(name):
                self.server.reset()
                self.server.script = self.service(download=server)
                for leftover in set(os.listdir(self.work)) - {"a.exe"}:
                    os.remove(os.path.join(self.work, leftover))
                result = self.sign("-o", "out.bin", env={"TARVOLIN_RETRIES": "3"})
                self.assert_run(result, b"Succeeded.\n", 0)
                self.assertEqual(SIGNED, self.read_work("out.bin"))
                downloads = [r for r in self.server.requests if r.path == RESULT_PATH]
                self.assertEqual(requests, len(downloads))
                second = downloads[1]
                if if_range is None:
                    self.assertIsNone(second.header("Range"))
                    self.assertIsNone(second.header("If-Range"))
                else:
                    # What the first attempt wrote of the half that came.
                    self.assertEqual("bytes=%d-" % half, second.header("Range"))
                    self.assertEqual(if_range, second.header("If-Range"))
                if requests == 3:  # the part from elsewhere was not spliced
                    self.assertIsNone(downloads[2].header("Range"))
                self.assert_no_temp_file()

    def test_a_download_cut_on_every_attempt_leaves_nothing(self):
        self.server.script = self.service(
            download=Response(200, SIGNED, headers=self.ETAG, close_at="mid_body"))
        result = self.sign("-o", "out.bin", env={"TARVOLIN_RETRIES": "1"})
        self.assertEqual(1, result.returncode)
        self.assertEqual(2, len([r for r in self.server.requests if r.path == RESULT_PATH]))
        self.assert_nothing_left()


class Disk(FaultTest):
    def test_read_only_output_file(self):
        # Root ignores permission bits, so the file is made immutable.
        target = os.path.join(self.work, "out.bin")
        self.write_input("out.bin", b"previous release")
        if os.geteuid() != 0:
            os.chmod(target, 0o444)
        else:
            made = subprocess.run(["chattr", "+i", target], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE)
            if made.returncode != 0:
                self.skipTest("this file system cannot make a file immutable: %s"
                              % made.stderr.decode(errors="replace").strip())
            self.addCleanup(subprocess.run, ["chattr", "-i", target])
        result = self.sign("-o", "out.bin")
        self.assertEqual(1, result.returncode)
        self.assert_system_message(
            result, "Operation not permitted" if os.geteuid() == 0 else "Permission denied")
        self.assertEqual(b"previous release", self.read_work("out.bin"))
        self.assert_temp_file_holds(SIGNED)

    def test_full_disk_under_the_temporary_file(self):
        harness.wine_gap(self, WINE_TEMP)
        small = os.path.join(self.root, "small")
        os.mkdir(small)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tarvolin-full", small],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a small file system here (needs root and mount "
                          "permission): %s" % mounted.stderr.decode(errors="replace").strip())
        self.addCleanup(subprocess.run, ["umount", small])
        self.server.script[RESULT_PATH] = Response(200, SIGNED * 20)  # about 170 KiB
        result = self.sign("-o", "out.bin", tmpdir=small)
        # ENOSPC: the short temporary file is removed, nothing is copied.
        self.assert_error_line(result, r"error : -502\(%d\)\n" % errno.ENOSPC)
        self.assert_cause(result, "download",
                          "no space left on %s while saving the download" % re.escape(small))
        self.assertEqual([], os.listdir(small))
        self.assertEqual(["a.exe"], os.listdir(self.work))


    def test_full_disk_under_the_output_keeps_the_old_output(self):
        harness.wine_gap(self, "wineserver, which opens the files, runs outside the test's "
                         "private mount namespace")
        # A 128 KiB tmpfs in a mount namespace of the run's own holds the old
        # output (40 KiB); the new result (about 170 KiB) does not fit beside it.
        unshare = shutil.which("unshare")
        flags = ["--mount"] if os.geteuid() == 0 else ["--map-root-user", "--mount"]
        probe = unshare and subprocess.run([unshare] + flags + ["true"], stdout=subprocess.DEVNULL,
                                           stderr=subprocess.PIPE)
        if not probe or probe.returncode != 0:
            self.skipTest("no private mount namespace here (unshare missing or not "
                          "permitted): %s" % (probe.stderr.decode(errors="replace").strip()
                                              if probe else "no unshare"))
        small, seen = os.path.join(self.root, "small"), os.path.join(self.root, "seen")
        os.mkdir(small)
        os.mkdir(seen)
        old = os.urandom(40 * 1024)
        with open(os.path.join(seen, "old.bin"), "wb") as out:
            out.write(old)
        script = ('small=$1 seen=$2; shift 2\n'
                  'mount -t tmpfs -o size=128k tarvolin-full "$small" || exit 97\n'
                  'cp "$seen/old.bin" "$small/out.bin"\n'
                  '"$@"; status=$?\n'
                  'ls -A "$small" > "$seen/listing"; cp "$small/out.bin" "$seen/out.bin"\n'
                  'exit $status\n')
        self.server.script[RESULT_PATH] = Response(200, SIGNED * 20)
        result = self.run_agent(*flags, "sh", "-c", script, "sh", small, seen, harness.RUN.program,
                                "-k", "k", "-i", "a.exe", "-o", os.path.join(small, "out.bin"),
                                program=unshare, limit=self.quick_limit)
        if result.returncode == 97:
            self.skipTest("cannot mount a tmpfs in the namespace: %s" % result.stderr.decode())
        self.assertEqual(1, result.returncode, result.stdout)
        self.assert_system_message(result, "No space left on device")
        with open(os.path.join(seen, "out.bin"), "rb") as kept:
            self.assertEqual(old, kept.read())
        with open(os.path.join(seen, "listing")) as listing:
            self.assertEqual("out.bin\n", listing.read())
        self.assert_temp_file_holds(SIGNED * 20)

    def test_two_agents_writing_one_output(self):
        # Each result is large enough that the two copies overlap; the output
        # ends as one of the two, whole, never spliced from both.
        first = SIGNED * 1000
        second = bytes(reversed(first))
        other = ScriptedServer()
        other.script = self.service(download=Response(200, second))
        other.start()
        self.addCleanup(other.stop)
        self.server.script = self.service(download=Response(200, first))
        for round_number in range(3):
            with self.subTest(round=round_number):
                agents = []
                for server in (self.server, other):
                    env = self.environment()
                    env["http_proxy"] = "http://127.0.0.1:%d" % server.port
                    agents.append(subprocess.Popen(
                        harness.RUN.emulator + [harness.RUN.program, "-k", "k", "-i", "a.exe",
                                                "-o", "out.bin"],
                        cwd=self.work, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE))
                for agent in agents:
                    stdout, _ = agent.communicate(timeout=self.quick_limit * 2)
                    self.assertEqual((b"Succeeded.\n", 0), (stdout, agent.returncode))
                content = self.read_work("out.bin")
                self.assertTrue(content == first or content == second,
                                "the output is neither result whole (%d bytes)" % len(content))
                self.assertEqual(["a.exe", "out.bin"], sorted(os.listdir(self.work)))
        self.assert_no_temp_file()


class Cancelled(FaultTest):
    def test_a_signal_during_the_download_removes_the_temporary_file(self):
        size = len(SIGNED) * 10
        head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % size
        self.write_input("out.bin", b"previous release")
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=number.name):
                self.server.reset()
                self.server.script = self.service()
                # A tenth of the result, then silence.
                self.server.script[RESULT_PATH] = Response(raw=head + SIGNED, hold=120)
                agent = subprocess.Popen(
                    harness.RUN.emulator + [harness.RUN.program, "-k", "k", "-i", "a.exe", "-o",
                                            "out.bin"],
                    cwd=self.work, env=self.environment(), stdin=subprocess.DEVNULL,
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    self.assertTrue(self.server.wait_for_requests(3, timeout=self.quick_limit))
                    self.wait_for_partial_download()
                    agent.send_signal(number)
                    stdout, _ = agent.communicate(timeout=self.quick_limit)
                finally:
                    if agent.poll() is None:
                        agent.kill()
                        agent.wait()
                if not harness.RUN.wine:
                    self.assertEqual(-number, agent.returncode, stdout)
                elif number == signal.SIGINT:
                    # wine hands a console program Ctrl+C; the program ends
                    # with STATUS_CONTROL_C_EXIT, of which wine passes on the
                    # low eight bits.
                    self.assertEqual(0xC000013A & 0xFF, agent.returncode, stdout)
                else:
                    harness.wine_gap(self, "wine ends on SIGTERM and SIGHUP at once, with no "
                                     "console event for the program to act on", skip=False)
                    self.assertEqual(-number, agent.returncode, stdout)
                self.assertEqual(b"", stdout)
                self.assertEqual(b"previous release", self.read_work("out.bin"))
                self.assertEqual(["a.exe", "out.bin"], sorted(os.listdir(self.work)))
                self.assert_no_temp_file()

    def wait_for_partial_download(self):
        """Until the body is under way: the temporary file is there (natively;
        wine's temporary folder is its own) and the agent has had time to
        take the first bytes, which it gathers in memory before a write."""
        deadline = time.monotonic() + self.quick_limit
        while self.native and not self.temp_files() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(harness.RUN.wine or self.temp_files())
        time.sleep(harness.limit(0.5, 3))


class Inputs(FaultTest):
    def test_inputs_that_are_not_regular_files_are_refused_before_any_request(self):
        # Only a regular file has content to send from its start to its end:
        # a folder or a device has none, a pipe would hold the run until a
        # writer closed it, and a wildcard pattern names no one file. Each is
        # refused as the missing input is, and standard error says why.
        os.mkdir(os.path.join(self.work, "folder.exe"))
        os.mkfifo(os.path.join(self.work, "pipe.exe"))
        device = "NUL" if harness.RUN.wine else "/dev/null"
        for name in ("folder.exe", "pipe.exe", "a*.exe", device):
            with self.subTest(name=name):
                self.server.reset()
                result = self.run_agent("-k", "k", "-i", "a.exe", "-i", name,
                                        limit=self.quick_limit)
                self.assert_run(result, b"[%s] is not exist\n" % name.encode(), 1)
                self.assertIn(b"is not a regular file", result.stderr)
                self.assertEqual([], self.server.requests)
                self.assertEqual(["a.exe", "folder.exe", "pipe.exe"], sorted(os.listdir(self.work)))
        self.assert_no_temp_file()

    def test_a_name_with_wildcards_is_a_file_only_as_written(self):
        # A pattern names no file that could be sent: refused before any
        # request, whether or not it matches something; a name holding "*" or
        # "?" that exists as written (Linux only) is an ordinary file.
        self.write_input("b?.exe", b"literal")
        for pattern, exists in (("a*.exe", False), ("?.exe", False), ("b?.exe", self.native)):
            with self.subTest(pattern=pattern):
                self.server.reset()
                result = self.run_agent("-k", "k", "-i", pattern, limit=self.quick_limit)
                if exists:
                    self.assert_run(result, b"Succeeded.\n", 0)
                    self.assertEqual(b"literal", form_parts(self.server.requests[1])[1][2])
                    os.remove(os.path.join(self.work, "result.bin"))
                else:
                    self.assert_run(result, b"[%s] is not exist\n" % pattern.encode(), 1)
                    self.assertEqual([], self.server.requests)
                self.assertEqual(["a.exe", "b?.exe"], sorted(os.listdir(self.work)))

    def test_input_deleted_between_the_check_and_the_upload(self):
        def version(request):
            os.remove(os.path.join(self.work, "a.exe"))
            return Response(200, reply_xml(0))

        self.server.script[VERSION_PATH] = version
        result = self.sign()
        self.assertEqual(b"[a.exe] is not exist\n", result.stdout)
        self.assertEqual(1, result.returncode)
        self.assertEqual([VERSION_PATH], [r.path for r in self.server.requests])
        self.assertEqual([], os.listdir(self.work))
        self.assert_no_temp_file()

    def test_input_truncated_between_the_check_and_the_upload(self):
        def version(request):
            with open(os.path.join(self.work, "a.exe"), "r+b") as input_file:
                input_file.truncate(7)
            return Response(200, reply_xml(0))

        self.server.script[VERSION_PATH] = version
        result = self.sign("-o", "out.bin")
        # The upload carries the file as it stands when it is sent, and its
        # announced length matches.
        self.assertEqual(b"Succeeded.\n", result.stdout)
        self.assertEqual(0, result.returncode)
        upload = self.server.requests[1]
        self.assertTrue(upload.complete)
        self.assertEqual(int(upload.header("Content-Length")), upload.body_length)
        self.assertEqual([("authId", None, b"k"), ("filename1", "a.exe", b"input b")],
                         form_parts(upload))


class DownloadNames(FaultTest):
    def test_names_that_try_to_leave_the_working_directory(self):
        # Only the literal last segment counts: nothing is decoded, and on
        # Windows a backslash, a drive colon or a slash refuses the name.
        cases = [
            ("/files/%2e%2e", "%2e%2e"),
            ("/files/..%2f..%2fescaped.bin", "..%2f..%2fescaped.bin"),
            ("/files/%2E%2E%5Cescaped.bin", "%2E%2E%5Cescaped.bin"),
            ("/files/..\\..\\escaped.bin", None if harness.RUN.wine else "..\\..\\escaped.bin"),
            ("/files/sub\\escaped.bin", None if harness.RUN.wine else "sub\\escaped.bin"),
        ]
        for tail, saved_as in cases:
            with self.subTest(tail=tail):
                self.server.reset()
                self.server.script = self.service(url="http://download.test:8081" + tail)
                for name in os.listdir(self.work):
                    if name != "a.exe":
                        os.remove(os.path.join(self.work, name))
                result = self.sign()
                if saved_as is None:
                    self.assertEqual(b"can'not resolve filename to save.\n", result.stdout)
                    self.assertEqual(1, result.returncode)
                    self.assertEqual(["a.exe"], os.listdir(self.work))
                else:
                    self.assertEqual(b"Succeeded.\n", result.stdout)
                    self.assertEqual(0, result.returncode)
                    self.assertEqual(SIGNED, self.read_work(saved_as))
                    self.assertEqual(sorted(["a.exe", saved_as]), sorted(os.listdir(self.work)))
                # Nothing appeared beside the working directory.
                self.assertEqual(["bin", "temp", "work"], sorted(
                    n for n in os.listdir(self.root) if n != "opener.log"))


if __name__ == "__main__":
    harness.main("test_faults.py AGENT [EMULATOR...] [-- unittest arguments]")
