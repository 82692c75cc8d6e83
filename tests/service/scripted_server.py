#!/usr/bin/env python3
"""A scripted HTTP service for the tests: answers from a script, records every
request byte for byte. Python 3 standard library only (plus the `openssl`
command for the TLS listener).

Use from Python test code
-------------------------
    import sys; sys.path.insert(0, "<repo>/tests/service")
    from scripted_server import ScriptedServer, Response

    server = ScriptedServer()            # binds 127.0.0.1 on a free port
    server.script = Response(200, body=b"hello")
    server.start()                       # serves from a daemon thread
    ... run the program against http://127.0.0.1:%d/ % server.port ...
    req = server.requests[0]             # RecordedRequest, see below
    server.stop()
    # or: `with ScriptedServer() as server:` (start and stop)

ScriptedServer(host="127.0.0.1", port=0, tls=False, keep_body_limit=64 MiB)
    port              the port it listens on (known right after construction)
    script            what to answer, looked up per request:
                        - a Response: answers every request;
                        - a list of Responses: consumed in order, one per
                          request; when it runs out, the last one repeats;
                        - a dict {path: Response | list | callable}: keyed by
                          the request's origin-form path without the query
                          (also for absolute-form "proxy" requests); a missing
                          path gets 404;
                        - a callable(RecordedRequest) -> Response.
    requests          list of RecordedRequest, in arrival order (thread-safe
                      snapshot: server.requests returns a copy)
    tls_hellos        how many TLS ClientHellos arrived: on a plain listener a
                      connection whose next request would start with a TLS
                      handshake record (0x16) is counted and closed (also
                      inside a tunnel the script opened by answering CONNECT
                      with 200); on a TLS listener every handshake attempt
                      counts (successful or not)
    tls_errors        the handshake errors of a TLS listener, as texts
    cut_bodies        {path: n}: a request to that path (query left out) gets
                      its connection shut after n bytes of its body, and is
                      recorded as not complete
    wait_for_requests(n, timeout=10) -> bool   waits until n requests arrived
    reset()           forgets the recorded requests and TLS counts
    start(), stop()

    With tls=True the listener speaks TLS with a throwaway self-signed
    certificate for "localhost" made by `openssl req` (server.cert_file is
    its PEM path). A client that verifies certificates refuses it.

    Request bodies are recorded up to keep_body_limit bytes; beyond it they are
    only counted (body_length), so a huge upload costs no memory.

Response(status=200, body=b"", headers=None, reason=None, chunked=False,
         chunk_size=4096, delay=0.0, body_delay=0.0, close_at=None,
         keep_alive=True, content_length=None, raw=None, hold=0.0)
    headers           list of (name, value) sent as given, in order; when it
                      has no Content-Length and the reply is not chunked, one
                      is added (content_length= overrides the number sent)
    chunked           send the body with chunked transfer coding, in pieces of
                      chunk_size bytes
    delay             seconds to wait before the status line
    body_delay        seconds to wait between body pieces
    close_at          close the connection at that point instead of finishing:
                      "before_status" (request read, nothing answered),
                      "after_headers" (status and headers sent, no body),
                      "mid_body" (half the body sent)
    keep_alive        False: send "Connection: close" and close afterwards
    raw               sent instead of a composed reply, then the connection is
                      closed: bytes, or a callable(socket) that writes them
    hold              with raw: seconds the connection then stays open and
                      silent before it is closed (or until stop())

RecordedRequest
    raw               the exact bytes received: head and (kept) body
    head              request line and headers, up to and including CRLF CRLF
    request_line      e.g. "GET /a?b HTTP/1.1"
    method, target, version
    absolute          target was in absolute form ("http://host:port/path")
    path              origin-form target ("/path?query"), also for absolute
    header_lines      the header lines as received, without CRLF
    headers           list of (name, value) pairs, in order
    header(name)      first value of that header (case-insensitive) or None
    body              the body bytes (chunked bodies decoded), up to the limit
    body_length       how many body bytes arrived
    complete          the body was received in full
    chunked           the request used chunked transfer coding

Run as a process
----------------
    scripted_server.py [--port-file F] [--tls] [--script script.json]
                       [--record-dir DIR]
    Prints "PORT <n>" on standard output (and writes the number to F), then
    serves until killed (SIGTERM/SIGINT). script.json holds a list of response
    objects with the Response fields above ("body" as text, or "body_hex");
    without it every request gets 200 with an empty body. With --record-dir,
    request N's raw bytes go to DIR/request-NNN.bin and its summary to
    DIR/request-NNN.json as it completes.
"""

import json
import os
import select
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

DEFAULT_KEEP_BODY_LIMIT = 64 * 1024 * 1024
HEAD_LIMIT = 256 * 1024
REASONS = {
    200: "OK", 201: "Created", 204: "No Content", 301: "Moved Permanently",
    302: "Found", 303: "See Other", 304: "Not Modified",
    307: "Temporary Redirect", 308: "Permanent Redirect", 400: "Bad Request",
    403: "Forbidden", 404: "Not Found", 500: "Internal Server Error",
    502: "Bad Gateway", 503: "Service Unavailable",
}


class Response:
    def __init__(self, status=200, body=b"", headers=None, reason=None, chunked=False,
                 chunk_size=4096, delay=0.0, body_delay=0.0, close_at=None, keep_alive=True,
                 content_length=None, raw=None, hold=0.0):
        if isinstance(body, str):
            body = body.encode("utf-8")
        if close_at not in (None, "before_status", "after_headers", "mid_body"):
            raise ValueError("close_at: %r" % (close_at,))
        self.status = status
        self.body = body
        self.headers = list(headers or [])
        self.reason = reason if reason is not None else REASONS.get(status, "Status")
        self.chunked = chunked
        self.chunk_size = max(1, chunk_size)
        self.delay = delay
        self.body_delay = body_delay
        self.close_at = close_at
        self.keep_alive = keep_alive
        self.content_length = content_length
        self.raw = raw
        self.hold = hold

    @classmethod
    def from_json(cls, obj):
        obj = dict(obj)
        if "body_hex" in obj:
            obj["body"] = bytes.fromhex(obj.pop("body_hex"))
        if "headers" in obj:
            obj["headers"] = [tuple(h) for h in obj["headers"]]
        return cls(**obj)


class RecordedRequest:
    def __init__(self):
        self.raw = b""
        self.head = b""
        self.request_line = ""
        self.method = ""
        self.target = ""
        self.version = ""
        self.absolute = False
        self.path = ""
        self.header_lines = []
        self.headers = []
        self.body = b""
        self.body_length = 0
        self.complete = False
        self.chunked = False

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def summary(self):
        return {
            "request_line": self.request_line, "method": self.method, "target": self.target,
            "absolute": self.absolute, "path": self.path, "header_lines": self.header_lines,
            "body_length": self.body_length, "complete": self.complete,
            "chunked": self.chunked,
        }

    def __repr__(self):
        return "<RecordedRequest %r, %d body bytes>" % (self.request_line, self.body_length)


class _Closed(Exception):
    pass


class _Reader:
    """Buffered reads from a socket."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""
        self.budget = None  # body bytes left before hanging up, if limited

    def _fill(self):
        data = self.sock.recv(256 * 1024)
        if not data:
            raise _Closed()
        self.buffer += data

    def read_until(self, marker, limit):
        while True:
            at = self.buffer.find(marker)
            if at >= 0:
                end = at + len(marker)
                data, self.buffer = self.buffer[:end], self.buffer[end:]
                return data
            if len(self.buffer) > limit:
                raise _Closed()
            self._fill()

    def read_exact(self, count, sink):
        """Hands `count` bytes to sink(bytes) in pieces; hangs up instead
        where that would overrun the budget."""
        cut = self.budget is not None and count > self.budget
        if self.budget is not None:
            count = min(count, self.budget)
            self.budget -= count
        while count > 0:
            if not self.buffer:
                self._fill()
            piece = self.buffer[:count]
            self.buffer = self.buffer[len(piece):]
            count -= len(piece)
            sink(piece)
        if cut:
            self.sock.shutdown(socket.SHUT_RDWR)
            raise _Closed()


def _make_self_signed(directory):
    key = os.path.join(directory, "key.pem")
    cert = os.path.join(directory, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=localhost"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class ScriptedServer:
    def __init__(self, host="127.0.0.1", port=0, tls=False,
                 keep_body_limit=DEFAULT_KEEP_BODY_LIMIT, record_dir=None):
        self.script = Response(200)
        self.cut_bodies = {}
        self.keep_body_limit = keep_body_limit
        self.record_dir = record_dir
        self.tls = tls
        self.tls_errors = []
        self._tls_hellos = 0
        self._requests = []
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self._script_positions = {}
        self._stopping = False
        self._connections = set()
        self._thread = None
        self._cert_dir = None
        self._context = None
        self.cert_file = None
        if tls:
            self._cert_dir = tempfile.mkdtemp(prefix="scripted-server-")
            self.cert_file, key = _make_self_signed(self._cert_dir)
            self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._context.load_cert_chain(self.cert_file, key)
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((host, port))
        self._listener.listen(64)
        self.port = self._listener.getsockname()[1]

    # -- public API --------------------------------------------------------

    @property
    def requests(self):
        with self._lock:
            return list(self._requests)

    @property
    def tls_hellos(self):
        with self._lock:
            return self._tls_hellos

    def wait_for_requests(self, count, timeout=10.0):
        deadline = time.monotonic() + timeout
        with self._changed:
            while len(self._requests) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._changed.wait(left)
        return True

    def reset(self):
        with self._lock:
            self._requests = []
            self._tls_hellos = 0
            self.tls_errors = []
            self._script_positions = {}

    def start(self):
        self._thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stopping = True
        try:
            self._listener.close()
        except OSError:
            pass
        with self._lock:
            connections = list(self._connections)
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        if self._thread:
            self._thread.join(5)
        if self._cert_dir:
            shutil.rmtree(self._cert_dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- serving -----------------------------------------------------------

    def _accept_loop(self):
        while not self._stopping:
            try:
                ready, _, _ = select.select([self._listener], [], [], 0.2)
                if not ready:
                    continue
                conn, _ = self._listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve_connection, args=(conn,), daemon=True).start()

    def _serve_connection(self, conn):
        with self._lock:
            self._connections.add(conn)
        try:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self._context is not None:
                with self._lock:
                    self._tls_hellos += 1
                    self._changed.notify_all()
                try:
                    conn = self._context.wrap_socket(conn, server_side=True)
                except (ssl.SSLError, OSError) as error:
                    with self._lock:
                        self.tls_errors.append(str(error))
                    return
            reader = _Reader(conn)
            while not self._stopping:
                # A TLS ClientHello where a request should start: on a plain
                # listener, or inside a tunnel opened with CONNECT.
                if self._context is None and self._next_byte(conn, reader) == b"\x16":
                    with self._lock:
                        self._tls_hellos += 1
                        self._changed.notify_all()
                    return
                request = self._read_request(reader)
                if request is None:
                    return
                response = self._pick_response(request)
                if not self._answer(conn, request, response):
                    return
        except (_Closed, OSError):
            pass
        finally:
            with self._lock:
                self._connections.discard(conn)
            try:
                conn.close()
            except OSError:
                pass

    @staticmethod
    def _next_byte(conn, reader):
        if reader.buffer:
            return reader.buffer[:1]
        return conn.recv(1, socket.MSG_PEEK)

    def _read_request(self, reader):
        try:
            head = reader.read_until(b"\r\n\r\n", HEAD_LIMIT)
        except _Closed:
            return None
        request = RecordedRequest()
        request.head = head
        lines = head[:-4].decode("latin-1").split("\r\n")
        request.request_line = lines[0]
        parts = request.request_line.split(" ")
        if len(parts) == 3:
            request.method, request.target, request.version = parts
        request.header_lines = lines[1:]
        for line in request.header_lines:
            name, _, value = line.partition(":")
            request.headers.append((name, value.strip()))
        request.path = request.target
        if request.target.lower().startswith(("http://", "https://")):
            request.absolute = True
            rest = request.target.split("://", 1)[1]
            slash = rest.find("/")
            request.path = rest[slash:] if slash >= 0 else "/"

        reader.budget = self.cut_bodies.get(request.path.split("?", 1)[0])
        kept = []
        kept_size = [0]

        def keep(piece):
            request.body_length += len(piece)
            room = self.keep_body_limit - kept_size[0]
            if room > 0:
                kept.append(piece[:room])
                kept_size[0] += min(room, len(piece))

        encoding = (request.header("Transfer-Encoding") or "").lower()
        length = request.header("Content-Length")
        try:
            if "chunked" in encoding:
                request.chunked = True
                while True:
                    size_line = reader.read_until(b"\r\n", 1024)
                    size = int(size_line.split(b";")[0].strip(), 16)
                    if size == 0:
                        reader.read_until(b"\r\n", HEAD_LIMIT)  # no trailers expected
                        break
                    reader.read_exact(size, keep)
                    reader.read_exact(2, lambda _: None)
            elif length is not None:
                reader.read_exact(int(length), keep)
            request.complete = True
        except _Closed:
            request.complete = False
        request.body = b"".join(kept)
        request.raw = head + request.body
        self._record(request)
        return request if request.complete else None

    def _record(self, request):
        with self._lock:
            index = len(self._requests)
            self._requests.append(request)
            self._changed.notify_all()
        if self.record_dir:
            base = os.path.join(self.record_dir, "request-%03d" % index)
            with open(base + ".bin", "wb") as out:
                out.write(request.raw)
            with open(base + ".json", "w") as out:
                json.dump(request.summary(), out)

    def _pick_response(self, request):
        script = self.script
        key = None
        if isinstance(script, dict):
            key = request.path.split("?", 1)[0]
            if key not in script:
                return Response(404, b"no such path")
            script = script[key]
        if callable(script) and not isinstance(script, Response):
            return script(request)
        if isinstance(script, (list, tuple)):
            with self._lock:
                at = self._script_positions.get(key, 0)
                self._script_positions[key] = at + 1
            return script[min(at, len(script) - 1)]
        return script

    def _answer(self, conn, request, response):
        """Sends the response; False when the connection is to close."""
        if response.delay:
            time.sleep(response.delay)
        if response.raw is not None:
            try:
                response.raw(conn) if callable(response.raw) else conn.sendall(response.raw)
            except OSError:
                return False
            deadline = time.monotonic() + response.hold
            while not self._stopping and time.monotonic() < deadline:
                time.sleep(0.2)
            return False
        if response.close_at == "before_status":
            return False
        headers = list(response.headers)
        names = [name.lower() for name, _ in headers]
        body = response.body
        if response.chunked:
            if "transfer-encoding" not in names:
                headers.append(("Transfer-Encoding", "chunked"))
        elif "content-length" not in names:
            length = response.content_length
            headers.append(("Content-Length", str(len(body) if length is None else length)))
        if not response.keep_alive and "connection" not in names:
            headers.append(("Connection", "close"))
        head = "HTTP/1.1 %d %s\r\n" % (response.status, response.reason)
        head += "".join("%s: %s\r\n" % header for header in headers) + "\r\n"
        conn.sendall(head.encode("latin-1"))
        if response.close_at == "after_headers":
            return False
        if request.method == "HEAD":
            return response.keep_alive
        limit = len(body) // 2 if response.close_at == "mid_body" else len(body)
        sent = 0
        while sent < limit:
            piece = body[sent:min(limit, sent + response.chunk_size)]
            if response.chunked:
                conn.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
            else:
                conn.sendall(piece)
            sent += len(piece)
            if response.body_delay and sent < limit:
                time.sleep(response.body_delay)
        if response.close_at == "mid_body":
            return False
        if response.chunked:
            conn.sendall(b"0\r\n\r\n")
        return response.keep_alive


def main(argv):
    import argparse
    import signal

    parser = argparse.ArgumentParser(description="Scripted HTTP service for tests")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--script", help="JSON file with a list of responses")
    parser.add_argument("--record-dir")
    args = parser.parse_args(argv)

    server = ScriptedServer(port=args.port, tls=args.tls, record_dir=args.record_dir)
    if args.script:
        with open(args.script) as source:
            server.script = [Response.from_json(obj) for obj in json.load(source)]
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    server.start()
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as out:
            out.write("%d\n" % server.port)
        os.replace(args.port_file + ".tmp", args.port_file)
    print("PORT %d" % server.port, flush=True)
    while not stop.wait(0.5):
        pass
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
