#!/usr/bin/env bash
# Installs from Debian's packages whatever the build and the tests need and is missing.
# Idempotent, and quiet when everything is there.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev clang-tidy clang-format cppcheck
  libgtest-dev libgmock-dev libbenchmark-dev valgrind python3
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64 python3-pefile wine wine64 wine32:i386 wixl
  python3-prometheus-client xvfb imagemagick msitools librsvg2-bin zlib1g-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "setup: installing ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
