#!/usr/bin/env python3
"""The agent against curl, side by side, on this machine. Python 3 standard
library only; bench/run.sh builds the agent and calls this.

    bench.py --agent PATH [--wine-agent EXE --wine-runner SCRIPT]
             [--output BENCHMARKS.md] [--quick] [--runs N] [--note TEXT]

Every case is one whole job: the version check, the upload of the inputs in
one multipart POST and the download of the result, against a local sink
(bench/sink.py) that discards what it gets and sends what it is asked for.
The agent reaches the sink's service address through http_proxy, as its
service host is compiled in. curl does the same three calls in one process
(-F version check, --next -F upload, --next -o download), so both pay for the
same work; the small job is also timed against three curl processes in a row.

Input files are written under one temporary directory (TMPDIR or /tmp) and
removed at the end, whatever happens.
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
KiB = 1 << 10
MiB = 1 << 20
GiB = 1 << 30
KEY = "BENCHKEY0123456789"
SMALL = 4 * KiB
# The download cut once at half, and the most the resumed job may send over the file's size.
RESUME_SIZE = 512 * MiB
RESUME_EXTRA_LIMIT = 0.10
PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "no_proxy",
                   "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY")


def size_name(size):
    for unit, name in ((GiB, "GiB"), (MiB, "MiB"), (KiB, "KiB")):
        if size >= unit and size % unit == 0:
            return "%d %s" % (size // unit, name)
    return "%d B" % size


class Failure(Exception):
    pass


# --- the sink ---------------------------------------------------------------

class Sink:
    def __init__(self):
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "sink.py")],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, preexec_fn=pinned_to(SINK_CORES))
        line = self.process.stdout.readline().decode().split()
        if len(line) != 2 or line[0] != "port":
            self.stop()
            raise Failure("the sink did not start")
        self.port = int(line[1])
        self.base = "http://127.0.0.1:%d" % self.port
        # Straight to the sink, whatever proxy the environment names.
        self.opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

    def get(self, path):
        with self.opener.open(self.base + path, timeout=30) as answer:
            return answer.read()

    def set_download(self, size):
        self.get("/__config?download=%d" % size)

    def download_url(self, size):
        return "%s/dl/%d/result.bin" % (self.base, size)

    def take_stats(self):
        return [json.loads(line) for line in self.get("/__stats").decode().splitlines()]

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


# --- inputs -----------------------------------------------------------------

BLOCK = os.urandom(MiB)


def write_file(path, size):
    with open(path, "wb") as out:
        left = size
        while left > 0:
            piece = min(left, len(BLOCK))
            out.write(BLOCK[:piece])
            left -= piece


def make_inputs(directory, label, total, count):
    """`count` files that add up to `total` bytes; the last takes the rest."""
    paths = []
    each = total // count
    for index in range(count):
        size = each if index < count - 1 else total - each * (count - 1)
        path = os.path.join(directory, "%s-%02d.bin" % (label, index + 1))
        write_file(path, size)
        paths.append(path)
    return paths


def remove(*paths):
    for path in paths:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


# --- one measured command ---------------------------------------------------

class Usage:
    """What one command cost: wall and CPU seconds, peak resident KiB."""

    def __init__(self, wall=0.0, cpu=0.0, peak=0):
        self.wall, self.cpu, self.peak = wall, cpu, peak

    def then(self, other):
        """The cost of this command and then `other`, one after the other."""
        return Usage(self.wall + other.wall, self.cpu + other.cpu, max(self.peak, other.peak))


def parse_time_report(path):
    peak, cpu = None, 0.0
    with open(path) as report:
        for line in report:
            if "Maximum resident set size" in line:
                peak = int(line.rsplit(":", 1)[1])
            elif "User time (seconds)" in line or "System time (seconds)" in line:
                cpu += float(line.rsplit(":", 1)[1])
    return peak, cpu


def core_split():
    """Cores for the sink and for the clients: the last core for the sink and the others for
    the clients where there are two or more, so that the two do not take turns on a core."""
    cores = sorted(os.sched_getaffinity(0))
    if len(cores) < 2:
        return None, None
    return {cores[-1]}, set(cores[:-1])


SINK_CORES, CLIENT_CORES = core_split()


def pinned_to(cores):
    """A preexec_fn that keeps a child on `cores`, or None to leave it where it is."""
    return (lambda: os.sched_setaffinity(0, cores)) if cores else None


def measured(command, env, directory, timeout):
    """Runs `command` under /usr/bin/time -v: (Usage, result)."""
    report = os.path.join(directory, "time-report.txt")
    started = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-v", "-o", report] + command, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                            cwd=directory, preexec_fn=pinned_to(CLIENT_CORES))
    wall = time.perf_counter() - started
    peak, cpu = parse_time_report(report)
    remove(report)
    return Usage(wall, cpu, peak), result


# --- the tools --------------------------------------------------------------

class Bench:
    def __init__(self, args, directory, sink):
        self.args = args
        self.dir = directory
        self.sink = sink
        clean = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
        self.curl_env = dict(clean, LC_ALL="C")
        self.agent_env = dict(clean, LC_ALL="C", TMPDIR=directory,
                              http_proxy=sink.base, no_proxy="127.0.0.1")
        self.service = "%s/tarvolinFE/" % sink.base
        self.timeout = 600

    def check(self, name, result, output, download):
        if result.returncode != 0:
            raise Failure("%s ended with %d: %s %s" % (
                name, result.returncode, result.stdout[-300:], result.stderr[-300:]))
        size = os.path.getsize(output) if os.path.exists(output) else -1
        if size != download:
            raise Failure("%s wrote %d bytes, not %d" % (name, size, download))

    def upload_stats(self, inputs):
        uploads = [s for s in self.sink.take_stats() if s["path"].endswith("/upload.aspx")]
        if len(uploads) != 1:
            raise Failure("the sink saw %d uploads, not 1" % len(uploads))
        entry = uploads[0]
        expected = sum(os.path.getsize(p) for p in inputs)
        if entry["bytes"] < expected:
            raise Failure("the upload carried %d bytes for %d of input" % (entry["bytes"], expected))
        return entry["last"] - entry["head"]

    def run_agent(self, inputs, download, program=None):
        output = os.path.join(self.dir, "out-agent.bin")
        command = [program or self.args.agent, "-k", KEY]
        for path in inputs:
            command += ["-i", path]
        command += ["-o", output]
        usage, result = measured(command, self.agent_env, self.dir, self.timeout)
        if result.stdout != b"Succeeded.\n":
            raise Failure("agent printed %r, ended with %d: %r" % (
                result.stdout[-300:], result.returncode, result.stderr[-300:]))
        self.check("agent", result, output, download)
        remove(output)
        return usage

    def run_wine_agent(self, inputs, download):
        output = os.path.join(self.dir, "out-wine.bin")
        command = [self.args.wine_runner, self.args.wine_agent, "-k", KEY]
        for path in inputs:
            command += ["-i", windows_path(path)]
        command += ["-o", windows_path(output)]
        usage, result = measured(command, self.agent_env, self.dir, self.timeout)
        if not result.stdout.endswith(b"Succeeded.\n"):
            raise Failure("agent under wine printed %r" % result.stdout[-300:])
        self.check("agent under wine", result, output, download)
        remove(output)
        return usage

    def curl_job(self, inputs, download, output):
        common = ["-q", "-sS"]
        version = common + ["-o", "/dev/null", "-F", "authId=" + KEY,
                            self.service + "version.aspx"]
        upload = common + ["-o", "/dev/null", "-F", "authId=" + KEY]
        for index, path in enumerate(inputs):
            upload += ["-F", "filename%d=@%s" % (index + 1, path)]
        upload.append(self.service + "upload.aspx")
        fetch = common + ["-o", output, self.sink.download_url(download)]
        return version, upload, fetch

    def run_curl(self, inputs, download):
        """One curl process doing the three calls, one after the other."""
        output = os.path.join(self.dir, "out-curl.bin")
        version, upload, fetch = self.curl_job(inputs, download, output)
        command = ["curl"] + version + ["--next"] + upload + ["--next"] + fetch
        usage, result = measured(command, self.curl_env, self.dir, self.timeout)
        self.check("curl", result, output, download)
        remove(output)
        return usage

    def run_curl_connections(self, inputs, download):
        """One curl process, each call on a connection of its own, as the agent's are."""
        output = os.path.join(self.dir, "out-curl.bin")
        close = ["-H", "Connection: close"]
        version, upload, fetch = self.curl_job(inputs, download, output)
        command = ["curl"] + close + version + ["--next"] + close + upload + ["--next"] + \
            close + fetch
        usage, result = measured(command, self.curl_env, self.dir, self.timeout)
        self.check("curl", result, output, download)
        remove(output)
        return usage

    def run_curl_three(self, inputs, download):
        """Three curl processes in a row, as a script would call them."""
        output = os.path.join(self.dir, "out-curl.bin")
        total = Usage()
        for part in self.curl_job(inputs, download, output):
            usage, result = measured(["curl"] + part, self.curl_env, self.dir, self.timeout)
            if result.returncode != 0:
                raise Failure("curl ended with %d: %s" % (result.returncode, result.stderr))
            total = total.then(usage)
        self.check("curl", subprocess.CompletedProcess([], 0), output, download)
        remove(output)
        return total


def is_32_bit(exe):
    """True when the PE file `exe` is for 32-bit x86."""
    with open(exe, "rb") as f:
        header = f.read(4096)
    at = int.from_bytes(header[0x3C:0x40], "little")
    return header[at + 4:at + 6] == b"\x4c\x01"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# --- a download cut once ----------------------------------------------------

def resume_case(bench, runs, size, label, run_agent):
    """The agent's download cut once at half by the sink, against the same job uncut: the
    bytes the sink sent for the cut job's downloads (heads included), and the wall times."""
    small = make_inputs(bench.dir, "resume-small", SMALL, 1)
    bench.sink.set_download(size)
    bench.sink.take_stats()
    whole, cut, sent = [], [], []
    try:
        for _ in range(runs):
            whole.append(run_agent(small, size).wall)
            bench.sink.take_stats()
            bench.sink.get("/__config?cut=1")
            cut.append(run_agent(small, size).wall)
            downloads = [s for s in bench.sink.take_stats() if s["path"].startswith("/dl/")]
            if len(downloads) != 2 or downloads[0]["range"] or \
                    downloads[1]["range"] != "bytes=%d-" % (size // 2):
                raise Failure("the cut download was fetched as %r, not once whole and once "
                              "from its half" % [d["range"] for d in downloads])
            sent.append(sum(d["sent"] for d in downloads))
            sys.stdout.write(".")
            sys.stdout.flush()
    finally:
        remove(*small)
    return {"label": label, "size": size, "whole": whole, "cut": cut, "sent": sent}


def resume_lines(resumes):
    lines = [
        "The sink ends the first download of a %s result halfway and closes the connection; "
        "its reply carried an `ETag`. The agent asks again with `Range` and `If-Range`, gets "
        "the rest as a 206 and appends it. Each cut job runs beside the same job uncut; the "
        "bytes are the most the sink sent for one cut job's two downloads, heads included." % (
            size_name(resumes[0]["size"])),
        "",
        "| Build | Runs | Bytes sent | More than the file holds | Uncut job s | Cut job s |",
        "|---|---|---|---|---|---|",
    ]
    worst = 0.0
    for resume in resumes:
        size = resume["size"]
        extra = (max(resume["sent"]) - size) / size
        worst = max(worst, extra)
        lines.append("| %s | %d | %s + %d | %.4f %% | %.3f | %.3f |" % (
            resume["label"], len(resume["cut"]), size_name(size), max(resume["sent"]) - size,
            100 * extra, statistics.median(resume["whole"]), statistics.median(resume["cut"])))
    lines += [
        "",
        "Target: at most %.0f %% more bytes than the file holds: %s. The cut job's extra time "
        "is the agent's wait before its second attempt (about a second, with jitter, where its "
        "backoff starts) and one more connection." % (
            100 * RESUME_EXTRA_LIMIT, "met" if worst <= RESUME_EXTRA_LIMIT else "NOT met"),
    ]
    return lines


# --- a case: several paired runs -------------------------------------------

class Samples:
    def __init__(self):
        self.wall = []
        self.cpu = []
        self.peak = []
        self.upload = []  # sink-side seconds of the upload POST

    def add(self, usage, upload):
        self.wall.append(usage.wall)
        self.cpu.append(usage.cpu)
        self.peak.append(usage.peak)
        self.upload.append(upload)


def paired(case, runs, tools, bench, inputs, download):
    """Runs every tool `runs` times, rotating which goes first."""
    samples = {name: Samples() for name, _ in tools}
    bench.sink.set_download(download)
    bench.sink.take_stats()
    for run in range(runs):
        shift = run % len(tools)
        for name, tool in tools[shift:] + tools[:shift]:
            usage = tool(inputs, download)
            samples[name].add(usage, bench.upload_stats(inputs))
        sys.stdout.write(".")
        sys.stdout.flush()
    return samples


def cpu_ratio(agent, curl):
    """The ratio of the medians; CPU times below 10 ms are too coarse for one."""
    a, c = statistics.median(agent), statistics.median(curl)
    return "%.2f" % (a / c) if c >= 0.01 else "-"


def ratio_summary(agent, curl):
    ratios = [a / c for a, c in zip(agent, curl)]
    return statistics.median(agent) / statistics.median(curl), min(ratios), max(ratios)


# --- system calls -----------------------------------------------------------

PROFILE_CALLS = ("read", "write", "sendto", "recvfrom", "poll", "rt_sigaction")


def count_syscalls(report):
    """strace -c's summary as {name: calls}."""
    counts = {}
    with open(report) as summary:
        for line in summary:
            fields = line.split()
            if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
                try:
                    counts[fields[-1]] = int(fields[3])
                except ValueError:
                    pass
    return counts


def job_command(bench, args, program, inputs, download, directory):
    """The command, environment and output file of one job of the agent or of curl."""
    if program == "curl":
        output = os.path.join(directory, "out-curl.bin")
        version, upload, fetch = bench.curl_job(inputs, download, output)
        return ["curl"] + version + ["--next"] + upload + ["--next"] + fetch, bench.curl_env, output
    output = os.path.join(directory, "out-agent.bin")
    command = [program or args.agent, "-k", KEY]
    for path in inputs:
        command += ["-i", path]
    return command + ["-o", output], bench.agent_env, output


def syscall_profile(bench, args, directory):
    size = 64 * MiB if 64 * MiB in args.sizes else min(args.sizes)
    inputs = make_inputs(directory, "profile", size, 1)
    small = make_inputs(directory, "profile-small", SMALL, 1)
    report = os.path.join(directory, "strace.txt")
    rows = []
    programs = [("agent", None)] + [(label, path) for label, path in args.extra_agents] + \
        [("curl", "curl")]
    try:
        for case, job_inputs, download in (("upload", inputs, 0), ("download", small, size)):
            bench.sink.set_download(download)
            for label, program in programs:
                command, env, output = job_command(bench, args, program, job_inputs, download,
                                                   directory)
                result = subprocess.run(["strace", "-c", "-f", "-o", report] + command, env=env,
                                        cwd=directory, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, timeout=300)
                if result.returncode != 0:
                    raise Failure("%s under strace ended with %d" % (label, result.returncode))
                rows.append((label, "%s %s" % (case, size_name(size)), count_syscalls(report)))
                remove(report, output)
            bench.sink.take_stats()
    finally:
        remove(*inputs, *small)
    return {"size": size, "names": PROFILE_CALLS, "rows": rows}


# Where a program's CPU time goes, by the kernel entry or library function it
# is spent under (perf's "children" share, call graphs included).
CPU_PARTS = (
    ("start-up: loading and linking the libraries", ("_dl_start_user", "_dl_start")),
    ("reading the inputs", ("ksys_read",)),
    ("sending to the socket", ("__x64_sys_sendto",)),
    ("receiving from the socket", ("__x64_sys_recvfrom",)),
    ("waiting for the socket (poll)", ("__x64_sys_poll", "do_sys_poll")),
    ("writing files", ("ksys_write",)),
    ("copying the temporary file to the output path", ("__do_sys_copy_file_range",
                                                       "__x64_sys_copy_file_range")),
    ("deleting the temporary file", ("__x64_sys_unlink", "__x64_sys_unlinkat", "do_unlinkat")),
)
# Copies made inside the process, counted by the copying functions' own time.
COPY_FUNCTIONS = ("__memmove_", "__memcpy_")


def perf_works(directory):
    if shutil.which("perf") is None:
        return False
    probe = os.path.join(directory, "perf-probe.data")
    result = subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-o", probe, "true"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    remove(probe)
    return result.returncode == 0


def perf_breakdown(command, env, directory):
    """Seconds of CPU time in each of CPU_PARTS, and in all, for one run of `command`."""
    data = os.path.join(directory, "perf.data")
    result = subprocess.run(["perf", "record", "-q", "-g", "-e", "cpu-clock", "-o", data] +
                            command, env=env, cwd=directory, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=600)
    if result.returncode != 0:
        raise Failure("%s under perf ended with %d" % (command[0], result.returncode))
    report = subprocess.run(["perf", "report", "-i", data, "--stdio", "--children", "-g", "none",
                             "--sort", "symbol", "--percent-limit", "0.01"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    remove(data)
    total = 0.0
    children, own = {}, {}
    for line in report.splitlines():
        if line.startswith("# Event count"):
            total = int(line.split(":")[1]) / 1e9  # cpu-clock counts nanoseconds
            continue
        fields = line.split()
        if len(fields) >= 5 and fields[0].endswith("%") and fields[2] in ("[k]", "[.]"):
            children[fields[3]] = float(fields[0][:-1])
            own[fields[3]] = float(fields[1][:-1])
    parts = {}
    for name, symbols in CPU_PARTS:
        parts[name] = max((children.get(symbol, 0.0) for symbol in symbols), default=0.0)
    parts["copies inside the process (memcpy, memmove)"] = sum(
        share for symbol, share in own.items() if symbol.startswith(COPY_FUNCTIONS))
    return total, {name: total * share / 100 for name, share in parts.items()}


def cpu_profile(bench, args, directory, results):
    """perf's view of the case where the agent is furthest behind curl, and of the largest
    upload, for the agent and for curl."""
    if not perf_works(directory):
        return None
    worst = max(results, key=lambda r: ratio_summary(r["agent"].wall, r["curl"].wall)[0])
    cases = [worst]
    upload = max((r for r in results if r["case"] == "upload, 1 input"), key=lambda r: r["size"],
                 default=None)
    if upload and upload is not worst:
        cases.append(upload)
    rows = []
    for case in cases:
        download = case["size"] if case["case"] == "download" else 0
        inputs = make_inputs(directory, "perf", SMALL if download else case["size"],
                             10 if "10 inputs" in case["case"] else 1)
        try:
            bench.sink.set_download(download)
            for label, program in (("agent", None), ("curl", "curl")):
                command, env, output = job_command(bench, args, program, inputs, download,
                                                   directory)
                total, parts = perf_breakdown(command, env, directory)
                rows.append((label, case["case"], case["size"], total, parts,
                             ratio_summary(case["agent"].wall, case["curl"].wall)[0]))
                remove(output)
            bench.sink.take_stats()
        finally:
            remove(*inputs)
    return rows


def gap_lines(profile):
    """Explains, from the counts, where the agent makes more calls than curl."""
    size = profile["size"]
    pieces = size // 8192
    rows = {(program, case.split()[0]): counts for program, case, counts in profile["rows"]}
    lines = []
    for case in ("upload", "download"):
        agent, curl = rows.get(("agent", case)), rows.get(("curl", case))
        if not agent or not curl:
            continue
        surplus = sum(agent.values()) - sum(curl.values())
        if surplus <= 0:
            lines.append("%s: the agent makes %d system calls to curl's %d, no more." % (
                case, sum(agent.values()), sum(curl.values())))
            continue
        lines.append("%s: %d more system calls than curl (%d to %d)." % (
            case, surplus, sum(agent.values()), sum(curl.values())))
        if case == "upload":
            if agent.get("read", 0) >= pieces * 0.9:
                lines.append("upload, read: the inputs are read with about one read per 8192-byte "
                             "piece (%d), where curl reads larger blocks (%d)." % (
                                 agent.get("read", 0), curl.get("read", 0)))
            if agent.get("sendto", 0) >= pieces * 0.9:
                lines.append("upload, sendto: each 8192-byte piece goes to the socket in a send "
                             "of its own (%d), where curl sends up to 64 KiB at once (%d)." % (
                                 agent.get("sendto", 0), curl.get("sendto", 0)))
            if agent.get("poll", 0) >= pieces * 0.9:
                lines.append("upload, poll: the transport drives libcurl once per piece and "
                             "waits on the socket each time (%d polls; curl %d)." % (
                                 agent.get("poll", 0), curl.get("poll", 0)))
        else:
            if agent.get("write", 0) >= pieces * 0.9:
                lines.append("download, write: about one write per 8191-byte piece of the "
                             "reply (%d writes; curl %d)." % (
                                 agent.get("write", 0), curl.get("write", 0)))
            elif agent.get("write", 0) > curl.get("write", 0):
                lines.append("download, write: more writes than curl's into the temporary "
                             "file (%d writes; curl %d)." % (agent.get("write", 0),
                                                             curl.get("write", 0)))
            if agent.get("recvfrom", 0) > 2 * curl.get("recvfrom", 0):
                lines.append("download, recvfrom: the socket is read in smaller pieces "
                             "(%d reads; curl %d)." % (
                                 agent.get("recvfrom", 0), curl.get("recvfrom", 0)))
            if agent.get("poll", 0) > 2 * curl.get("poll", 0):
                lines.append("download, poll: %d polls to curl's %d." % (
                    agent.get("poll", 0), curl.get("poll", 0)))
    return lines


# --- ceilings: what the machine itself allows -------------------------------

def raw_post(port, size):
    """Sends a POST of `size` bytes from memory; the sink's fastest client."""
    with socket.create_connection(("127.0.0.1", port)) as sock:
        sock.sendall(("POST /__raw HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n"
                      "Connection: close\r\n\r\n" % size).encode())
        view = memoryview(BLOCK)
        left = size
        while left > 0:
            piece = min(left, len(BLOCK))
            sock.sendall(view[:piece])
            left -= piece
        while sock.recv(65536):
            pass


def raw_get(port, size):
    """Reads a download of `size` bytes into one buffer and drops it."""
    buffer = bytearray(MiB)
    view = memoryview(buffer)
    started = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port)) as sock:
        sock.sendall(("GET /dl/%d/x HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                      % size).encode())
        while sock.recv_into(view):
            pass
    print(time.perf_counter() - started)


def file_rate(path, chunk):
    """Seconds to read `path` (in the page cache) in pieces of `chunk` bytes."""
    buffer = bytearray(chunk)
    started = time.perf_counter()
    fd = os.open(path, os.O_RDONLY)
    try:
        while os.readv(fd, [buffer]) > 0:
            pass
    finally:
        os.close(fd)
    return time.perf_counter() - started


def write_rate(path, size, chunk):
    block = BLOCK[:chunk] if chunk <= len(BLOCK) else BLOCK
    started = time.perf_counter()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        left = size
        while left > 0:
            left -= os.write(fd, block[:min(left, chunk)])
    finally:
        os.close(fd)
    wall = time.perf_counter() - started
    remove(path)
    return wall


def ceilings(bench, size):
    """Throughputs, bytes per second, that bound every figure."""
    results = {}
    me = [sys.executable, os.path.abspath(__file__)]
    bench.sink.take_stats()
    walls = []
    for _ in range(3):
        started = time.perf_counter()
        subprocess.run(me + ["--raw-post", str(bench.sink.port), str(size)], check=True)
        walls.append(time.perf_counter() - started)
    posts = [s for s in bench.sink.take_stats() if s["path"] == "/__raw"]
    results["sink receiving (raw socket sender, sink-side)"] = size / statistics.median(
        [p["last"] - p["head"] for p in posts])
    results["sink sending (raw socket receiver)"] = size / statistics.median(
        [float(subprocess.run(me + ["--raw-get", str(bench.sink.port), str(size)], check=True,
                              stdout=subprocess.PIPE, text=True).stdout) for _ in range(3)])
    probe = os.path.join(bench.dir, "probe.bin")
    results["file write, 1 MiB pieces (page cache)"] = size / statistics.median(
        [write_rate(probe, size, MiB) for _ in range(3)])
    results["file write, 8191-byte pieces (page cache)"] = size / statistics.median(
        [write_rate(probe, size, 8191) for _ in range(3)])
    write_file(probe, size)
    for chunk, name in ((8192, "8192-byte"), (64 * KiB, "64 KiB")):
        results["file read, %s pieces (page cache)" % name] = size / statistics.median(
            [file_rate(probe, chunk) for _ in range(3)])
    remove(probe)
    return results


# --- the machine ------------------------------------------------------------

def machine_facts(directory):
    facts = {}
    facts["date"] = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    facts["cpu"] = "%s, %d cores" % (cpu, os.cpu_count() or 0)
    try:
        with open("/proc/meminfo") as info:
            total = int(info.readline().split()[1])
        facts["memory"] = "%.1f GiB" % (total / (1 << 20))
    except (OSError, ValueError, IndexError):
        facts["memory"] = "unknown"
    facts["kernel"] = platform.release()
    fs = subprocess.run(["df", "-T", directory], stdout=subprocess.PIPE, text=True).stdout
    facts["temp filesystem"] = fs.splitlines()[-1].split()[1] if fs else "unknown"
    facts["curl"] = subprocess.run(["curl", "--version"], stdout=subprocess.PIPE,
                                   text=True).stdout.splitlines()[0]
    return facts


def cpu_busy_seconds():
    """CPU seconds the whole machine has spent busy since boot, all cores."""
    with open("/proc/stat") as stat:
        fields = [int(x) for x in stat.readline().split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)  # idle and iowait
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def own_cpu_seconds():
    """CPU seconds of this script and every process it has waited for."""
    import resource
    total = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        total += usage.ru_utime + usage.ru_stime
    return total


def git_revision():
    result = subprocess.run(["git", "-C", HERE, "rev-parse", "--short", "HEAD"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    dirty = subprocess.run(["git", "-C", HERE, "status", "--porcelain", "--untracked-files=no",
                            "--", "src"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           text=True).stdout.strip()
    revision = result.stdout.strip() or "unknown"
    return revision + (" with uncommitted changes in src/" if dirty else "")


# --- report -----------------------------------------------------------------

def mib(kib):
    return kib / 1024.0


def fmt_ratio(summary):
    middle, low, high = summary
    return "%.2f (%.2f-%.2f)" % (middle, low, high)


def build_report(args, facts, results, small, wine, limits, loads, elapsed, profile, cpu,
                 resume):
    lines = []
    out = lines.append
    out("# Benchmarks: the agent against curl")
    out("")
    out("Generated by `bench/run.sh` on %s, in %.0f s. Agent revision %s." % (
        facts["date"], elapsed, git_revision()))
    out("")
    out("## Machine")
    out("")
    out("- CPU: %s. Memory: %s. Kernel %s. Temporary files on %s." % (
        facts["cpu"], facts["memory"], facts["kernel"], facts["temp filesystem"]))
    out("- %s." % facts["curl"])
    busy, own = loads
    cores = os.cpu_count() or 1
    out("- During the run the machine's cores were busy %.0f%% of the time. Processes that "
        "the benchmark did not start and wait for (whatever else runs here, wine's server, and "
        "kernel work charged to no process, such as some of the loopback traffic) "
        "used %.0f CPU seconds of the %.0f available (%.0f%%)." % (
            100.0 * busy / (elapsed * cores), max(busy - own, 0.0), elapsed * cores,
            100.0 * max(busy - own, 0.0) / (elapsed * cores)))
    if args.note:
        out("- %s" % args.note)
    if SINK_CORES:
        out("- The sink (Python) runs on core %s and the clients (the agent or curl) on core %s; "
            "the kernel's loopback work lands on either. Figures are wall-clock medians; ratios "
            "come from the same run, with the runs of agent and curl interleaved." % (
                ",".join(map(str, sorted(SINK_CORES))), ",".join(map(str, sorted(CLIENT_CORES)))))
    else:
        out("- Everything runs on one core: the agent or curl, the sink (Python) and the "
            "kernel's loopback. Figures are wall-clock medians; ratios come from the same run, "
            "with the runs of agent and curl interleaved.")
    out("")
    out("## How it is measured")
    out("")
    out("Every figure is one whole job: the version check, the upload of the inputs in one "
        "multipart POST, and the download of the result, against `bench/sink.py`, a local "
        "server that reads bodies straight from the socket into a 1 MiB buffer and drops them, "
        "and sends downloads from a 1 MiB block in memory. The agent reaches it through "
        "`http_proxy` (its service host is compiled in); curl does the same three calls in one "
        "process (`curl -F ... --next -F ... --next -o ...`), so both do the same work and "
        "curl gets its best case (one process, one connection).")
    out("")
    out("- Upload cases: the inputs are uploaded and the download is 0 bytes. Besides the "
        "whole job's wall time, the sink times the upload POST itself, from the end of its "
        "request head to its last body byte (`upload phase`).")
    out("- Download cases: the input is a 4 KiB file; the download has the given size. The "
        "agent writes it into a temporary file in the output's file system, which then takes "
        "the output's name by a rename.")
    out("- Ten inputs: ten files that add up to the given size.")
    out("- Peak memory: the maximum resident set size that `/usr/bin/time -v` reports; wall "
        "time: `time.perf_counter()` around the same command. Inputs are fresh random data in "
        "the page cache.")
    out("- Ratios are agent/curl: the ratio of the medians, with the lowest and highest ratio "
        "of one run's pair in brackets.")
    out("")
    out("## Time")
    out("")
    out("Wall time of the whole job, and the CPU time (user + system) the program itself "
        "used, which the other load on a shared machine disturbs far less.")
    out("")
    out("| Case | Size | Runs | Agent s | curl s | Agent/curl | Agent CPU s | curl CPU s | "
        "Agent/curl CPU |")
    out("|---|---|---|---|---|---|---|---|---|")
    for r in results:
        a, c = r["agent"], r["curl"]
        out("| %s | %s | %d | %.3f | %.3f | %s | %.3f | %.3f | %s |" % (
            r["case"], size_name(r["size"]), len(a.wall), statistics.median(a.wall),
            statistics.median(c.wall), fmt_ratio(ratio_summary(a.wall, c.wall)),
            statistics.median(a.cpu), statistics.median(c.cpu), cpu_ratio(a.cpu, c.cpu)))
    out("")
    out("The upload phase alone, timed by the sink from the end of the upload's request head "
        "to its last body byte. A 1 MiB body fits in the loopback socket's buffers, so the "
        "client may have written all of it before the sink starts reading: at that size these "
        "figures say little.")
    out("")
    out("| Case | Size | Agent ms | curl ms | Agent/curl | Agent MiB/s | curl MiB/s |")
    out("|---|---|---|---|---|---|---|")
    for r in results:
        if not r["case"].startswith("upload"):
            continue
        a, c = r["agent"], r["curl"]
        out("| %s | %s | %.1f | %.1f | %s | %.0f | %.0f |" % (
            r["case"], size_name(r["size"]), statistics.median(a.upload) * 1000,
            statistics.median(c.upload) * 1000, fmt_ratio(ratio_summary(a.upload, c.upload)),
            r["size"] / MiB / statistics.median(a.upload),
            r["size"] / MiB / statistics.median(c.upload)))
    if small:
        a, c, c3 = small["agent"], small["curl"], small["curl3"]
        out("")
        out("Small job (version check, 4 KiB up, 4 KiB down), runs: %d. Agent %.1f ms "
            "(CPU %.1f ms); three curl processes in a row %.1f ms (CPU %.1f ms), ratio %s; one "
            "curl process with `--next` %.1f ms (CPU %.1f ms), ratio %s." % (
                len(a.wall), statistics.median(a.wall) * 1000, statistics.median(a.cpu) * 1000,
                statistics.median(c3.wall) * 1000, statistics.median(c3.cpu) * 1000,
                fmt_ratio(ratio_summary(a.wall, c3.wall)),
                statistics.median(c.wall) * 1000, statistics.median(c.cpu) * 1000,
                fmt_ratio(ratio_summary(a.wall, c.wall))))
        cc = small["curl-connections"]
        out("")
        out("The agent opens a connection for each of its three requests, where one curl "
            "process with `--next` keeps one connection for all three. The same curl process "
            "with a connection per call (`-H 'Connection: close'`) took %.1f ms (CPU %.1f ms): "
            "agent/that %s. The small cases' remaining difference is made of these "
            "connections: the two extra connects and the sink's work to take them on, which "
            "is time spent waiting, not CPU time." % (
                statistics.median(cc.wall) * 1000, statistics.median(cc.cpu) * 1000,
                fmt_ratio(ratio_summary(a.wall, cc.wall))))
    out("")
    out("## Peak memory")
    out("")
    out("| Case | Size | Agent MiB | curl MiB | Agent - curl MiB |")
    out("|---|---|---|---|---|")
    for r in results:
        a, c = statistics.median(r["agent"].peak), statistics.median(r["curl"].peak)
        out("| %s | %s | %.2f | %.2f | %+.2f |" % (r["case"], size_name(r["size"]), mib(a),
                                                  mib(c), mib(a - c)))
    if small:
        out("| small job | 4 KiB | %.2f | %.2f (3 processes: %.2f) | %+.2f |" % (
            mib(statistics.median(small["agent"].peak)),
            mib(statistics.median(small["curl"].peak)),
            mib(statistics.median(small["curl3"].peak)),
            mib(statistics.median(small["agent"].peak) - statistics.median(small["curl"].peak))))
    out("")
    growth = growth_rows(results)
    if growth:
        out("Growth from the smallest to the largest size (MiB):")
        out("")
        out("| Case | Agent | curl |")
        out("|---|---|---|")
        for case, low, high, agent_growth, curl_growth in growth:
            out("| %s, %s to %s | %+.2f | %+.2f |" % (case, size_name(low), size_name(high),
                                                       mib(agent_growth), mib(curl_growth)))
        out("")
    out("## A download cut once")
    out("")
    for line in resume_lines(resume):
        out(line)
    out("")
    if args.extra_agents:
        out("## Other builds of the agent, measured alongside")
        out("")
        if args.extra_note:
            out(args.extra_note)
            out("")
        for label, path in args.extra_agents:
            out("- %s: `%s`" % (label, path))
        out("")
        out("| Build | Case | Size | Wall s | Agent/curl | CPU s | Agent/curl CPU | Peak MiB |")
        out("|---|---|---|---|---|---|---|---|")
        for label, _ in args.extra_agents:
            for r in results:
                e, c = r["extra"][label], r["curl"]
                out("| %s | %s | %s | %.3f | %s | %.3f | %s | %.2f |" % (
                    label, r["case"], size_name(r["size"]), statistics.median(e.wall),
                    fmt_ratio(ratio_summary(e.wall, c.wall)), statistics.median(e.cpu),
                    cpu_ratio(e.cpu, c.cpu), mib(statistics.median(e.peak))))
        out("")
    if profile:
        out("## System calls")
        out("")
        out("Counted with `strace -c -f` over one job of each kind (%s), outside the timed "
            "runs. On this virtual machine every system call is expensive, so their number "
            "is most of what separates the programs." % size_name(profile["size"]))
        out("")
        names = profile["names"]
        out("| Program | Case | Total | " + " | ".join(names) + " |")
        out("|---|---|---|" + "---|" * len(names))
        for program, case, counts in profile["rows"]:
            out("| %s | %s | %d | %s |" % (program, case, sum(counts.values()),
                                           " | ".join(str(counts.get(n, 0)) for n in names)))
        out("")
        out("Against curl's:")
        out("")
        for line in gap_lines(profile):
            out("- " + line)
        out("")
    if cpu:
        out("## Where the CPU time goes")
        out("")
        out("Sampled with `perf record -g` (cpu-clock) over one more job of each kind, outside "
            "the timed runs: the case where the agent is furthest behind curl in this run, and "
            "the largest single-input upload. CPU seconds under each part, call graphs "
            "included; the rest is the HTTP and TLS libraries, the kernel's other work and the "
            "programs' own code. One sample each, so the figures move from run to run.")
        out("")
        for line in cpu_lines(cpu):
            out(line)
        out("")
    out("## Targets")
    out("")
    for line in target_lines(results):
        out("- " + line)
    out("")
    gaps = gap_summary(results, cpu)
    if gaps:
        out("What the remaining gaps are made of:")
        out("")
        for line in gaps:
            out("- " + line)
        out("")
    for label, _ in args.extra_agents:
        out("The same targets for %s:" % label)
        out("")
        for line in target_lines(results, label):
            out("- " + line)
        out("")
    if wine:
        out("## Windows build under wine (information only)")
        out("")
        if is_32_bit(args.wine_agent):
            out("These figures are the shipped 32-bit build (WinINet, `%s`) under wine through "
                "`scripts/wine-run.sh`, against the native curl figures above." %
                os.path.basename(args.wine_agent))
        else:
            out("The shipped 32-bit .exe cannot run here: this machine's kernel cannot execute "
                "32-bit x86 code. These figures are the x86-64 build of the same Windows code "
                "(WinINet, `%s`) under wine64 through `scripts/wine-run.sh`, against the native "
                "curl figures above." % os.path.basename(args.wine_agent))
        out("Wine's start-up is in every figure (the small job shows how much it is), and the "
            "peak memory is that of the wine process.")
        out("")
        out("| Case | Size | Runs | Agent under wine s | curl s (native) | Ratio | "
            "Upload phase ms | Peak MiB |")
        out("|---|---|---|---|---|---|---|---|")
        for r in wine:
            w = r["wine"]
            curl = r["curl"]
            out("| %s | %s | %d | %.3f | %.3f | %.2f | %s | %.1f |" % (
                r["case"], size_name(r["size"]), len(w.wall), statistics.median(w.wall),
                statistics.median(curl), statistics.median(w.wall) / statistics.median(curl),
                "%.1f" % (statistics.median(w.upload) * 1000) if r["case"].startswith("upload")
                else "", mib(statistics.median(w.peak))))
        skipped = [s for s in args.wine_sizes_skipped]
        if skipped:
            out("")
            out("Not run under wine: %s (`--no-wine-gib`)." % ", ".join(
                size_name(s) for s in skipped))
        out("")
    out("## What limits the figures")
    out("")
    out("Measured in the same run, with %s of data:" % size_name(limits["size"]))
    out("")
    out("| Path | MiB/s |")
    out("|---|---|")
    for name, rate in limits["rates"].items():
        out("| %s | %.0f |" % (name, rate / MiB))
    out("")
    for paragraph in [sink_note(results, limits["rates"])] + LIMITS_TEXT + [
            runtime_note(args.agent)]:
        out(paragraph)
        out("")
    return "\n".join(lines).rstrip() + "\n"


def gap_summary(results, cpu):
    """One line for each target the agent misses, saying from this run's figures why."""
    lines = []
    profiled = {}
    for label, case, size, total, parts, _ in cpu or []:
        profiled.setdefault((case, size), {})[label] = parts
    for r in results:
        ratio = ratio_summary(r["agent"].wall, r["curl"].wall)[0]
        if ratio <= 1.05:
            continue
        where = "%s, %s (%.2fx)" % (r["case"], size_name(r["size"]), ratio)
        parts = profiled.get((r["case"], r["size"]), {}).get("agent")
        if r["case"] == "download" and parts:
            lines.append(
                "%s: a copy of the temporary file to the output path (which the agent makes "
                "only when the two lie on different file systems) and the deletion of the "
                "temporary file took %.2f s of CPU time (profile above)." % (
                    where, parts["copying the temporary file to the output path"] +
                    parts["deleting the temporary file"]))
        elif r["size"] < 64 * MiB:
            lines.append("%s: a job of a few tens of milliseconds, where the agent's three "
                         "connections against curl's one weigh most (small job above)." % where)
        else:
            lines.append("%s: no cause identified in this run; CPU time agent/curl %s." % (
                where, cpu_ratio(r["agent"].cpu, r["curl"].cpu)))
    over = [r for r in results if statistics.median(r["agent"].peak) >
            statistics.median(r["curl"].peak)]
    if over:
        spread = max(max(r["curl"].peak) - min(r["curl"].peak) for r in results)
        most = max(statistics.median(r["agent"].peak) - statistics.median(r["curl"].peak)
                   for r in over)
        lines.append("Peak memory: the agent's median is above curl's by at most %.2f MiB, "
                     "less than curl's own peak moves between runs of one case (%.2f MiB); "
                     "both are mostly the same shared libraries." % (mib(most), mib(spread)))
    return lines


def cpu_lines(rows):
    """A table per case from cpu_profile's rows, and what the agent's surplus is made of."""
    lines = []
    by_case = {}
    wall_ratios = {}
    for label, case, size, total, parts, wall_ratio in rows:
        by_case.setdefault((case, size), {})[label] = (total, parts)
        wall_ratios[(case, size)] = wall_ratio
    for (case, size), programs in by_case.items():
        if "agent" not in programs or "curl" not in programs:
            continue
        (agent_total, agent), (curl_total, curl) = programs["agent"], programs["curl"]
        lines.append("%s, %s:" % (case[0].upper() + case[1:], size_name(size)))
        lines.append("")
        lines.append("| Part | Agent s | curl s | Agent - curl s |")
        lines.append("|---|---|---|---|")
        for name in agent:
            if agent[name] < 0.0005 and curl[name] < 0.0005:
                continue
            lines.append("| %s | %.3f | %.3f | %+.3f |" % (name, agent[name], curl[name],
                                                          agent[name] - curl[name]))
        lines.append("| all CPU time | %.3f | %.3f | %+.3f |" % (agent_total, curl_total,
                                                                agent_total - curl_total))
        lines.append("")
        surplus = agent_total - curl_total
        required = agent["copying the temporary file to the output path"] + \
            agent["deleting the temporary file"]
        if surplus <= 0 and wall_ratios[(case, size)] > 1.05:
            lines.append("The agent used no more CPU time than curl here: what it loses in "
                         "wall time it spends waiting, on the sink's answers over three "
                         "connections where curl keeps one, and on the machine's other work.")
        elif surplus <= 0:
            lines.append("The agent used no more CPU time than curl here.")
        else:
            lines.append(
                "The agent used %.3f s more CPU time than curl. Copying the temporary file to "
                "the output path and deleting it, which the job requires and curl's single "
                "`-o` does not do, took %.3f s; copies inside the process took %.3f s (curl "
                "%.3f s)." % (surplus, required,
                              agent["copies inside the process (memcpy, memmove)"],
                              curl["copies inside the process (memcpy, memmove)"]))
        lines.append("")
    return lines


def sink_note(results, rates):
    """Whether the sink's own rates, measured in the same run, bound the clients'."""
    receiving = rates.get("sink receiving (raw socket sender, sink-side)", 0)
    sending = rates.get("sink sending (raw socket receiver)", 0)
    uploads = [r["size"] / statistics.median(r[tool].upload) for r in results
               for tool in ("agent", "curl") if r["case"].startswith("upload") and
               r["size"] >= 64 * MiB and statistics.median(r[tool].upload) > 0]
    downloads = [r["size"] / statistics.median(r[tool].wall) for r in results
                 for tool in ("agent", "curl") if r["case"] == "download"]
    if receiving > max(uploads, default=0) and sending > max(downloads, default=0):
        return ("- Loopback and the sink: the sink takes and sends bytes faster than either "
                "client did (first two rows), so it is not the bottleneck; every system call is "
                "expensive on this virtual machine.")
    return ("- Loopback and the sink: in this run the sink's own rates (first two rows) came "
            "out below rates the clients reached, so the other load on the machine disturbed "
            "these measurements too and they bound nothing here. Every system call is expensive "
            "on this virtual machine.")


LIMITS_TEXT = [
    "- The 8192-byte file chunks: the agent hands each input to the connection in pieces of "
    "8192 bytes, one write per piece, as its wire contract says. It reads the inputs from disk "
    "in blocks of 64 KiB and gathers the pieces into 64 KiB before each send, so the chunking "
    "costs a copy of each byte rather than a system call per piece; the 8192-byte read row "
    "above shows what reading piece by piece would cost.",
    "- Disk: nothing is synced, so the files stay in the page cache; writes cost memory "
    "bandwidth and system calls rather than disk time. The agent writes each download once, "
    "into the temporary file, in blocks of 64 KiB gathered from the pieces the reply is read "
    "in; the file then becomes the output by a rename. A temporary file on another file system "
    "than the output's would be copied by the kernel (`copy_file_range`) instead. The "
    "temporary file is never truncated when it is already empty: ext4 writes a file truncated "
    "to nothing out to disk when it is closed, which made each large download's close wait on "
    "the disk.",
    "- Loopback wake-ups: on this virtual machine a large upload's wall time falls into two "
    "modes, for curl and the agent alike, one about twice the other. In the slow runs perf puts "
    "the extra time in the kernel's wake-up and softirq paths (`_raw_spin_unlock_irqrestore`, "
    "`handle_softirqs`) that each send takes when the sink's thread sleeps on its socket, not "
    "in either program's code. Which mode a run falls into changes from run to run, so the "
    "upload ratios spread widely; the system-call counts, which do not change, show the work "
    "each program does.",
    "- Memory: most of either program's resident memory is shared libraries (libcurl with "
    "OpenSSL, GnuTLS and the rest of its dependencies: a bare libcurl program holds about 10 "
    "MiB here). What matters for large jobs is the growth from the small to the large size.",
]


def runtime_note(agent):
    """What the agent maps beyond curl's own libraries."""
    linked = subprocess.run(["ldd", agent], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            text=True).stdout
    extra = [name for name in ("libstdc++", "libtinyxml", "libm.so")
             if name in linked]
    if not extra:
        return ("- The agent maps no shared C++ runtime: libstdc++ and TinyXML are linked into "
                "it, and only the parts it uses are loaded.")
    return ("- Beside libcurl's libraries, the agent maps %s; their resident pages (mostly "
            "libstdc++'s symbol tables and code, touched as the program is linked at start-up) "
            "are most of its memory above curl's." % ", ".join(extra))


def samples_of(result, build):
    """The samples of the agent itself, or of another build measured alongside."""
    return result["agent"] if build == "agent" else result["extra"][build]


def growth_rows(results, build="agent"):
    rows = []
    for case in ("upload, 1 input", "upload, 10 inputs", "download"):
        mine = [r for r in results if r["case"] == case]
        if len(mine) < 2:
            continue
        low = min(mine, key=lambda r: r["size"])
        high = max(mine, key=lambda r: r["size"])
        rows.append((case, low["size"], high["size"],
                     statistics.median(samples_of(high, build).peak) -
                     statistics.median(samples_of(low, build).peak),
                     statistics.median(high["curl"].peak) - statistics.median(low["curl"].peak)))
    return rows


def target_lines(results, build="agent"):
    lines = []

    def wall_ratio(r):
        return ratio_summary(samples_of(r, build).wall, r["curl"].wall)[0]

    def cpu_of(r):
        return statistics.median(samples_of(r, build).cpu) / max(
            statistics.median(r["curl"].cpu), 0.001)

    def extra_memory(r):
        return statistics.median(samples_of(r, build).peak) - statistics.median(r["curl"].peak)

    worst = max(results, key=wall_ratio)
    over = ["%s, %s, %.2fx" % (r["case"], size_name(r["size"]), wall_ratio(r))
            for r in results if wall_ratio(r) > 1.05]
    if over:
        lines.append("Wall time at most 1.05x curl's for every case: NOT met in %d of %d "
                     "cases (%s)." % (len(over), len(results), "; ".join(over)))
    else:
        lines.append("Wall time at most 1.05x curl's for every case: met (worst: %s, %s, "
                     "%.2fx)." % (worst["case"], size_name(worst["size"]), wall_ratio(worst)))
    worst_cpu = max(results, key=cpu_of)
    lines.append("For comparison, CPU time: at most %.2fx curl's (%s, %s)." % (
        cpu_of(worst_cpu), worst_cpu["case"], size_name(worst_cpu["size"])))
    growth = growth_rows(results, build)
    if growth:
        worst_growth = max(growth, key=lambda g: g[3])
        lines.append("Peak memory flat, at most 1 MiB more for the largest job than for the "
                     "smallest: %s (largest growth: %s, %+.2f MiB)." % (
                         "met" if worst_growth[3] <= 1024 else "NOT met", worst_growth[0],
                         mib(worst_growth[3])))
    over = [r for r in results if extra_memory(r) > 0]
    if over:
        most = max(over, key=extra_memory)
        spread = max(max(r["curl"].peak) - min(r["curl"].peak) for r in results)
        lines.append("Peak memory no more than curl's for the same work: NOT met in %d of %d "
                     "cases (at most %+.2f MiB, %s, %s; curl's own peak varies by up to %.2f MiB "
                     "between runs of one case)." % (
                         len(over), len(results), mib(extra_memory(most)), most["case"],
                         size_name(most["size"]), mib(spread)))
    else:
        lines.append("Peak memory no more than curl's for the same work: met in every case.")
    return lines


# --- main -------------------------------------------------------------------

def run(args, directory):
    started = time.perf_counter()
    busy_before, own_before = cpu_busy_seconds(), own_cpu_seconds()
    facts = machine_facts(directory)
    sink = Sink()
    try:
        bench = Bench(args, directory, sink)
        print("Benchmark: agent %s against %s" % (args.agent, facts["curl"].split(" (")[0]))
        print("Machine: %s, %s. The clients, the sink and anything else running share "
              "these cores." % (facts["cpu"], facts["memory"]))
        if args.note:
            print(args.note)
        small_input = make_inputs(directory, "small", SMALL, 1)
        # Warm-up: libraries and the sink's first connection.
        sink.set_download(SMALL)
        bench.run_agent(small_input, SMALL)
        bench.run_curl(small_input, SMALL)
        sink.take_stats()

        results = []
        wine = []
        tools = [("agent", bench.run_agent), ("curl", bench.run_curl)]
        for label, program in args.extra_agents:
            tools.append((label, lambda i, d, program=program: bench.run_agent(i, d, program)))
        for size in args.sizes:
            # Jobs of a few tens of milliseconds vary most from run to run, and cost least.
            if size < GiB:
                runs = args.runs * 3 if size < 64 * MiB else args.runs
            else:
                runs = max(1, min(args.runs, args.gib_runs))
            single = make_inputs(directory, "one", size, 1)
            ten = make_inputs(directory, "ten", size, 10)
            for case, inputs, download in (("upload, 1 input", single, 0),
                                           ("upload, 10 inputs", ten, 0),
                                           ("download", small_input, size)):
                sys.stdout.write("%-18s %-7s " % (case, size_name(size)))
                samples = paired(case, runs, tools, bench, inputs, download)
                entry = {"case": case, "size": size, "agent": samples["agent"],
                         "curl": samples["curl"],
                         "extra": {label: samples[label] for label, _ in args.extra_agents}}
                results.append(entry)
                print(" agent/curl %s" % fmt_ratio(ratio_summary(entry["agent"].wall,
                                                                 entry["curl"].wall)))
                if args.wine_agent and size in args.wine_sizes:
                    sys.stdout.write("%-18s %-7s " % (case + " (wine)", size_name(size)))
                    wine_runs = args.wine_runs if size < GiB else 1
                    wine_samples = paired(case, wine_runs,
                                          [("wine", bench.run_wine_agent)], bench, inputs,
                                          download)
                    wine.append({"case": case, "size": size, "wine": wine_samples["wine"],
                                 "curl": entry["curl"].wall})
                    print(" %.3f s" % statistics.median(wine_samples["wine"].wall))
            remove(*single, *ten)

        sys.stdout.write("%-26s " % "small job")
        small_samples = paired("small", args.small_runs,
                               [("agent", bench.run_agent), ("curl", bench.run_curl),
                                ("curl3", bench.run_curl_three),
                                ("curl-connections", bench.run_curl_connections)],
                               bench, small_input, SMALL)
        small = {name: small_samples[name]
                 for name in ("agent", "curl", "curl3", "curl-connections")}
        print(" agent/3 curls %s" % fmt_ratio(ratio_summary(small["agent"].wall,
                                                            small["curl3"].wall)))
        if args.wine_agent:
            sys.stdout.write("%-26s " % "small job (wine)")
            wine_small = paired("small", args.wine_runs, [("wine", bench.run_wine_agent)],
                                bench, small_input, SMALL)
            wine.append({"case": "small job", "size": SMALL, "wine": wine_small["wine"],
                         "curl": small["curl3"].wall})
            print(" %.3f s" % statistics.median(wine_small["wine"].wall))

        resume_size = min(RESUME_SIZE, max(args.sizes))
        builds = [("agent", bench.run_agent)]
        if args.wine_agent:
            builds.append(("agent under wine", bench.run_wine_agent))
        resume = []
        for label, run_agent in builds:
            sys.stdout.write("%-26s " % ("download cut once (%s)" % label))
            resume.append(resume_case(bench, args.resume_runs, resume_size, label, run_agent))
            print(" %d sent for %s" % (max(resume[-1]["sent"]), size_name(resume_size)))

        profile = syscall_profile(bench, args, directory) if shutil.which("strace") else None
        print("CPU profile...")
        cpu = cpu_profile(bench, args, directory, results)
        limit_size = min(max(args.sizes), 256 * MiB)
        print("Ceilings with %s..." % size_name(limit_size))
        limits = {"size": limit_size, "rates": ceilings(bench, limit_size)}
    finally:
        sink.stop()
    elapsed = time.perf_counter() - started
    report = build_report(args, facts, results, small, wine, limits,
                          (cpu_busy_seconds() - busy_before, own_cpu_seconds() - own_before),
                          elapsed, profile, cpu, resume)
    return report


def main(argv):
    if argv[:1] == ["--raw-post"]:
        raw_post(int(argv[1]), int(argv[2]))
        return 0
    if argv[:1] == ["--raw-get"]:
        raw_get(int(argv[1]), int(argv[2]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--agent", required=True)
    parser.add_argument("--wine-agent")
    parser.add_argument("--wine-runner")
    parser.add_argument("--output", help="write the report here (BENCHMARKS.md)")
    parser.add_argument("--runs", type=int, default=21)
    parser.add_argument("--gib-runs", type=int, default=5)
    parser.add_argument("--wine-runs", type=int, default=3)
    parser.add_argument("--small-runs", type=int, default=21)
    parser.add_argument("--resume-runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true",
                        help="1 MiB and 64 MiB only, 3 runs: a trial, not a measurement")
    parser.add_argument("--no-wine-gib", action="store_true",
                        help="leave the 1 GiB cases out under wine")
    parser.add_argument("--sizes", help="comma-separated sizes in MiB instead of 1,64,1024")
    parser.add_argument("--note", default="")
    parser.add_argument("--extra-agent", action="append", default=[], metavar="LABEL=PATH",
                        help="another build of the agent, measured alongside")
    parser.add_argument("--extra-note", default="", help="what the other builds are")
    args = parser.parse_args(argv)
    args.extra_agents = []
    for item in args.extra_agent:
        label, _, path = item.partition("=")
        if not path:
            sys.exit("bench: --extra-agent wants LABEL=PATH")
        args.extra_agents.append((label, os.path.abspath(path)))
    # The commands run in the temporary directory.
    for name in ("agent", "wine_agent", "wine_runner"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    if not os.path.exists("/usr/bin/time"):
        sys.exit("bench: /usr/bin/time is missing (Debian package `time`; scripts/setup.sh "
                 "installs it)")
    if shutil.which("curl") is None:
        sys.exit("bench: curl is missing")
    if args.sizes:
        args.sizes = [int(float(size) * MiB) for size in args.sizes.split(",")]
    else:
        args.sizes = [MiB, 64 * MiB] if args.quick else [MiB, 64 * MiB, GiB]
    if args.quick:
        args.runs = min(args.runs, 3)
        args.small_runs = min(args.small_runs, 3)
        args.wine_runs = min(args.wine_runs, 2)
        args.resume_runs = 1
    if args.wine_agent and not args.wine_runner:
        sys.exit("bench: --wine-agent needs --wine-runner")
    args.wine_sizes = [s for s in args.sizes if s < GiB or not args.no_wine_gib]
    args.wine_sizes_skipped = [s for s in args.sizes if s not in args.wine_sizes] \
        if args.wine_agent else []

    directory = tempfile.mkdtemp(prefix="tarvolin-bench-")
    # A kill must not leave GiB files behind either.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(129))
    try:
        report = run(args, directory)
    except Failure as failure:
        print("\nbench: %s" % failure, file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    print()
    print(report)
    if args.output:
        with open(args.output, "w") as out:
            out.write(report)
        print("Written to %s" % args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
