#!/usr/bin/env bash
# One of the checks that `make test` runs through CTest (registered in tests/checks.cmake):
#   check.sh sanitizer asan|tsan    the native suites of that build, under its sanitizers
#   check.sh fuzz <target>          a bounded run of one fuzz target (FUZZ_SECONDS, 30)
# Exit 77 (CTest: skipped) when the build the check needs is not there.
set -uo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
sanitizer)
    preset=$2
    [ -x "build/$preset/tests/chronel_tests" ] || { echo "no $preset build"; exit 77; }
    # Any report ends the test that caused it, so CTest names it.
    export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:strict_init_order=1
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    exec ctest --test-dir "build/$preset" -j "$(nproc)" --label-exclude 'wine|soak|check' \
        --output-on-failure
    ;;
fuzz)
    target=$2
    seconds=${FUZZ_SECONDS:-30}
    bin=build/fuzz/fuzz/$target
    [ -x "$bin" ] || { echo "no fuzz build"; exit 77; }
    work=build/fuzz/work/$target
    log=build/fuzz/$target.log
    mkdir -p "$work" build/fuzz/artifacts
    # New inputs go to the work directory; the seed corpus and the inputs that once failed
    # (fuzz/regressions) are only read, and every one of them is run first.
    "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/artifacts/$target-" "$work" "fuzz/corpus/$target" \
        "fuzz/regressions/$target" >"$log" 2>&1
    status=$?
    grep -E '^Done [0-9]+ runs' "$log"
    if [ $status -ne 0 ]; then
        tail -n 40 "$log"
        echo "$target failed: add the input from build/fuzz/artifacts to fuzz/regressions/$target/"
        exit 1
    fi
    ;;
*)
    echo "usage: $0 sanitizer <preset> | fuzz <target>" >&2
    exit 2
    ;;
esac
