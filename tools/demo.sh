#!/usr/bin/env bash
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -x build/native/sim/chronel-sim ]; then
  exec build/native/sim/chronel-sim --offset-ms 250 --drift-ppm 40 --duration 600
fi
echo "demo: the simulation is not built yet"
