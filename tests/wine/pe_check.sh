#!/usr/bin/env bash
# The shipped files' import and export tables: the card library exports its seven functions
# by ordinal with no names, and chronel.exe binds them by ordinal and otherwise needs only
# libraries every Windows has (no compiler runtime DLLs to ship).
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "${here}/common.sh"

DIST_ROOT="${1:?dist root (with win32/ and win64/)}"
VERSION="${2:-}"
require_windows_build "${DIST_ROOT}/win32/chronel.exe" "${DIST_ROOT}/win32/TECORA32.dll" \
  "${DIST_ROOT}/win32/chronelctl.exe"

EXPECTED_ORDINALS="2 3 59 66 68 102 103"
SYSTEM_DLLS="ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL VERSION.DLL"

# Exported ordinals, ascending, one line.
exports() {
  "$1" -p "$2" | sed -n '/^Export Address Table -- Ordinal Base/,/^$/p' |
    sed -n 's/.*+base\[ *\([0-9]*\)\].*/\1/p' | sort -n | tr '\n' ' ' | sed 's/ $//'
}

# Exported names: the lines of the name pointer table.
export_names() {
  "$1" -p "$2" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed 1d | grep -c '\['
}

# Imported DLL names, upper case, sorted.
imported_dlls() {
  "$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'a-z' 'A-Z' | sort -u | tr '\n' ' ' |
    sed 's/ $//'
}

# The entries imported from one DLL: "ordinal" for a by-ordinal entry, "name:X" otherwise.
imports_of() {
  "$1" -p "$2" | awk -v dll="$3" '
    /DLL Name:/ { inside = (toupper($3) == toupper(dll)); next }
    inside && /^[[:space:]]*$/ { inside = 0 }
    inside && $1 ~ /^[0-9a-f]+$/ && NF >= 3 {
      if ($NF == "<none>" && $1 ~ /^8/) {
        v = substr($1, length($1) - 7)
        n = 0
        for (i = 1; i <= length(v); i++) n = n * 16 + index("0123456789abcdef", substr(v, i, 1)) - 1
        print n % 65536
      } else {
        print "name:" $3
      }
    }' | sort -n | tr '\n' ' ' | sed 's/ $//'
}

for arch in win32 win64; do
  dir="${DIST_ROOT}/${arch}"
  if [ "${arch}" = win32 ]; then objdump=i686-w64-mingw32-objdump; else objdump=x86_64-w64-mingw32-objdump; fi
  if [ ! -f "${dir}/chronel.exe" ] || [ ! -f "${dir}/TECORA32.dll" ]; then
    echo "note: ${dir} not built, not checked"
    continue
  fi
  command -v "${objdump}" >/dev/null || skip "${objdump} is not installed"

  check_eq "${arch}: library exports exactly the seven ordinals" \
    "$(exports "${objdump}" "${dir}/TECORA32.dll")" "${EXPECTED_ORDINALS}"
  check_eq "${arch}: library exports no names" "$(export_names "${objdump}" "${dir}/TECORA32.dll")" 0
  check_eq "${arch}: executable imports the seven by ordinal only" \
    "$(imports_of "${objdump}" "${dir}/chronel.exe" TECORA32.DLL)" "${EXPECTED_ORDINALS}"
  check_eq "${arch}: executable needs only system libraries and the card library" \
    "$(imported_dlls "${objdump}" "${dir}/chronel.exe")" "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL TECORA32.DLL USER32.DLL VERSION.DLL"
  # The operator's tool must start on a PC whatever its card library: it does not load it.
  check_eq "${arch}: chronelctl needs only system libraries" \
    "$(imported_dlls "${objdump}" "${dir}/chronelctl.exe")" "${SYSTEM_DLLS}"
  dll_imports="$(imported_dlls "${objdump}" "${dir}/TECORA32.dll")"
  check_true "${arch}: library needs only system libraries (${dll_imports})" \
    bash -c 'for d in $1; do case " $2 " in *" $d "*) ;; *) exit 1;; esac; done' _ \
    "${dll_imports}" "${SYSTEM_DLLS}"
  product="$(strings -el "${dir}/chronel.exe" | grep -A1 -x ProductVersion | sed -n 2p)"
  if [ -n "${VERSION}" ]; then
    check_eq "${arch}: product version of the executable" "${product}" "${VERSION}"
  else
    check_true "${arch}: executable carries a product version" test -n "${product}"
  fi
done

finish
