#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset: clang, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each from its stored corpus for a
# bounded time. Fails when any target finds a crash or a broken invariant;
# the input that did it is left in build/fuzz/findings/<target>/.
#
#   scripts/run-fuzzers.sh [SECONDS_PER_TARGET] [TARGET...]
#
# SECONDS_PER_TARGET defaults to 60. New inputs that reach new code are kept
# in build/fuzz/corpus/<target>/, not in the repository: add an input to
# tests/fuzz/corpus/<target>/ by hand when it is worth replaying in every run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(reply reply_head command_line url multipart_length cert_table zip_result)
jobs=${TARVOLIN_JOBS:-2}
build=build/fuzz

cmake --preset fuzz >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]/#/fuzz-}"

# Leaks are what a short-lived agent may afford; crashes and undefined
# behaviour are not.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_one() { # target seconds [locale]
  local target=$1 time=$2 locale=${3:-C.UTF-8}
  local work="$build/corpus/$target" findings="$build/findings/$target"
  local extra=()
  # A target's dictionary holds the tokens that random bytes rarely spell.
  [ -f "tests/fuzz/$target.dict" ] && extra+=(-dict="tests/fuzz/$target.dict")
  # Replies are parsed whole, and what hides deep nesting needs room.
  [ "$target" = reply ] && extra+=(-max_len=65536 -reduce_inputs=0)
  mkdir -p "$work" "$findings"
  echo "== fuzz $target for ${time}s (LC_ALL=$locale)"
  if ! LC_ALL=$locale "$build/fuzz-$target" "$work" "tests/fuzz/corpus/$target" \
      -max_total_time="$time" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$findings/" "${extra[@]}" >"$build/fuzz-$target.log" 2>&1; then
    tail -n 60 "$build/fuzz-$target.log"
    echo "fuzz $target: FAILED; the input is in $findings/"
    return 1
  fi
  grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$build/fuzz-$target.log" | tail -n 2 || true
}

status=0
for target in "${targets[@]}"; do
  if [ "$target" = command_line ]; then
    # Half the time under a double-byte code page, whose trail bytes can look
    # like ASCII letters.
    half=$(( (seconds + 1) / 2 ))
    run_one "$target" "$half" C.UTF-8 || status=1
    run_one "$target" "$half" ja_JP.SJIS || status=1
  else
    run_one "$target" "$seconds" || status=1
  fi
done
exit $status
