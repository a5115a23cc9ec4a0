#!/usr/bin/env bash
# The default scenario: a PC clock 250 ms ahead whose oscillator runs 40 ppm fast, locked by the
# service's own code to the simulated card for ten simulated minutes. Tells the story of the
# lock, gives its figures and writes a plot.
set -euo pipefail
cd "$(dirname "$0")/.."

sim=build/native/sim/chronel-sim
if [ ! -x "$sim" ]; then
  echo "demo: the simulation is not built yet (run: make demo)"
  exit 1
fi
mkdir -p out
svg=out/demo-lock.svg
csv=out/demo-lock.csv
log=out/demo-lock.log

cat <<'EOF'
Chronel demo
============
The PC clock starts 250 ms ahead of the house timecode, and its oscillator runs 40 ppm fast.
The real service (start sequence, synchronisation loop, settings, event log) runs against the
simulated timecode card in an emulated Windows, in virtual time: ten minutes pass in about a
second. The emulated world is the Windows-like one (chronel-sim --world windows): the clock
moves at its 15.625 ms interrupts, which come a little late now and then, waits end at the
next interrupt, a set clock reads exactly the value passed, and the card stamps each frame a
little after it began (0.11 ms on average, a few ms now and then), to whole ms. The ideal
world stays a flag away (--world ideal --ideal-waits). Default settings: the clock is slewed
at most 1.28 % (SyncM/SyncP 2000), in proportion to the difference within 100 ms.

What the service writes (times are simulated seconds; the true error is the emulated clock's
real offset, which the service itself cannot see):

EOF

"$sim" --world windows --offset-ms 250 --drift-ppm 40 --duration 600 --status-every 5 --status-thin \
  --svg "$svg" --csv "$csv" --ctl-status --compare SyncMode=1 | tee "$log" | sed '/^chronelctl status/,$d' \
  | grep -v '^\(cycles=\|steady \|lock: \)' | sed 's/^/  /'

lock=$(grep '^lock: ' "$log")
steady=$(grep '^steady ' "$log")
cycles=$(sed -n 's/^cycles=\([0-9]*\).*/\1/p' "$log")
field() { sed -n "s/.*[ :]$1=\([^ ]*\).*/\1/p" <<<"$2"; }

converged=$(field converged_s "$lock")
echo
echo "The lock"
echo "--------"
if [ "$converged" = "-1" ]; then
  echo "  The error did not settle within +-2 ms by the end of the run."
else
  echo "  Within +-2 ms from ${converged} s on, and it stayed there to the end."
  echo "  From then on: largest |error| $(field max_abs_ms "$lock") ms, RMS $(field rms_ms "$lock") ms."
  echo "  Second half of the run: largest |error| $(field max_abs_ms "$steady") ms, RMS $(field rms_ms "$steady") ms."
fi
echo "  ${cycles} cycles of the loop; $(field rate_changes "$lock") SetClockRate calls; $(field hard_sets "$lock") hard sets."
echo
echo "  The difference the service measures is whole milliseconds, and the correction is"
echo "  proportional only: the clock settles where the measured difference changes between"
echo "  0 and 1 ms (here about +0.4 ms: the late stamps pull it down a little), the rate switching between nominal and 128 ppm slower."
precise=$(grep '^lock (SyncMode=1): ' "$log")
echo
echo "The same run in precision mode (SyncMode=1)"
echo "-------------------------------------------"
echo "  Within +-2 ms from $(field converged_s "$precise") s on; second half of the run: largest |error|"
echo "  $(field steady_max_ms "$precise") ms, RMS $(field steady_rms_ms "$precise") ms; $(field rate_changes "$precise") SetClockRate calls."
echo "  The service learns the oscillator's frequency and dithers the rate between neighbouring"
echo "  values, so the clock holds near zero instead of at the edge of the whole-millisecond step."
echo
echo "What an operator sees"
echo "---------------------"
echo "  'chronelctl status' at the end of the run (exit code 0 when locked, for monitoring):"
sed -n '/^chronelctl status/,/^cycles=/p' "$log" | sed '1d;$d' | sed 's/^/    /'
echo
echo "Plot of both modes: $svg   (samples of the first: $csv)"
echo "$lock"

# A day and a half with an outage, for the proof of time: the emulated PC starts at 12:00 UTC
# on 6 December, so 7 December is a whole UTC day of the run.
history_dir=out/history
day_svg=out/demo-day.svg
day_log=out/demo-day.log
rm -rf "$history_dir"
mkdir -p "$history_dir"
"$sim" --world windows --duration 129600 --offset-ms 250 --drift-ppm 40 --set DifSys=100 --outage 64800:7200 \
  --quiet --history "$history_dir" --ctl-report 2026-12-07 --ctl-plot "$day_svg" >"$day_log"
echo
echo "A day's proof of time"
echo "---------------------"
echo "  36 simulated hours (about ten seconds), with DifSys 100 ms and the timecode gone for two"
echo "  hours from 06:00 UTC on 7 December: the clock, 40 ppm fast, runs 288 ms ahead meanwhile"
echo "  and is set back when the timecode returns. The service kept one row a minute; this is"
echo "  'chronelctl report 2026-12-07' over them (on a PC: the history folder, or a copy of it"
echo "  read with --dir):"
echo
sed -n '/^chronelctl report/,/^CHRONEL /p' "$day_log" | sed '1d' | sed 's/^/    /'
echo
echo "History files: $history_dir   Picture of the day ('chronelctl plot 2026-12-07'): $day_svg"
