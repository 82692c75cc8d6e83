#!/usr/bin/env bash
# Hostile input and faults, beyond the ordinary test run:
#   1. every fuzz target, from its stored corpus, for a bounded time;
#   2. the POSIX build with AddressSanitizer and UndefinedBehaviorSanitizer,
#      and all its tests (unit, end-to-end, fault matrix, corpus replays);
#   3. the end-to-end suites' main paths with the agent under valgrind.
# Needs only what scripts/setup.sh installs. About a quarter of an hour on
# two cores with the defaults.
#
#   TARVOLIN_FUZZ_SECONDS   time per fuzz target (default 60)
#   TARVOLIN_JOBS           parallel build jobs (default 2)
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
jobs=${TARVOLIN_JOBS:-2}
status=0
step() { echo; echo "== $*"; }

step "fuzzers, ${TARVOLIN_FUZZ_SECONDS:-60}s each"
scripts/run-fuzzers.sh "${TARVOLIN_FUZZ_SECONDS:-60}" || status=1

step "linux-asan: build"
if cmake --preset linux-asan >/dev/null && cmake --build --preset linux-asan -j "$jobs"; then
  step "linux-asan: all tests"
  # Leaks count too: the agent frees what it takes, whatever the path.
  # TARVOLIN_SANITIZED tells the suites that peak memory measured here is
  # the sanitizer's as much as the agent's.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TARVOLIN_SANITIZED=1 \
    ctest --preset linux-asan -j "$jobs" || status=1
else
  status=1
fi

step "valgrind: the agent's main paths"
# The plain POSIX build; TARVOLIN_VALGRIND_BUILD names another folder for it.
plain=${TARVOLIN_VALGRIND_BUILD:-build/linux}
if cmake --preset linux -B "$plain" >/dev/null &&
    cmake --build "$plain" -j "$jobs" --target tarvolin-agent; then
  python3 tests/e2e/valgrind_runs.py "$plain/tarvolin-agent" || status=1
else
  status=1
fi

step "hardening: $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
