#!/usr/bin/env bash
# Copies the Windows builds into dist/win32 and dist/win64, and the 32-bit build's MSI package
# (Chronel-<version>.msi) into dist/win32.
set -euo pipefail
cd "$(dirname "$0")/.."
for arch in win32 win64; do
  mkdir -p "dist/$arch"
  for f in build/$arch/service/chronel.exe build/$arch/ctl/chronelctl.exe \
    build/$arch/simcard/TECORA32.dll; do
    [ -f "$f" ] && cp "$f" "dist/$arch/"
  done
done
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win32/CMakeCache.txt 2>/dev/null || true)"
msi="build/win32/installer/Chronel-${version}.msi"
if [ -n "${version}" ] && [ -f "${msi}" ]; then
  rm -f dist/win32/Chronel-*.msi
  cp "${msi}" dist/win32/
fi
exit 0
