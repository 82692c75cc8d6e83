"""What the end-to-end suites share: their command line, free ports, running
the program under test natively or under an emulator with a time limit, and
the one marker for what a run under wine does not check.

    suite.py PROGRAM [EMULATOR...] [-- unittest arguments]

PROGRAM is the built program; EMULATOR (for the Windows build: the wine
runner) is put before it. A run under wine ends with the list of what it did
not check, each with its reason.
"""

import os
import re
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "service"))


class Run:
    """How the program under test runs; filled in once by main()."""
    program = None
    emulator = []
    wine = False
    # Set by the hardening script for the sanitizers' build, which runs
    # many times more slowly and keeps shadow memory of its own.
    sanitized = bool(os.environ.get("TARVOLIN_SANITIZED"))
    # Off where the program runs under a tool whose own memory would be
    # measured (valgrind; the sanitizers, which the hardening script announces).
    memory_measured = True


RUN = Run()
# GNU time, which reports the peak memory of the program it starts.
TIME = "/usr/bin/time"
GAPS = []


def _agent_version():
    """The Agent-Version text the build's own version gives: "1, 0, 0, 4"
    for the project version 1.0.0.4."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                           "CMakeLists.txt")) as cmake:
        version = re.search(r"project\(tarvolin-agent VERSION ([0-9.]+)", cmake.read()).group(1)
    return ", ".join(version.split("."))


AGENT_VERSION = _agent_version()


def free_port():
    """A local port with nothing listening on it."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def limit(native, wine):
    """A time limit: wine starts programs and moves bytes far more slowly."""
    return wine if RUN.wine else native


def windows_path(path):
    """A path as a program under wine sees it: the Unix root is drive Z:."""
    return "Z:" + path.replace("/", "\\") if RUN.wine else path


def run(args, timeout, program=None, measure_peak=False, **options):
    """Runs the program under test (or `program`) with `args`, under the
    emulator if there is one; subprocess.run's result, or TimeoutExpired.
    With `measure_peak`, where memory is measured, the result's `peak` is the
    program's own peak resident memory in bytes, taken by GNU time: a child
    this process starts directly inherits this process's peak before it
    becomes the program, so its own figures would measure the test too."""
    command = RUN.emulator + [program or RUN.program] + list(args)
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    if not (measure_peak and RUN.memory_measured and not RUN.emulator):
        return subprocess.run(command, timeout=timeout, **options)
    with tempfile.NamedTemporaryFile("r") as report:
        result = subprocess.run([TIME, "-f", "%M", "-o", report.name, "--"] + command,
                                timeout=timeout, **options)
        result.peak = int(report.read().split()[-1]) * 1024
    return result


def wine_gap(test, reason, skip=True):
    """The marker for a check that wine cannot make, and why. Natively it does
    nothing and returns False. Under wine it records the test (or its current
    sub-test) for the list printed at the end and skips it; with skip=False
    the test goes on with the looser check that follows, and True is
    returned."""
    if not RUN.wine:
        return False
    line = "%s: %s" % ((getattr(test, "_subtest", None) or test).id(), reason)
    if line not in GAPS:
        GAPS.append(line)
    if skip:
        test.skipTest("not checked under wine: " + reason)
    return True


def main(usage, prefix=(), program_needed=True, default_tests=None):
    """Reads the command line, runs the suite of __main__ and, under wine,
    lists what the run did not check. `prefix` is a tool that runs the
    program natively (valgrind)."""
    args, options = sys.argv[1:], []
    if "--" in args:
        at = args.index("--")
        args, options = args[:at], args[at + 1:]
    if program_needed and not args:
        sys.exit("usage: " + usage)
    if args:
        RUN.program = os.path.abspath(args[0])
    # The runs happen in other working directories.
    RUN.emulator = list(prefix) + [os.path.abspath(a) if os.path.exists(a) else a
                                   for a in args[1:] if a]
    RUN.wine = not prefix and (bool(RUN.emulator) or args[0].lower().endswith(".exe")
                               if args else False)
    RUN.memory_measured = not prefix and not RUN.sanitized
    outcome = unittest.main(argv=[sys.argv[0]] + options, defaultTest=default_tests,
                            verbosity=2, exit=False)
    if RUN.wine:
        report = "".join("not checked under wine: %s\n" % line for line in GAPS)
        print("\n%d gaps under wine\n%s" % (len(GAPS), report), end="")
        # A test runner that shows only failures' output still gets the list.
        folder = os.environ.get("TARVOLIN_WINE_GAPS_DIR")
        if folder:
            suite = os.path.splitext(os.path.basename(sys.argv[0]))[0]
            with open(os.path.join(folder, suite + ".txt"), "w") as out:
                out.write(report)
    sys.exit(0 if outcome.result.wasSuccessful() else 1)
