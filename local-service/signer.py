"""Authenticode signing with a development certificate.

The certificate and its key are made once with openssl and kept in the
state folder; osslsigncode puts the signature into the PE file.
"""

import fcntl
import os
import shutil
import struct
import subprocess
import tempfile

CERT_NAME = "dev-signing-cert.pem"
KEY_NAME = "dev-signing-key.pem"
TLS_CERT_NAME = "tls-cert.pem"
TLS_KEY_NAME = "tls-key.pem"
TLS_SUBJECT = "/CN=localhost/O=tarvolin-agent local service"
CERT_SUBJECT = "/CN=Tarvolin Local Development Signing/O=tarvolin-agent local service"
TOOL_TIMEOUT_SECONDS = 300


class SigningError(Exception):
    """osslsigncode could not sign a file; the message says why."""


def require_tools():
    missing = [tool for tool in ("openssl", "osslsigncode") if not shutil.which(tool)]
    if missing:
        raise SystemExit("tarvolin_service: missing %s (Debian packages: %s)" %
                         (", ".join(missing), " ".join(missing)))


def ensure_certificate(state_dir):
    """Returns (cert path, key path), making both on first use."""
    return ensure_pair(state_dir, CERT_NAME, KEY_NAME, "rsa:3072", CERT_SUBJECT,
                       ["basicConstraints=critical,CA:FALSE",
                        "keyUsage=critical,digitalSignature",
                        "extendedKeyUsage=codeSigning"], "development")


def ensure_tls_certificate(state_dir):
    """Returns (cert path, key path) of the service's own HTTPS certificate,
    making both on first use. The certificate is its own authority: a client
    trusts it by naming the certificate file as its CA file. It is valid for
    localhost and 127.0.0.1."""
    return ensure_pair(state_dir, TLS_CERT_NAME, TLS_KEY_NAME, "rsa:2048", TLS_SUBJECT,
                       ["subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1",
                        "extendedKeyUsage=serverAuth"], "HTTPS")


def ensure_pair(state_dir, cert_name, key_name, key_type, subject, extensions, purpose):
    cert = os.path.join(state_dir, cert_name)
    key = os.path.join(state_dir, key_name)
    # Two services starting on one state folder must not make two pairs.
    with open(os.path.join(state_dir, ".cert-lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (os.path.exists(cert) and os.path.exists(key)):
            make_certificate(state_dir, cert, key, key_type, subject, extensions, purpose)
    return cert, key


def make_certificate(state_dir, cert, key, key_type, subject, extensions, purpose):
    scratch = tempfile.mkdtemp(prefix=".cert-", dir=state_dir)
    try:
        new_cert = os.path.join(scratch, os.path.basename(cert))
        new_key = os.path.join(scratch, os.path.basename(key))
        command = ["openssl", "req", "-x509", "-newkey", key_type, "-nodes",
                   "-keyout", new_key, "-out", new_cert, "-days", "3650", "-subj", subject]
        for extension in extensions:
            command += ["-addext", extension]
        result = subprocess.run(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, timeout=TOOL_TIMEOUT_SECONDS)
        if result.returncode != 0:
            raise SystemExit("tarvolin_service: openssl could not make the %s "
                             "certificate:\n%s" % (purpose,
                                                    result.stdout.decode("utf-8", "replace")))
        os.chmod(new_key, 0o600)
        os.replace(new_key, key)
        os.replace(new_cert, cert)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def pe_problem(path):
    """None when the file looks like a PE image, else why it does not."""
    try:
        with open(path, "rb") as f:
            dos = f.read(64)
            if len(dos) < 64 or dos[:2] != b"MZ":
                return "it does not start with an MZ header"
            (pe_offset,) = struct.unpack_from("<I", dos, 0x3C)
            size = os.fstat(f.fileno()).st_size
            # Signature (4), COFF header (20) and the optional header's magic (2).
            if pe_offset < 64 or pe_offset + 26 > size:
                return "its MZ header points outside the file"
            f.seek(pe_offset)
            header = f.read(26)
    except OSError as error:
        return "it cannot be read (%s)" % error.strerror
    if header[:4] != b"PE\0\0":
        return "it has no PE header (an MS-DOS program or not a Windows program)"
    (optional_size,) = struct.unpack_from("<H", header, 20)
    (magic,) = struct.unpack_from("<H", header, 24)
    if magic not in (0x10B, 0x20B) or optional_size < 96:
        return "its PE optional header is not a PE32 or PE32+ header"
    return None


def sign_file(cert, key, source, target, description):
    """Writes the Authenticode-signed copy of source to target."""
    try:
        result = subprocess.run(
            ["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
             "-n", description, "-in", source, "-out", target],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            timeout=TOOL_TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        raise SigningError("osslsigncode did not finish within %d seconds" %
                           TOOL_TIMEOUT_SECONDS) from None
    if result.returncode != 0 or not os.path.exists(target):
        lines = result.stdout.decode("utf-8", "replace").strip().splitlines()
        detail = lines[-2] if len(lines) >= 2 and lines[-1] == "Failed" else (
            lines[-1] if lines else "no output")
        raise SigningError(detail)
