#!/usr/bin/env bash
# Every test: the native suites and, where built, the Windows suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
ctest --test-dir build/native --output-on-failure -j "$(nproc)"
