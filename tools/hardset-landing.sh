#!/usr/bin/env bash
# Where a hard set lands: the clock's true error just after the set, swept over the phase of
# the clock interrupt against the card's frames (--start-phase-ms) and over the clock's
# fraction of a millisecond, for each world and law. Two requests: the resume of a PC whose
# clock is 30 s off (DifSys=1000), and "Sync" on a clock already within a millisecond.
# EXTRA adds flags to every run (EXTRA=--no-precise-time: a system without the interpolated
# clock). Prints a Markdown table; docs/benchmarks.md holds its latest output.
set -euo pipefail
cd "$(dirname "$0")/.."
sim=${SIM:-build/native/sim/chronel-sim}
[ -x "$sim" ] || { echo "hardset-landing: build chronel-sim first (make native)"; exit 1; }
phases=${PHASES:-32}

echo "| world | mode | request | runs | landing min (ms) | max (ms) | largest \|landing\| (ms) |"
echo "|---|---|---|---|---|---|---|"
for world in windows coarse timer1ms; do
  for mode in 0 1; do
    for request in resume sync; do
      landings=()
      for ((i = 0; i < phases; i++)); do
        phase=$(awk -v i="$i" -v n="$phases" 'BEGIN { printf "%.4f", i * 15.625 / n }')
        # A fraction of a ms that walks through its whole range independently of the phase.
        frac=$(awk -v i="$i" 'BEGIN { f = i * 0.618034; printf "%.4f", f - int(f) - 0.5 }')
        if [ "$request" = resume ]; then
          flags="--offset-ms $(awk -v f="$frac" 'BEGIN { print 30000 + f }') --set DifSys=1000"
        else
          flags="--offset-ms $frac --set Sync=1"
        fi
        # shellcheck disable=SC2086
        line=$("$sim" --quiet --world "$world" --duration 3 --drift-ppm 0 --seed $((i + 1)) \
          --start-phase-ms "$phase" --set SyncMode=$mode $flags ${EXTRA:-} | grep '^lock')
        landing=$(sed -n 's/.*landing_ms=\([^, ]*\).*/\1/p' <<<"$line")
        landings+=("${landing:-none}")
      done
      printf '%s\n' "${landings[@]}" | awk -v w="$world" -v m="$mode" -v r="$request" '
        $1 == "none" { missing++; next }
        { n++; v = $1 + 0; if (n == 1 || v < lo) lo = v; if (n == 1 || v > hi) hi = v
          a = v < 0 ? -v : v; if (a > big) big = a }
        END { printf "| %s | %s | %s | %d%s | %+.3f | %+.3f | %.3f |\n", w, m, r, n,
              missing ? " (" missing " without a set)" : "", lo, hi, big }'
    done
  done
done
