#!/usr/bin/env bash
# Copies the Windows builds into dist/win32 and dist/win64, each with its MSI package
# (Chronel-<version>.msi, Chronel-<version>-x64.msi).
set -euo pipefail
cd "$(dirname "$0")/.."
for arch in win32 win64; do
  mkdir -p "dist/$arch"
  for f in build/$arch/service/chronel.exe build/$arch/ctl/chronelctl.exe \
    build/$arch/monitor/chronelmon.exe \
    build/$arch/simcard/TECORA32.dll; do
    [ -f "$f" ] && cp "$f" "dist/$arch/"
  done
done
for arch in win32 win64; do
  version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build/$arch/CMakeCache.txt" 2>/dev/null || true)"
  suffix=""
  [ "$arch" = win64 ] && suffix="-x64"
  msi="build/$arch/installer/Chronel-${version}${suffix}.msi"
  if [ -n "${version}" ] && [ -f "${msi}" ]; then
    rm -f "dist/$arch"/Chronel-*.msi
    cp "${msi}" "dist/$arch/"
  fi
done
exit 0
