#!/usr/bin/env bash
# Copies the Windows builds into dist/win32 and dist/win64.
set -euo pipefail
cd "$(dirname "$0")/.."
for arch in win32 win64; do
  mkdir -p "dist/$arch"
  for f in build/$arch/service/chronel.exe build/$arch/ctl/chronelctl.exe \
    build/$arch/simcard/TECORA32.dll; do
    [ -f "$f" ] && cp "$f" "dist/$arch/"
  done
done
exit 0
