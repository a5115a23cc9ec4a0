#!/usr/bin/env bash
# Instructions of one steady-state cycle, with callgrind: the difference between a 600 s and a
# 300 s run, so that start-up drops out, of the ideal world, whose waits last exactly 50 ms
# (11740 and 5870 cycles). For each law: the whole process, and the precision servo's own
# step (ServoStep with all it calls). Prints a Markdown table; docs/benchmarks.md holds its
# latest output.
set -euo pipefail
cd "$(dirname "$0")/.."
sim=${SIM:-build/native/sim/chronel-sim}
[ -x "$sim" ] || { echo "cycle-cost: build chronel-sim first (make native)"; exit 1; }
command -v valgrind >/dev/null || { echo "cycle-cost: needs valgrind"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cycles=$((11740 - 5870))

total() { callgrind_annotate --auto=no "$1" | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }'; }
servo() {
  callgrind_annotate --auto=no --inclusive=yes "$1" |
    awk '/PrecisionServo.cpp:ServoStep\(/ && !found { gsub(",", "", $1); step = $1; found = 1 }
         END { print found ? step : 0 }'
}

echo "| mode | whole process (instructions per cycle) | servo step |"
echo "|---|---|---|"
for mode in 0 1; do
  for d in 600 300; do
    valgrind --tool=callgrind --callgrind-out-file="$tmp/$d.out" "$sim" --quiet --duration "$d" \
      --world ideal --ideal-waits --set SyncMode=$mode >/dev/null 2>&1
  done
  whole=$((($(total "$tmp/600.out") - $(total "$tmp/300.out")) / cycles))
  step=$((($(servo "$tmp/600.out") - $(servo "$tmp/300.out")) / cycles))
  echo "| $mode | $whole | $step |"
done
