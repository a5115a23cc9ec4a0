#!/usr/bin/env bash
# Under Wine, in one prefix: the simulated card library reached the way the service reaches
# it (by ordinal from a 32-bit program, configured through the registry), then the Win32
# side of the platform seam, checked by a probe of its own.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "${here}/common.sh"
. "${here}/../../tools/wine/winelib.sh"

wine_select_build "${1:?dist root (with win32/ and win64/)}" "${2:?build root (with win32/ and win64/)}"
require_windows_build "${WIN_DIST}/TECORA32.dll" "${WIN_DIST}/chronel.exe" \
  "${WIN_TOOLS}/cardprobe.exe" "${WIN_TOOLS}/platprobe.exe"

wine_prefix_start || { echo "could not create a Wine prefix"; exit 1; }
run_dir="${WINE_TMP}/probe"
mkdir -p "${run_dir}"
cp "${WIN_DIST}/TECORA32.dll" "${WIN_DIST}/chronel.exe" "${WIN_TOOLS}/cardprobe.exe" \
  "${WIN_TOOLS}/platprobe.exe" "${run_dir}/"

SIM='SOFTWARE\TecoraSim'

# Each case: a name, the registry values to set (NAME:TYPE:DATA, on top of a clean key), the
# probe's port argument, and the expected "key=value" answers.
cases=(
  "defaults|TimecodeZone:REG_DWORD:2|4097|open=0 cardstate=1 firmware=9 library=517 version=0 info=0 tens=49 units=55 letter=116 realtime=0 read=0 flags=1 diffms=0 close=0"
  "model and offset|TimecodeZone:REG_DWORD:2 TypeLetter:REG_SZ:T FirmwareWord:REG_DWORD:74 FirmwareMinor:REG_SZ:05 LibraryVersion:REG_DWORD:518 CardState:REG_DWORD:0 OffsetMs:REG_DWORD:250|4106|open=0 cardstate=0 firmware=74 library=518 tens=48 units=53 letter=84 read=0 diffms=250"
  "clock behind|TimecodeZone:REG_DWORD:2 OffsetMs:REG_DWORD:4294965796 SyncFlag:REG_DWORD:0|4097|open=0 read=0 flags=0 diffms=-1500"
  "read error|ReadResult:REG_DWORD:4294967289|4097|open=0 read=-7 close=0"
  "no card|Present:REG_DWORD:0|4097|open=-2"
  "port out of range|Present:REG_DWORD:1|4096|open=-1"
)

for entry in "${cases[@]}"; do
  IFS='|' read -r name values port expected <<<"${entry}"
  wine_reg_delete "${SIM}" || true
  for v in ${values}; do
    IFS=':' read -r vname vtype vdata <<<"${v}"
    wine_reg_set "${SIM}" "${vname}" "${vtype}" "${vdata}" || fail "${name}: could not set ${vname}"
  done
  output="$(cd "${run_dir}" && wine_run cardprobe.exe "${port}" 2>/dev/null)"
  status=$?
  check_eq "${name}: probe exit code" "${status}" 0
  for pair in ${expected}; do
    key="${pair%%=*}"
    check_eq "${name}: ${key}" "$(field "${output}" "${key}")" "${pair#*=}"
  done
  # Whatever happened, a closed handle must be refused.
  readclosed="$(field "${output}" readclosed)"
  check_true "${name}: read on a closed handle is refused (${readclosed})" \
    test "${readclosed:-0}" -lt 0
  errortext="$(field "${output}" errortext)"
  check_true "${name}: error text present" test -n "${errortext}"
done

echo "--- platform"
plat_out="$(cd "${run_dir}" && wine_run platprobe.exe chronel.exe 2>/dev/null | tr -d '\r'; echo "rc=${PIPESTATUS[0]}")"
printf '%s\n' "${plat_out}" | grep -E '^(ok|FAIL) '
while read -r line; do
  case "${line}" in
    ok\ *) CHECKS=$((CHECKS + 1)) ;;
    FAIL\ *) CHECKS=$((CHECKS + 1)); FAILURES=$((FAILURES + 1)) ;;
  esac
done <<<"${plat_out}"
check_eq "platform probe exit code" "$(field "${plat_out}" rc)" 0
check_eq "console text goes out exactly as given" \
  "$(cd "${run_dir}" && wine_run platprobe.exe chronel.exe 2>/dev/null | tail -c 13 | od -An -c | tr -s ' ')" \
  " c o n s o l e : a \r \n b \n"

finish
