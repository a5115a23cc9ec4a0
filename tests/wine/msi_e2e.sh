#!/usr/bin/env bash
# The MSI package under Wine's msiexec, as an administrator deploys it: quiet install with the
# simulated card, the service registered as "chronel /install" registers it and running, a
# major upgrade to a higher version that keeps the settings, and an uninstall that leaves
# nothing of ours but the settings. One prefix serves the whole run.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "${here}/common.sh"
. "${here}/../../tools/wine/winelib.sh"

wine_select_build "${1:?dist root (with win32/ and win64/)}" "${2:?build root (with win32/ and win64/)}"
VERSION="${3:?project version}"
INSTALLER="${4:?installer source folder}"
# Each build has its package: the 32-bit one into "Program Files (x86)", the x64 one into
# "Program Files".
if [ "${WIN_BITS}" = 32 ]; then
  ARCH=x86 MSI_SUFFIX="" PROGRAM_FILES="Program Files (x86)"
else
  ARCH=x64 MSI_SUFFIX="-x64" PROGRAM_FILES="Program Files"
fi
MSI="${WIN_DIST}/Chronel-${VERSION}${MSI_SUFFIX}.msi"
require_windows_build "${MSI}" "${WIN_DIST}/chronel.exe" "${WIN_DIST}/chronelctl.exe" \
  "${WIN_DIST}/TECORA32.dll" "${WIN_TOOLS}/svcquery.exe"
command -v wixl >/dev/null 2>&1 || skip "wixl is not installed"
# Debian's interpreter, which has Debian's python3-pefile, whatever else comes first on PATH.
PYTHON=/usr/bin/python3
[ -x "${PYTHON}" ] || PYTHON=python3
"${PYTHON}" -c 'import pefile' 2>/dev/null || skip "python3-pefile is not installed"

KEY='SOFTWARE\Tecora'
SVC_KEY='SYSTEM\CurrentControlSet\Services\QN_Chronel'
SOURCE_KEY='SYSTEM\CurrentControlSet\Services\EventLog\Application\QN_Chronel'
UNINSTALL='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
INSTALLED_EXE="C:\\${PROGRAM_FILES}\\Chronel\\chronel.exe"

wine_prefix_start || { echo "could not create a Wine prefix"; exit 1; }
install_dir="${WINEPREFIX}/drive_c/${PROGRAM_FILES}/Chronel"

# The upgrade: the same files in a package built the way the build builds its package, one
# higher in the fourth version field only, which the installer itself does not compare.
IFS=. read -r major minor build revision <<<"${VERSION}"
NEXT="${major}.${minor}.${build}.$((${revision:-0} + 1))"
NEXT_MSI="${WINE_TMP}/Chronel-${NEXT}${MSI_SUFFIX}.msi"
files="ServiceExe=${WIN_DIST}/chronel.exe;CtlExe=${WIN_DIST}/chronelctl.exe"
files+=";SimCardDll=${WIN_DIST}/TECORA32.dll"
cmake -D ARCH="${ARCH}" -D VERSION="${NEXT}" -D OUTPUT="${NEXT_MSI}" -D FILES="${files}" \
  -P "${INSTALLER}/wixl.cmake" || { echo "could not build the upgrade package"; exit 1; }

# msiexec ACTION PACKAGE LOGNAME [PROPERTIES...]: quiet, with a verbose log; sets $msi_rc.
msiexec() {
  local action="$1" package="$2"
  msi_log="${WINE_TMP}/$3.log"
  shift 3
  wine msiexec "${action}" "$(winepath -w "${package}")" /qn /l*v "$(winepath -w "${msi_log}")" \
    "$@" </dev/null >/dev/null 2>&1
  msi_rc=$?
}

# The actions of the last run that did not succeed: Wine logs them with "Return value 0" (as it
# does an action it had nothing to do for) and Windows with 3.
failed_actions() {
  tr -d '\r' <"${msi_log}" | sed -n 's/^Action ended [0-9:]*: \(.*\)\. Return value [^1]\.$/\1/p' |
    grep -v '^INSTALL$' | sort -u | tr '\n' ' '
}
action_failed() { failed_actions | grep -qw "$1"; }
msi_succeeded() {
  check_eq "$1" "${msi_rc}" 0
  [ "${msi_rc}" -eq 0 ] || echo "     not succeeded: $(failed_actions)(${msi_log})"
}

svc() {
  svc_out="$(wine "${WIN_TOOLS}/svcquery.exe" </dev/null 2>/dev/null | tr -d '\r')"
  svc_rc=$?
}
svc_state_is() { svc && [ "$(field "${svc_out}" state)" = "$1" ]; }
svc_absent() { svc; [ "${svc_rc}" -eq 2 ]; }
key_absent() { ! wine reg query "HKLM\\$1" </dev/null >/dev/null 2>&1; }

# Every value of a key below HKLM as "Name=Data" lines, DWORDs in decimal: one Wine call.
key_values() {
  local line name type data
  wine reg query "HKLM\\$1" /reg:32 </dev/null 2>/dev/null | tr -d '\r' |
    while IFS= read -r line; do
      [[ "${line}" =~ ^\ {4}([^ ]+)\ {4}(REG_[A-Z_]+)\ {4}?(.*)$ ]] || continue
      name="${BASH_REMATCH[1]}" type="${BASH_REMATCH[2]}" data="${BASH_REMATCH[3]}"
      [ "${type}" = REG_DWORD ] && data="$((data))"
      printf '%s=%s\n' "${name}" "${data}"
    done
}
# value_of "$(key_values KEY)" NAME
value_of() { field "$1" "$2"; }

# The values that "/install" and the package both write, from a dump of the service key.
service_values() {
  printf '%s\n' "$1" | grep -E '^(Type|Start|ErrorControl|ObjectName|DisplayName|Description)='
}
# The event source's values, each executable's own path left out.
source_values() { key_values "${SOURCE_KEY}" | sed 's/^EventMessageFile=.*/EventMessageFile=(exe)/'; }

status_published() {
  status="$(key_values "${KEY}")"
  local v
  for v in MonitorVersion MonitorSystem MonitorLtc; do
    [ -n "$(value_of "${status}" "${v}")" ] || return 1
  done
}

# The versions of the products named Chronel that the installer knows, sorted.
products() {
  wine reg query "${UNINSTALL}" /s </dev/null 2>/dev/null | tr -d '\r' |
    awk '/^HKEY/ { name = ""; version = "" }
         $1 == "DisplayName" { name = $3 }
         $1 == "DisplayVersion" { version = $3 }
         name == "Chronel" && version != "" { print version; name = "" }' | sort | tr '\n' ' '
}

mark_events() { events_mark="$(wc -l <"${WINE_EVENTLOG}")"; }
service_events() {
  tail -n "+$((events_mark + 1))" "${WINE_EVENTLOG}" >"${WINE_TMP}/since.txt"
  wine_events "${WINE_TMP}/since.txt" | sed -n 's/^3\t\(START\|STOP\)$/\1/p' | tr '\n' ' '
}
events_are() { [ "$(service_events)" = "$1" ]; }

echo "--- what \"chronel /install\" registers, for comparison"
ref_dir="${WINE_TMP}/reference"
mkdir -p "${ref_dir}"
cp "${WIN_DIST}/chronel.exe" "${WIN_DIST}/TECORA32.dll" "${ref_dir}/"
(cd "${ref_dir}" && wine chronel.exe /install </dev/null >/dev/null 2>&1)
reference="$(service_values "$(key_values "${SVC_KEY}")")"
reference_source="$(source_values)"
(cd "${ref_dir}" && wine chronel.exe /remove </dev/null >/dev/null 2>&1)
check_true "reference service removed again" svc_absent
printf '%s\n' "${reference}" "${reference_source}" | sed 's/^/     /'
# The settings key that service wrote is not the package's concern.
wine_reg_delete "${KEY}" || true

echo "--- default install: the card library is not ours to ship"
msiexec /i "${MSI}" default
check_true "without a card library the install fails" test "${msi_rc}" -ne 0
check_true "  at StartServices" action_failed StartServices
check_true "  and is rolled back: no service" svc_absent
check_true "  no files" test ! -e "${install_dir}"

echo "--- install with the simulated card"
mark_events
msiexec /i "${MSI}" install ADDLOCAL=ALL
msi_succeeded "msiexec /i ADDLOCAL=ALL succeeds"
check_eq "files in ${PROGRAM_FILES}\\Chronel" \
  "$(cd "${install_dir}" 2>/dev/null && ls | sort | tr '\n' ' ')" "TECORA32.DLL chronel.exe chronelctl.exe chronelmon.exe "
check_true "service reaches RUNNING" wait_until 20 svc_state_is 4
check_true "status published" wait_until 20 status_published
check_eq "MonitorVersion text" "$(value_of "${status:-}" MonitorVersion)" \
  "Firmware: 9.17    Card: PCIe RX    DLL: 2.05    Service: ${VERSION}"
check_true "START logged" wait_until 10 events_are "START "

service="$(key_values "${SVC_KEY}")"
check_eq "service values as \"/install\" writes them" "$(service_values "${service}")" "${reference}"
image_path="$(value_of "${service}" ImagePath)"
check_eq "ImagePath names the installed executable" "${image_path//\"/}" "${INSTALLED_EXE}"
[ "${image_path}" = "${INSTALLED_EXE}" ] &&
  echo "     note: Wine's installer writes ImagePath unquoted; Windows Installer quotes it"
check_eq "event source as \"/install\" registers it" "$(source_values)" "${reference_source}"
check_eq "event source names the installed executable" \
  "$(wine_reg_get "${SOURCE_KEY}" EventMessageFile)" "${INSTALLED_EXE}"

# The installer publishes the package's ProductVersion as the product's version.
pe_version="$("${PYTHON}" -c '
import sys, pefile
pe = pefile.PE(sys.argv[1], fast_load=True)
pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
f = pe.VS_FIXEDFILEINFO[0]
print("%d.%d.%d.%d" % (f.ProductVersionMS >> 16, f.ProductVersionMS & 0xFFFF,
                       f.ProductVersionLS >> 16, f.ProductVersionLS & 0xFFFF))' \
  "${install_dir}/chronel.exe" 2>&1)"
check_eq "one product, its version that of chronel.exe's version resource" "$(products)" \
  "${pe_version} "

echo "--- upgrade to ${NEXT}"
wine_reg_set "${KEY}" SyncM REG_DWORD 1500
mark_events
msiexec /i "${NEXT_MSI}" upgrade ADDLOCAL=ALL
msi_succeeded "msiexec /i of the newer package succeeds"
check_eq "one product, the newer version" "$(products)" "${NEXT} "
check_true "service stopped and started again" wait_until 20 events_are "STOP START "
check_true "service RUNNING" svc_state_is 4
check_eq "setting kept" "$(wine_reg_get "${KEY}" SyncM)" 1500

echo "--- uninstall"
# Stopped first, as an administrator would: STOPPED comes once the service has left its loop,
# so the uninstall that follows finds chronel.exe free. The upgrade above stops it through the
# package.
wine net stop QN_Chronel </dev/null >/dev/null 2>&1
check_true "stopped" wait_until 10 svc_state_is 1
msiexec /x "${NEXT_MSI}" remove
msi_succeeded "msiexec /x succeeds"
check_true "no service" svc_absent
check_true "no event source" key_absent "${SOURCE_KEY}"
check_true "no files, no folder" test ! -e "${install_dir}"
check_eq "no product" "$(products)" ""
check_eq "settings kept" "$(wine_reg_get "${KEY}" SyncM)" 1500

finish
