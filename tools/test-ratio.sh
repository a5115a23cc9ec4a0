#!/usr/bin/env bash
# Test lines against all C++ lines (tracked .cpp and .h files, blank lines left out): the test
# files under tests/ and fuzz/, the whole tree, and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -z "$@" | xargs -0 grep -cv '^\s*$' | awk -F: '{ s += $NF } END { print s + 0 }'; }
tests=$(count 'tests/*.cpp' 'tests/*.h' 'fuzz/*.cpp' 'fuzz/*.h')
all=$(count '*.cpp' '*.h')
awk -v t="$tests" -v a="$all" 'BEGIN { printf "tests %d, all %d, ratio %.2f\n", t, a, t / a }'
