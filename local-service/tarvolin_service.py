#!/usr/bin/python3
"""A local signing service for tarvolin-agent.

Answers the agent's version check, upload, download and upgrade query on
127.0.0.1:8080, signs uploaded PE files with a development certificate, and
needs nothing beyond Debian's python3 and python3-multipart, openssl and
osslsigncode.

    python3 local-service/tarvolin_service.py [--port 8080] [--state-dir DIR] [--https]

With --https (or --tls-cert and --tls-key) it serves HTTPS instead, with a
certificate for localhost made on first start, and hands out https://
download addresses.

Requests in proxy form ("POST http://localhost:8080/... HTTP/1.1") are
answered too, so an agent whose service host is fixed can reach this server
through its proxy setting.
"""

import argparse
import http.server
import os
import re
import shutil
import signal
import ssl
import sys
import time
import urllib.parse
import uuid
import zipfile
from xml.sax.saxutils import escape

import faults
import signer

try:
    import form_data
except ImportError as missing:
    # python3-multipart is Debian's; another python3 (a venv, pyenv) lacks it.
    if not (missing.name or "").startswith("multipart"):
        raise
    sys.exit("tarvolin_service: %s cannot import python3-multipart's module multipart "
             "(%s). Install the Debian package python3-multipart and run the service "
             "with Debian's /usr/bin/python3." % (sys.executable, missing))

ROOT = "/tarvolinFE"
VERSION_PATH = ROOT + "/version.aspx"
UPLOAD_PATH = ROOT + "/upload.aspx"
DOWNLOAD_PREFIX = ROOT + "/download/"
UPGRADE_PAGE_PATH = ROOT + "/upgrade.html"

# Refusal codes; the agent ends with these as its exit code.
CODE_ACCEPTED = 0
CODE_BAD_KEY = 3
CODE_OLD_VERSION = 4
CODE_NOT_PE = 5
CODE_SIGNING_FAILED = 6
CODE_NO_FILES = 7

DEMO_KEY = "demo-key"
ZIP_NAME = "signed.zip"
JOB_LIFETIME_SECONDS = 24 * 3600
HOST_PATTERN = re.compile(r"^[A-Za-z0-9.\-]+(:[0-9]{1,5})?$|^\[[0-9A-Fa-f:.]+\](:[0-9]{1,5})?$")
JOB_ID_PATTERN = re.compile(r"^[0-9a-f]{32}$")
VERSION_PATTERN = re.compile(r"^[0-9]+(\.[0-9]+)*$")

UPGRADE_PAGE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>tarvolin-agent upgrade</title></head>
<body>
<h1>tarvolin-agent</h1>
<p>This is the local signing service for development and rehearsals. It signs
with a development certificate that no Windows system trusts.</p>
<p>The agent of this service accepts versions from %(min_version)s on.
Build the current agent from the project's repository.</p>
</body></html>
"""


class Settings:
    def __init__(self, state_dir, keys_file, min_version, max_body, fault=None):
        self.fault = fault
        self.state_dir = state_dir
        self.keys_file = keys_file
        self.min_version = min_version
        self.max_body = max_body
        self.jobs_dir = os.path.join(state_dir, "jobs")
        self.cert = None
        self.key = None


class Verdict:
    """What the service answers in its XML reply."""

    def __init__(self, code, title="", text="", url=""):
        self.code = code
        self.title = title
        self.text = text
        self.url = url

    def xml(self):
        return ("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<result>"
                "<code>%d</code><title>%s</title><text>%s</text><url>%s</url>"
                "</result>\n" % (self.code, escape(self.title), escape(self.text),
                                 escape(self.url))).encode("utf-8")


def version_numbers(text):
    return [int(piece) for piece in text.split(".")]


def version_is_below(version, minimum):
    a, b = version_numbers(version), version_numbers(minimum)
    width = max(len(a), len(b))
    return a + [0] * (width - len(a)) < b + [0] * (width - len(b))


def read_keys(path):
    try:
        with open(path, "rb") as f:
            lines = f.read().splitlines()
    except OSError:
        return set()
    return {line.strip() for line in lines if line.strip() and not line.startswith(b"#")}


def shown(raw, limit=80):
    """A value from the request, fit to be quoted back in a reply."""
    text = "".join(c if " " <= c != "\x7f" else "?" for c in raw.decode("latin-1"))
    return text if len(text) <= limit else text[:limit] + "..."


def check_key_and_version(settings, fields):
    """The version check shared by both form posts; None when accepted."""
    key = fields.get(b"authId")
    if not key:
        return Verdict(CODE_BAD_KEY, "Authorisation refused",
                       "The request carries no authorisation key.")
    if key.strip() not in read_keys(settings.keys_file):
        # The key is a secret: neither the reply nor the log line (which
        # carries the reply's text) quotes it.
        return Verdict(CODE_BAD_KEY, "Authorisation refused",
                       "The key is not known to this service. Keys are listed in %s."
                       % settings.keys_file)
    version = fields.get(b"version")
    if version is None:
        return None
    if not VERSION_PATTERN.match(version.decode("latin-1").strip()):
        return Verdict(CODE_OLD_VERSION, "Version refused",
                       "The version \"%s\" is not a dotted number such as 1.0." % shown(version))
    version = version.decode("ascii").strip()
    if version_is_below(version, settings.min_version):
        return Verdict(CODE_OLD_VERSION, "Version refused",
                       "Version %s is older than %s, the oldest version this service "
                       "signs for." % (version, settings.min_version))
    return None


def safe_file_name(raw):
    """The last segment of an uploaded file name, fit to be served again."""
    name = raw.decode("utf-8", "replace")
    name = re.split(r"[\\/]", name)[-1].strip()
    name = "".join(c for c in name if c >= " " and c != "\x7f")
    if name in ("", ".", ".."):
        name = "signed.exe"
    return name


def unique_names(names):
    """Keeps the names of a zip archive apart: a.exe, a-2.exe, ..."""
    seen = set()
    result = []
    for name in names:
        stem, dot, ext = name.rpartition(".")
        if not dot:
            stem, ext = name, ""
        candidate, n = name, 1
        while candidate.lower() in seen:
            n += 1
            candidate = "%s-%d%s" % (stem, n, dot + ext)
        seen.add(candidate.lower())
        result.append(candidate)
    return result


def prune_old_jobs(jobs_dir):
    cutoff = time.time() - JOB_LIFETIME_SECONDS
    try:
        entries = os.listdir(jobs_dir)
    except OSError:
        return
    for entry in entries:
        path = os.path.join(jobs_dir, entry)
        try:
            if os.path.getmtime(path) < cutoff:
                shutil.rmtree(path, ignore_errors=True)
        except OSError:
            pass


def sign_job(settings, job_dir, files):
    """Signs the uploaded files; returns (verdict, result name)."""
    for part in files:
        problem = signer.pe_problem(part.path)
        if problem:
            return Verdict(CODE_NOT_PE, "Not a Windows program",
                           "%s cannot be signed: %s. Only PE files (.exe, .dll, .sys) "
                           "are signed." % (safe_file_name(part.filename), problem)), None
    names = unique_names([safe_file_name(part.filename) for part in files])
    signed = []
    for index, (part, name) in enumerate(zip(files, names), 1):
        target = os.path.join(job_dir, "signed-%d" % index)
        try:
            faults.sign(settings.fault,
                        lambda source, out: signer.sign_file(settings.cert, settings.key,
                                                             source, out, name),
                        part.path, target)
        except signer.SigningError as error:
            return Verdict(CODE_SIGNING_FAILED, "Signing failed",
                           "%s could not be signed: %s" % (name, error)), None
        except OSError as error:
            return Verdict(CODE_SIGNING_FAILED, "Signing failed",
                           "%s could not be signed: %s" % (name, error.strerror)), None
        os.remove(part.path)
        signed.append((target, name))
    try:
        # Written aside and moved into place: "result" marks a finished job.
        packed = os.path.join(job_dir, "result.part")
        if len(signed) == 1:
            os.replace(signed[0][0], packed)
            result_name = signed[0][1]
        else:
            with zipfile.ZipFile(packed, "w", zipfile.ZIP_DEFLATED) as archive:
                for path, name in signed:
                    archive.write(path, name)
                    os.remove(path)
            result_name = ZIP_NAME
        faults.spoil(settings.fault, packed, len(signed) > 1)
        with open(os.path.join(job_dir, "name"), "w", encoding="utf-8") as f:
            f.write(result_name)
        os.replace(packed, os.path.join(job_dir, "result"))
    except OSError as error:
        return Verdict(CODE_SIGNING_FAILED, "Signing failed",
                       "The signed files could not be stored: %s" % error.strerror), None
    return None, result_name


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "tarvolin-local-service/1.0"
    # A client that announces more body than it sends must not hold a thread
    # forever.
    timeout = 60

    # -- plumbing ---------------------------------------------------------

    @property
    def scheme(self):
        return "https" if isinstance(self.connection, ssl.SSLSocket) else "http"

    def handle(self):
        if isinstance(self.connection, ssl.SSLSocket):
            # Here, in the connection's own thread and under its time-out,
            # so that a slow or refusing client holds up no one else.
            try:
                self.connection.do_handshake()
            except (OSError, ValueError) as error:
                self.close_connection = True
                self.log_message("TLS handshake failed: %s", error)
                return
        super().handle()

    def handle_one_request(self):
        try:
            super().handle_one_request()
        except (ConnectionError, TimeoutError, ssl.SSLError) as error:
            # The client went away, stalled or broke TLS mid-request; nothing
            # to answer.
            self.close_connection = True
            self.log_message("connection lost: %s", error)

    def log_request(self, code="-", size="-"):
        pass  # one line per request is written by finish_request_log

    def log_message(self, format, *args):
        sys.stderr.write("%s %s %s\n" % (time.strftime("%Y-%m-%d %H:%M:%S"),
                                         self.client_address[0], format % args))

    def finish_request_log(self, status, outcome):
        agent = self.headers.get("Agent-Version", "-") if self.headers else "-"
        self.log_message("%s %s %d %s (agent %s)", self.command, self.target_path,
                         status, outcome, agent)

    def split_target(self):
        """Path, query and the host the client addressed, for both forms."""
        target = urllib.parse.urlsplit(self.path)
        host = target.netloc if target.scheme else self.headers.get("Host", "")
        if not HOST_PATTERN.match(host or ""):
            host = "127.0.0.1:%d" % self.server.server_address[1]
        self.target_path = (target.path or "/") + ("?" + target.query if target.query else "")
        return target.path or "/", target.query, host

    def send_bytes(self, status, body, content_type, outcome, close=False):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        self.finish_request_log(status, outcome)

    def send_verdict(self, verdict):
        detail = verdict.url if verdict.code == CODE_ACCEPTED else verdict.text
        self.send_bytes(200, verdict.xml(), "text/xml; charset=utf-8",
                        ("code=%d %s" % (verdict.code, detail)).rstrip())

    def send_text(self, status, text, close=False):
        # The agent prints such bodies as they are: one line that says why.
        self.send_bytes(status, (text + "\n").encode("utf-8"),
                        "text/plain; charset=utf-8", text, close)

    # -- routes -----------------------------------------------------------

    def do_GET(self):
        path, query, host = self.split_target()
        if path == VERSION_PATH and "upgrade" in urllib.parse.parse_qs(query).get("type", []):
            self.send_verdict(Verdict(
                CODE_ACCEPTED, "tarvolin-agent upgrade",
                "The local signing service accepts agents from version %s on; "
                "see the page for details." % self.server.settings.min_version,
                "%s://%s%s" % (self.scheme, host, UPGRADE_PAGE_PATH)))
        elif path == UPGRADE_PAGE_PATH:
            page = UPGRADE_PAGE % {"min_version": escape(self.server.settings.min_version)}
            self.send_bytes(200, page.encode("utf-8"), "text/html; charset=utf-8",
                            "upgrade page")
        elif path.startswith(DOWNLOAD_PREFIX):
            self.serve_download(path[len(DOWNLOAD_PREFIX):])
        else:
            self.send_text(404, "Not found: %s" % path)

    do_HEAD = do_GET

    def do_POST(self):
        path, _, host = self.split_target()
        length = self.headers.get("Content-Length", "").strip()
        if not length.isdigit():
            self.send_text(411, "The request needs a Content-Length.", close=True)
            return
        length = int(length)
        refusal = None
        if path not in (VERSION_PATH, UPLOAD_PATH):
            refusal = (404, "Not found: %s" % path)
        elif length > self.server.settings.max_body:
            refusal = (413, "The request body of %d bytes is larger than the %d bytes this "
                            "service takes." % (length, self.server.settings.max_body))
        else:
            try:
                boundary = form_data.boundary_from_content_type(
                    self.headers.get("Content-Type", ""))
            except form_data.FormError as error:
                refusal = (400, "Bad request: %s." % error)
        if refusal:
            # A client that writes its whole body before it reads would see a
            # broken connection instead of the answer: take the body first.
            self.discard_body(length)
            self.send_text(*refusal, close=True)
            return

        settings = self.server.settings
        job_id = uuid.uuid4().hex
        job_dir = os.path.join(settings.jobs_dir, job_id)
        os.makedirs(job_dir)
        try:
            verdict = self.judge_form(path, host, length, boundary, job_id, job_dir)
        finally:
            # Gone before the client hears back, so nothing refused lingers.
            if not os.path.exists(os.path.join(job_dir, "result")):
                shutil.rmtree(job_dir, ignore_errors=True)
        if verdict:
            self.send_verdict(verdict)
        if path == UPLOAD_PATH:
            prune_old_jobs(settings.jobs_dir)

    def judge_form(self, path, host, length, boundary, job_id, job_dir):
        """Reads the form and returns the verdict; None when already answered."""
        settings = self.server.settings
        try:
            parts = form_data.parse_form(
                self.rfile, length, boundary,
                lambda index: os.path.join(job_dir, "input-%d" % index))
        except form_data.FormError as error:
            self.send_text(400, "Bad request: %s." % error, close=True)
            return None
        except TimeoutError:
            self.send_text(408, "Bad request: the body did not arrive in time.", close=True)
            return None
        except (ConnectionError, TimeoutError) as error:
            self.close_connection = True
            self.finish_request_log(0, "connection lost: %s" % error)
            return None
        except OSError as error:  # storing the upload failed, e.g. a full disk
            self.send_text(500, "The service could not store the upload: %s." %
                           error.strerror, close=True)
            return None
        fields = {}
        for part in parts:
            if not part.is_file:
                fields.setdefault(part.name, part.value)
        verdict = check_key_and_version(settings, fields)
        if verdict or path == VERSION_PATH:
            return verdict or Verdict(CODE_ACCEPTED)
        files = [part for part in parts if part.is_file]
        if not files:
            return Verdict(CODE_NO_FILES, "Nothing to sign", "The upload carries no file.")
        verdict, result_name = sign_job(settings, job_dir, files)
        return verdict or Verdict(CODE_ACCEPTED, "Signed", "", "%s://%s%s%s/%s" % (
            self.scheme, host, DOWNLOAD_PREFIX, job_id,
            urllib.parse.quote(result_name, safe="")))

    def discard_body(self, length):
        while length > 0:
            data = self.rfile.read(min(length, form_data.CHUNK_SIZE))
            if not data:
                break
            length -= len(data)

    def serve_download(self, rest):
        job_id, _, quoted_name = rest.partition("/")
        job_dir = os.path.join(self.server.settings.jobs_dir, job_id)
        result = os.path.join(job_dir, "result")
        try:
            if not JOB_ID_PATTERN.match(job_id):
                raise FileNotFoundError
            with open(os.path.join(job_dir, "name"), encoding="utf-8") as f:
                name = f.read()
            if urllib.parse.unquote(quoted_name) != name:
                raise FileNotFoundError
            f = open(result, "rb")
        except OSError:
            self.send_text(404, "No signed file at this address; it may have expired.")
            return
        with f:
            size = os.fstat(f.fileno()).st_size
            # A resumed download gets the rest of the same result only.
            etag = '"%s-%d"' % (job_id, size)
            start = 0
            asked = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", "").strip())
            if asked and self.headers.get("If-Range", etag) == etag and int(asked.group(1)) < size:
                start = int(asked.group(1))
            status = 206 if start else 200
            self.send_response(status)
            self.send_header("Content-Type", "application/zip" if name == ZIP_NAME
                             else "application/octet-stream")
            self.send_header("Content-Length", str(size - start))
            if start:
                self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
            self.send_header("ETag", etag)
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            cut = self.server.settings.fault == "cut-once" and job_id not in CUT_JOBS
            if self.command != "HEAD":
                f.seek(start)
                if cut:
                    CUT_JOBS.add(job_id)
                    self.wfile.write(f.read((size - start) // 2))
                    self.wfile.flush()
                    self.close_connection = True
                    self.finish_request_log(status, "%s, cut after half" % name)
                    return
                shutil.copyfileobj(f, self.wfile, 64 * 1024)
        self.finish_request_log(status, "%s, %d bytes" % (name, size - start))


# The results whose first download the cut-once fault has cut.
CUT_JOBS = set()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def parse_arguments(argv):
    repo_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default: 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080,
                        help="port to listen on; 0 picks a free one (default: 8080)")
    parser.add_argument("--port-file",
                        help="write the port to this file once the service listens")
    parser.add_argument("--state-dir", default=os.path.join(repo_root, ".service-state"),
                        help="certificate, keys and signed files (default: .service-state "
                             "in the repository)")
    parser.add_argument("--keys-file",
                        help="accepted keys, one a line (default: keys.txt in the state "
                             "folder, made with the key %s)" % DEMO_KEY)
    parser.add_argument("--min-version", default="0",
                        help="oldest program version accepted, a dotted number (default: "
                             "every version)")
    parser.add_argument("--max-upload-mb", type=int, default=2048,
                        help="largest request body accepted, in MiB (default: 2048)")
    parser.add_argument("--fault", choices=sorted(faults.MODES),
                        help="hand back a result that is not the input plus a signature, "
                             "to rehearse a client's checks: " +
                             "; ".join("%s: %s" % item for item in sorted(faults.MODES.items())))
    parser.add_argument("--https", action="store_true",
                        help="serve HTTPS with a certificate for localhost and 127.0.0.1, "
                             "made in the state folder on first start (tls-cert.pem; "
                             "clients trust it as their CA file)")
    parser.add_argument("--tls-cert",
                        help="serve HTTPS with this certificate (PEM; with --tls-key)")
    parser.add_argument("--tls-key", help="the private key of --tls-cert (PEM)")
    args = parser.parse_args(argv)
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    if not VERSION_PATTERN.match(args.min_version):
        parser.error("--min-version must be a dotted number such as 1.2")
    if not 0 <= args.port <= 65535:
        parser.error("--port must be between 0 and 65535")
    return args


def prepare_state(args):
    state_dir = os.path.abspath(args.state_dir)
    os.makedirs(os.path.join(state_dir, "jobs"), exist_ok=True)
    keys_file = os.path.abspath(args.keys_file or os.path.join(state_dir, "keys.txt"))
    if not args.keys_file:
        try:
            with open(keys_file, "x", encoding="utf-8") as f:
                f.write("# Keys this local service accepts, one a line.\n%s\n" % DEMO_KEY)
        except FileExistsError:
            pass
    settings = Settings(state_dir, keys_file, args.min_version,
                        args.max_upload_mb * 1024 * 1024, args.fault)
    settings.cert, settings.key = signer.ensure_certificate(state_dir)
    prune_old_jobs(settings.jobs_dir)
    return settings


def write_port_file(path, port):
    scratch = path + ".tmp%d" % os.getpid()
    with open(scratch, "w") as f:
        f.write("%d\n" % port)
    os.replace(scratch, path)


def tls_context(args, settings):
    """(SSL context, certificate path) for HTTPS, or (None, None) for plain HTTP."""
    if args.tls_cert:
        cert, key = os.path.abspath(args.tls_cert), os.path.abspath(args.tls_key)
    elif args.https:
        cert, key = signer.ensure_tls_certificate(settings.state_dir)
    else:
        return None, None
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    try:
        context.load_cert_chain(cert, key)
    except (OSError, ssl.SSLError) as error:
        raise SystemExit("tarvolin_service: cannot use %s and %s for HTTPS: %s" %
                         (cert, key, error))
    return context, cert


def main(argv):
    args = parse_arguments(argv)
    signer.require_tools()
    settings = prepare_state(args)
    context, tls_cert = tls_context(args, settings)
    try:
        server = Server((args.host, args.port), Handler)
    except OSError as error:
        sys.stderr.write("tarvolin_service: cannot listen on %s:%d: %s\n" %
                         (args.host, args.port, error.strerror))
        return 1
    if context:
        # The handshake waits for the connection's thread (Handler.handle).
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
    server.settings = settings
    port = server.server_address[1]

    def stop(signum, frame):
        # A second signal while stopping ends the process the hard way.
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        raise KeyboardInterrupt

    try:
        # Both, explicitly: a shell starts background jobs with SIGINT ignored.
        signal.signal(signal.SIGTERM, stop)
        signal.signal(signal.SIGINT, stop)
        sys.stderr.write("tarvolin_service: listening on %s://%s:%d/ (state in %s, "
                         "keys in %s, certificate %s%s)\n" %
                         ("https" if context else "http", args.host, port,
                          settings.state_dir, settings.keys_file, settings.cert,
                          ", HTTPS certificate %s" % tls_cert if context else ""))
        sys.stderr.flush()
        if args.port_file:
            write_port_file(args.port_file, port)
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    sys.stderr.write("tarvolin_service: stopped\n")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:  # before the service listened
        sys.exit(130)
