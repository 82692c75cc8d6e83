#!/usr/bin/env python3
"""A stand-in for the signing service that costs as little as possible, for
the benchmarks. Python 3 standard library only.

    sink.py [--host 127.0.0.1] [--port 0] [--serve-file PATH]

Prints "port N" on its first line once it listens, then serves until killed.
Each connection gets a thread; requests on a connection are served in turn
(keep-alive) until the client closes it or asks for "Connection: close".

Bodies are read straight from the socket into one 1 MiB buffer per
connection and thrown away; downloads are sent from one 1 MiB block of
random bytes, repeated. Nothing is parsed beyond the request head.

    POST .../tarvolinFE/version.aspx    -> <result><code>0</code></result>
    POST .../tarvolinFE/upload.aspx     -> code 0 and a <url> to /dl/N/result.bin,
                                           N set with /__config?download=N
    GET  /dl/N/NAME                     -> N bytes of the repeated block, or the
                                           file given with --serve-file (N unused)
    GET  /__block                       -> the 1 MiB block itself
    GET  /__config?download=N           -> sets N
    GET  /__config?cut=1                -> the next download carries an ETag and
                                           ends halfway, its connection closed;
                                           a request for the rest with Range and
                                           a matching If-Range gets it as a 206
    GET  /__stats                       -> the timings of the POSTs and the bytes
                                           sent for each download so far, as JSON
                                           lines, and forgets them
    any other POST                      -> body discarded, "ok"

"Expect: 100-continue" is answered with an interim 100, as a real server
does. Request targets in absolute form (sent through a proxy) are accepted.
For each POST the sink records when its head was complete, when the first
and the last body byte arrived, and the number of body bytes.
"""

import json
import os
import socket
import sys
import threading
import time

BUFFER_SIZE = 1 << 20
BLOCK = os.urandom(BUFFER_SIZE)

lock = threading.Lock()
stats = []
settings = {"download": 0, "file": None, "cut": False}
ETAG = '"bench-%s"' % BLOCK[:8].hex()
port_holder = {"port": 0}


def reply(sock, status, body, content_type="text/plain", keep_alive=True):
    head = (
        "HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n%s\r\n"
        % (status, content_type, len(body), "" if keep_alive else "Connection: close\r\n")
    ).encode("latin-1")
    sock.sendall(head + body)


def xml_reply(url=None):
    text = '<?xml version="1.0" encoding="utf-8"?>\n<result><code>0</code>'
    if url is not None:
        text += "<url>%s</url>" % url
    return (text + "</result>\n").encode("utf-8")


def send_download(sock, size, keep_alive, headers):
    """Sends the download; returns the bytes sent (head and body) and whether the connection
    may carry another request."""
    start, cut, extra, status = 0, size, "", "200 OK"
    asked = headers.get("range", "")
    if settings["cut"]:
        settings["cut"] = False
        cut, keep_alive, extra = size // 2, False, "ETag: %s\r\n" % ETAG
    elif asked.startswith("bytes=") and asked.endswith("-") and headers.get("if-range") == ETAG:
        start = int(asked[len("bytes="):-1])
        status = "206 Partial Content"
        extra = "ETag: %s\r\nContent-Range: bytes %d-%d/%d\r\n" % (ETAG, start, size - 1, size)
    head = (
        "HTTP/1.1 %s\r\nContent-Type: application/octet-stream\r\n"
        "Content-Length: %d\r\n%s%s\r\n" % (status, size - start, extra,
                                              "" if keep_alive else "Connection: close\r\n")
    ).encode("latin-1")
    sock.sendall(head)
    view = memoryview(BLOCK)
    offset = start
    while offset < cut:
        # The block repeats, so byte `offset` of the download is byte offset % 1 MiB of it.
        within = offset % BUFFER_SIZE
        piece = min(cut - offset, BUFFER_SIZE - within)
        sock.sendall(view[within:within + piece])
        offset += piece
    return len(head) + cut - start, keep_alive


def send_file(sock, path, keep_alive):
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        head = (
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
            "Content-Length: %d\r\n%s\r\n" % (size, "" if keep_alive else "Connection: close\r\n")
        ).encode("latin-1")
        sock.sendall(head)
        sock.sendfile(f)


def origin_form(target):
    """The path of an absolute-form target; an origin-form one unchanged."""
    if "://" in target[:10]:
        rest = target.split("://", 1)[1]
        slash = rest.find("/")
        return rest[slash:] if slash >= 0 else "/"
    return target


class Connection:
    def __init__(self, sock):
        self.sock = sock
        self.buffer = bytearray(BUFFER_SIZE)
        self.view = memoryview(self.buffer)
        self.pending = b""  # bytes read past the last request head

    def read_head(self):
        data = self.pending
        while b"\r\n\r\n" not in data:
            chunk = self.sock.recv(65536)
            if not chunk:
                return None, None
            data += chunk
        head, _, rest = data.partition(b"\r\n\r\n")
        self.pending = rest
        return head, time.perf_counter()

    def discard_body(self, length):
        """Reads `length` body bytes; returns (first byte time, last byte time)."""
        first = None
        taken = min(length, len(self.pending))
        if taken:
            first = time.perf_counter()
        self.pending = self.pending[taken:]
        left = length - taken
        while left > 0:
            count = self.sock.recv_into(self.view, min(left, BUFFER_SIZE))
            if count == 0:
                raise ConnectionError("body cut short: %d bytes missing" % left)
            if first is None:
                first = time.perf_counter()
            left -= count
        return first, time.perf_counter()

    def serve(self):
        while True:
            head, head_done = self.read_head()
            if head is None:
                return
            lines = head.decode("latin-1").split("\r\n")
            method, target, _ = (lines[0].split(" ", 2) + ["", ""])[:3]
            headers = {}
            for line in lines[1:]:
                name, _, value = line.partition(":")
                headers[name.strip().lower()] = value.strip()
            keep_alive = headers.get("connection", "").lower() != "close"
            path, _, query = origin_form(target).partition("?")
            if "chunked" in headers.get("transfer-encoding", "").lower():
                reply(self.sock, "501 Not Implemented", b"no chunked bodies\n", keep_alive=False)
                return
            length = int(headers.get("content-length", "0") or "0")
            if length and headers.get("expect", "").lower() == "100-continue":
                self.sock.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
            first, last = self.discard_body(length) if length else (None, head_done)
            if method == "POST":
                with lock:
                    stats.append({
                        "path": path, "bytes": length,
                        "head": head_done, "first": first or head_done, "last": last,
                        "agent": headers.get("user-agent", ""),
                    })
            keep_alive = self.answer(method, path, query, keep_alive, headers)
            if not keep_alive:
                return

    def answer(self, method, path, query, keep_alive, headers):
        """Answers one request; returns whether the connection stays open."""
        sock = self.sock
        if method == "POST" and path.endswith("/tarvolinFE/version.aspx"):
            reply(sock, "200 OK", xml_reply(), "text/xml; charset=utf-8", keep_alive)
        elif method == "POST" and path.endswith("/tarvolinFE/upload.aspx"):
            url = "http://127.0.0.1:%d/dl/%d/result.bin" % (port_holder["port"],
                                                           settings["download"])
            reply(sock, "200 OK", xml_reply(url), "text/xml; charset=utf-8", keep_alive)
        elif method == "GET" and path.startswith("/dl/") and settings["file"]:
            send_file(sock, settings["file"], keep_alive)
        elif method == "GET" and path.startswith("/dl/"):
            sent, keep_alive = send_download(sock, int(path.split("/")[2]), keep_alive, headers)
            with lock:
                stats.append({"path": path, "sent": sent, "range": headers.get("range", "")})
        elif method == "GET" and path == "/__block":
            reply(sock, "200 OK", BLOCK, "application/octet-stream", keep_alive)
        elif method == "GET" and path == "/__config":
            for pair in query.split("&"):
                name, _, value = pair.partition("=")
                if name == "download":
                    settings["download"] = int(value)
                elif name == "cut":
                    settings["cut"] = value == "1"
            reply(sock, "200 OK", b"ok\n", keep_alive=keep_alive)
        elif method == "GET" and path == "/__stats":
            with lock:
                taken = list(stats)
                del stats[:]
            body = "".join(json.dumps(entry) + "\n" for entry in taken).encode("utf-8")
            reply(sock, "200 OK", body, "application/json", keep_alive)
        elif method == "POST":
            reply(sock, "200 OK", b"ok\n", keep_alive=keep_alive)
        else:
            reply(sock, "404 Not Found", b"not here\n", keep_alive=keep_alive)
        return keep_alive


def handle(sock):
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        Connection(sock).serve()
    except (ConnectionError, OSError) as error:
        sys.stderr.write("sink: %s\n" % error)
    finally:
        sock.close()


def main(argv):
    host, port = "127.0.0.1", 0
    args = list(argv)
    while args:
        option = args.pop(0)
        if option == "--host":
            host = args.pop(0)
        elif option == "--port":
            port = int(args.pop(0))
        elif option == "--serve-file":
            settings["file"] = args.pop(0)
        else:
            sys.exit("usage: sink.py [--host HOST] [--port PORT] [--serve-file PATH]")
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, port))
    listener.listen(64)
    port_holder["port"] = listener.getsockname()[1]
    print("port %d" % port_holder["port"], flush=True)
    while True:
        sock, _ = listener.accept()
        threading.Thread(target=handle, args=(sock,), daemon=True).start()


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except KeyboardInterrupt:
        pass
