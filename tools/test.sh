#!/usr/bin/env bash
# Every test (make test runs the native and Windows builds first): builds the sanitizer and
# fuzz presets, then one CTest run over the native build, which holds the native suites, the
# Wine end-to-end tests, and the checks of tests/checks.cmake (the suites under ASan+UBSan and
# TSan, a bounded run of each fuzz target, static analysis, the soak). CTest's summary is the
# last thing printed.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}

for preset in asan tsan fuzz; do
    echo "test: building the $preset preset"
    cmake --preset "$preset" >/dev/null
    if ! cmake --build --preset "$preset" -j "$jobs" >"build/$preset.log" 2>&1; then
        tail -n 60 "build/$preset.log"
        echo "test: the $preset build failed (build/$preset.log)"
        exit 1
    fi
done

exec ctest --test-dir build/native -j "$jobs" --output-on-failure
