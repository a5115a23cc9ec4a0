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
SYSTEM_DLLS="ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL SHELL32.DLL USER32.DLL VERSION.DLL WTSAPI32.DLL"

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

# A Python that has the PE reader (Debian's python3-pefile), or nothing.
pe_python() {
  local p
  for p in /usr/bin/python3 python3; do
    if command -v "$p" >/dev/null && "$p" -c 'import pefile' 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 1
}

# The message table's entries, "ID TEXT" per line (ID in hex, the text without the line break
# that the message compiler adds after %0, where FormatMessage stops anyway).
message_table() {
  "$1" - "$2" <<'PY'
import struct, sys
import pefile

pe = pefile.PE(sys.argv[1], fast_load=True)
pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
for kind in root.entries if root else []:
    if kind.id != pefile.RESOURCE_TYPE["RT_MESSAGETABLE"]:
        continue
    for name in kind.directory.entries:
        for lang in name.directory.entries:
            data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
            (blocks,) = struct.unpack_from("<I", data, 0)
            for b in range(blocks):
                low, high, offset = struct.unpack_from("<III", data, 4 + 12 * b)
                for ident in range(low, high + 1):
                    length, flags = struct.unpack_from("<HH", data, offset)
                    raw = data[offset + 4 : offset + length]
                    text = raw.decode("utf-16-le" if flags & 1 else "latin-1").rstrip("\0")
                    print("%08X %s" % (ident, text.rstrip("\r\n")))
                    offset += length
PY
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
    "$(imported_dlls "${objdump}" "${dir}/chronel.exe")" "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL SHELL32.DLL TECORA32.DLL USER32.DLL VERSION.DLL WTSAPI32.DLL"
  # The operator's tool must start on a PC whatever its card library: it does not load it.
  ctl_imports="$(imported_dlls "${objdump}" "${dir}/chronelctl.exe")"
  check_true "${arch}: chronelctl needs only system libraries (${ctl_imports})" \
    bash -c 'for d in $1; do case " $2 " in *" $d "*) ;; *) exit 1;; esac; done' _ \
    "${ctl_imports}" "${SYSTEM_DLLS}"
  dll_imports="$(imported_dlls "${objdump}" "${dir}/TECORA32.dll")"
  check_true "${arch}: library needs only system libraries (${dll_imports})" \
    bash -c 'for d in $1; do case " $2 " in *" $d "*) ;; *) exit 1;; esac; done' _ \
    "${dll_imports}" "${SYSTEM_DLLS}"
  if py="$(pe_python)"; then
    check_eq "${arch}: message 0 is the inserted text as is, for every severity" \
      "$(message_table "${py}" "${dir}/chronel.exe" | sort | tr '\n' ' ' | sed 's/ $//')" \
      "00000000 %1%0 40000000 %1%0 80000000 %1%0 C0000000 %1%0"
  else
    echo "note: no Python with pefile (python3-pefile); message table not checked"
  fi
  if [ -f "${dir}/chronelmon.exe" ]; then
    # The tray monitor: a windowed program with no runtime beside it, its manifest and version.
    mon_imports="$(imported_dlls "${objdump}" "${dir}/chronelmon.exe")"
    check_true "${arch}: chronelmon needs only system libraries (${mon_imports})" \
      bash -c 'for d in $1; do case " $2 " in *" $d "*) ;; *) exit 1;; esac; done' _ \
      "${mon_imports}" "${SYSTEM_DLLS} GDI32.DLL COMDLG32.DLL"
    check_true "${arch}: chronelmon is a windowed program" \
      bash -c '"$1" -p "$2" | grep -q "^Subsystem[[:space:]]*00000002"' _ "${objdump}" \
      "${dir}/chronelmon.exe"
    check_true "${arch}: chronelmon's manifest: per-monitor DPI aware v2, as invoker" \
      bash -c 's="$(strings "$1")"; grep -q "PerMonitorV2" <<<"$s" &&
        grep -q "level=\"asInvoker\"" <<<"$s"' _ "${dir}/chronelmon.exe"
    [ -n "${VERSION}" ] && check_eq "${arch}: chronelmon's product version" \
      "$(strings -el "${dir}/chronelmon.exe" | grep -A1 -x ProductVersion | sed -n 2p)" "${VERSION}"
  fi
  product="$(strings -el "${dir}/chronel.exe" | grep -A1 -x ProductVersion | sed -n 2p)"
  if [ -n "${VERSION}" ]; then
    check_eq "${arch}: product version of the executable" "${product}" "${VERSION}"
  else
    check_true "${arch}: executable carries a product version" test -n "${product}"
  fi
done

# The two packages, read without installing them (msitools): each for its own processor, the
# x64 one refused by 32-bit Windows, both installing the same service the same way.
msi_table() { msiinfo export "$1" "$2" 2>/dev/null | tr -d '\r' | sed 1,3d | sort; }
msi32="${DIST_ROOT}/win32/Chronel-${VERSION}.msi"
msi64="${DIST_ROOT}/win64/Chronel-${VERSION}-x64.msi"
if ! command -v msiinfo >/dev/null; then
  echo "note: msiinfo (msitools) is not installed; packages not checked"
elif [ -z "${VERSION}" ] || [ ! -f "${msi32}" ] || [ ! -f "${msi64}" ]; then
  echo "note: packages not built, not checked"
else
  template() { msiinfo suminfo "$1" | tr -d '\r' | sed -n 's/^Template: //p'; }
  check_eq "x86 package: platform" "$(template "${msi32}")" "Intel;1033"
  check_eq "x64 package: platform, which 32-bit Windows refuses" "$(template "${msi64}")" "x64;1033"
  check_true "x64 package: launch condition VersionNT64" \
    grep -q '^VersionNT64'$'\t' <<<"$(msi_table "${msi64}" LaunchCondition)"
  check_eq "x64 package: every component 64-bit" \
    "$(msi_table "${msi64}" Component | awk -F'\t' '{ print ($4 % 512 >= 256) ? 256 : 0 }' | sort -u)" 256
  check_eq "x64 package: into Program Files" \
    "$(msi_table "${msi64}" Directory | awk -F'\t' '$1 == "INSTALLFOLDER" { print $2 }')" \
    ProgramFiles64Folder
  for msi in "${msi32}" "${msi64}"; do
    check_true "$(basename "${msi}"): feature Monitor, on by default" \
      bash -c 'awk -F"\t" '"'"'$1 == "Monitor" && $6 == 1'"'"' <<<"$1" | grep -q .' _ \
      "$(msi_table "${msi}" Feature)"
    check_true "$(basename "${msi}"): Monitor starts at every user's logon (HKLM Run)" \
      grep -qE $'^[^\t]+\t2\tSoftware\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run\tChronelMonitor\t"\\[#chronelmon.exe\\]"\tMonitor$' \
      <<<"$(msi_table "${msi}" Registry)"
  done
  for table in ServiceInstall ServiceControl Registry Upgrade; do
    check_eq "x64 package: ${table} as in the x86 package" \
      "$(msi_table "${msi64}" "${table}" | cut -f1-12 | md5sum)" \
      "$(msi_table "${msi32}" "${table}" | cut -f1-12 | md5sum)"
  done
fi

finish
