#!/usr/bin/env bash
# Run first by CTest (the fixture of the Wine suites): probes once whether this host runs 32-bit
# Windows programs and leaves the answer, "BITS<TAB>REASON", in the file named, where each suite
# reads it. Prints the decision, forced or not, the way each suite's first line will.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "${here}/winelib.sh"

out="${1:?file for the answer}"
wine_host_probe >"${out}"
CHRONEL_WINE_HOST="${out}" wine_select_build dist build | sed 's/^wine: testing/wine: the suites test/'
