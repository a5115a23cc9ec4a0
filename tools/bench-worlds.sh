#!/usr/bin/env bash
# Each emulated world against each correction law: the standard start (250 ms ahead, 40 ppm
# fast, 900 s), figures of the second half from the sampled true error. Prints a Markdown
# table; docs/benchmarks.md holds its latest output.
set -euo pipefail
cd "$(dirname "$0")/.."
sim=${SIM:-build/native/sim/chronel-sim}
[ -x "$sim" ] || { echo "bench-worlds: build chronel-sim first (make native)"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

worlds=(
  "ideal|--world ideal --ideal-waits"
  "Windows-like|--world windows"
  "loaded PC|--world loaded"
  "coarse stamps (interrupt clock)|--world coarse"
  "1 ms timer|--world timer1ms"
  "faulty frames (1% late/early, 0.2% garbled)|--world windows --faults late=0.005,early=0.005,garbled=0.002"
  "29.97 drop-frame|--world windows --fps 29.97"
  "Windows-like, +500 ppm from -250 ms|--world windows --drift-ppm 500 --offset-ms -250"
  "Windows-like, -500 ppm from +250 ms|--world windows --drift-ppm -500 --offset-ms 250"
)
echo "| world | mode | into 2 ms (s) | max (ms) | RMS (ms) | mean (ms) | rate changes/s | hard sets |"
echo "|---|---|---|---|---|---|---|---|"
for entry in "${worlds[@]}"; do
  name=${entry%%|*}
  flags=${entry#*|}
  for mode in 0 1; do
    # shellcheck disable=SC2086
    line=$("$sim" --quiet --duration 900 $flags --set SyncMode=$mode --csv "$tmp/r.csv" | grep '^lock')
    field() { sed -n "s/.*[ :]$1=\([^ ]*\).*/\1/p" <<<"$line"; }
    stats=$(awk -F, 'NR > 1 && $1 >= 450 { n++; e = $2; s += e; q += e * e; if (e < 0) e = -e;
                     if (e > m) m = e } END { printf "%.3f %.3f %+.3f", m, sqrt(q / n), s / n }' "$tmp/r.csv")
    read -r max rms mean <<<"$stats"
    rate=$(awk -v c="$(field rate_changes)" 'BEGIN { printf "%.2f", c / 900 }')
    echo "| $name | $mode | $(field converged_s) | $max | $rms | $mean | $rate | $(field hard_sets) |"
  done
done
