#!/usr/bin/env python3
"""What -verify costs: the same signing job with and without it, and the
hashing rate of each build. Needs openssl and osslsigncode.

    verify_bench.py --agent PATH --probe PATH [--wine-probe EXE --wine-runner SCRIPT]
                    [--size-mib 256] [--runs 3]

A PE of the given size is made and signed once; the sink (bench/sink.py)
takes the upload and hands back that signed file, so the agent's -verify
proves a real result. Wall time and peak RSS are medians of the runs, the
two variants run side by side (alternating). The hashing rate is the proof
probe's after-download check (input and result, each hashed whole) over the
bytes it hashed.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import pe_files  # noqa: E402
from bench import is_32_bit  # noqa: E402

MiB = 1 << 20


def timed(command, env=None, cwd=None):
    """(wall seconds, peak RSS KiB) of one run that must succeed."""
    report = tempfile.NamedTemporaryFile(prefix="verify-bench-time-", delete=False)
    report.close()
    start = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + command,
                            env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    with open(report.name) as f:
        peak = int(f.read().split()[-1])
    os.remove(report.name)
    if result.returncode != 0:
        raise SystemExit("failed: %s\n%s%s" % (" ".join(command), result.stdout.decode(),
                                              result.stderr.decode()))
    return wall, peak


SECTION = "## The cost of -verify"


def write_section(path, lines):
    """Replaces (or adds at the end) the -verify section of BENCHMARKS.md."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    body = SECTION + "\n\nMeasured by bench/verify_bench.py.\n\n" + "\n".join(lines) + "\n"
    start = text.find(SECTION)
    if start < 0:
        text = text.rstrip("\n") + "\n\n" + body
    else:
        end = text.find("\n## ", start + len(SECTION))
        text = text[:start] + body + (text[end + 1:] if end >= 0 else "")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--wine-probe")
    parser.add_argument("--wine-runner")
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--output", help="BENCHMARKS.md: its -verify section is replaced")
    args = parser.parse_args()
    for name in ("agent", "probe", "wine_probe", "wine_runner"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    lines = []

    def say(text):
        print(text)
        lines.append(text)

    work = tempfile.mkdtemp(prefix="verify-bench-")
    sink = None
    try:
        signer = pe_files.make_certificate(work, "signer", "Bench Signer")
        code = os.urandom(MiB) * (args.size_mib - 1) + b"\xc3"
        source = pe_files.write(os.path.join(work, "big.exe"), pe_files.make_pe(True, code))
        del code
        result = pe_files.sign(source, os.path.join(work, "big-signed.exe"), signer)
        sink = subprocess.Popen([sys.executable, os.path.join(HERE, "sink.py"),
                                 "--serve-file", result], stdout=subprocess.PIPE)
        port = int(sink.stdout.readline().split()[1])
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        env["http_proxy"] = "http://127.0.0.1:%d" % port
        base = [args.agent, "-k", "BENCHKEY", "-i", "big.exe", "-o", "out.exe"]
        samples = {"plain": [], "verify": []}
        for _ in range(args.runs):
            samples["plain"].append(timed(base, env, work))
            samples["verify"].append(timed(base + ["-verify"], env, work))
        plain_wall = statistics.median(w for w, _ in samples["plain"])
        verify_wall = statistics.median(w for w, _ in samples["verify"])
        plain_peak = statistics.median(p for _, p in samples["plain"])
        verify_peak = statistics.median(p for _, p in samples["verify"])
        size = os.path.getsize(source)
        say("One job with a %d MiB PE, medians of %d runs side by side (Linux):" %
            (args.size_mib, args.runs))
        say("")
        say("| | wall s | peak RSS MiB |")
        say("|---|---|---|")
        say("| without -verify | %.2f | %.1f |" % (plain_wall, plain_peak / 1024))
        say("| with -verify | %.2f | %.1f |" % (verify_wall, verify_peak / 1024))
        say("| difference | %.2fx | %+.1f |" % (verify_wall / plain_wall,
                                                (verify_peak - plain_peak) / 1024))
        say("")
        say("With -verify the agent hashes the input as it is uploaded and the result as it "
            "is downloaded (SHA-256, the algorithm of the signature here), so the check "
            "afterwards reads neither file again; the difference is the table walk and the "
            "signature check.")
        say("")
        say("Targets: at most 1.5x the wall time (%s) and at most 16 MiB more peak RSS (%s)." % (
            "met" if verify_wall <= 1.5 * plain_wall else "NOT met",
            "met" if verify_peak - plain_peak <= 16 * 1024 else "NOT met"))
        say("")
        say("Hashing rate of the after-download check (proof probe: input and result, "
            "SHA-256, each read whole), median of %d; wine's start-up of a few seconds is in "
            "its figure:" % args.runs)
        say("")
        say("| build | MiB/s | s |")
        say("|---|---|---|")
        probes = [("Linux", [args.probe])]
        if args.wine_probe and args.wine_runner:
            kind = "32-bit" if is_32_bit(args.wine_probe) else "x86-64"
            probes.append(("Windows (%s) under wine" % kind, [args.wine_runner, args.wine_probe]))
        for name, command in probes:
            walls = [timed(command + [result, source], cwd=work)[0] for _ in range(args.runs)]
            hashed = size + os.path.getsize(result)
            say("| %s | %.0f | %.2f |" % (name, hashed / MiB / statistics.median(walls),
                                          statistics.median(walls)))
        if args.output:
            write_section(args.output, lines)
    finally:
        if sink:
            sink.kill()
            sink.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
