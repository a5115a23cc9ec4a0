#!/usr/bin/env bash
# chronel.exe under Wine, driven as an administrator drives it: help, install, the running
# service with the simulated card (status values, hard set on request, source failure, out of
# limits), remove, and a start without a card. One prefix serves the whole run.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "${here}/common.sh"
. "${here}/../../tools/wine/winelib.sh"

wine_select_build "${1:?dist root (with win32/ and win64/)}" "${2:?build root (with win32/ and win64/)}"
VERSION="${3:-1.0.0.1}"
require_windows_build "${WIN_DIST}/chronel.exe" "${WIN_DIST}/TECORA32.dll" \
  "${WIN_DIST}/chronelctl.exe" "${WIN_TOOLS}/svcquery.exe"

KEY='SOFTWARE\Tecora'
SERVICE_KEY='SYSTEM\CurrentControlSet\Services\QN_Chronel'
SOURCE_KEY='SYSTEM\CurrentControlSet\Services\EventLog\Application\QN_Chronel'
SIM='SOFTWARE\TecoraSim'
CRLF=$'\r\n'

wine_prefix_start || { echo "could not create a Wine prefix"; exit 1; }

# A directory with a blank in its name, as under "Program Files": the registered path must
# still start this executable and nothing else.
install_dir="${WINE_TMP}/Chronel Service"
mkdir -p "${install_dir}"
cp "${WIN_DIST}/chronel.exe" "${WIN_DIST}/TECORA32.dll" "${WIN_DIST}/chronelctl.exe" \
  "${install_dir}/"
exe_path="$(winepath -w "${install_dir}/chronel.exe" 2>/dev/null | tr -d '\r')"

# Runs chronel.exe with its arguments from the install directory; stdout into $out, the
# event-log entries it wrote itself into $own_events, exit code into $rc. A Wine hang must not
# stall the suite, hence the time limit.
chronel() {
  local err="${WINE_TMP}/chronel-stderr.txt"
  out="$(cd "${install_dir}" && WINEDEBUG=-all,+eventlog timeout 120 wine chronel.exe "$@" \
    </dev/null 2>"${err}"; rc=$?; printf x; exit "${rc}")"
  rc=$?
  out="${out%x}"
  own_events="$(wine_events "${err}")"
}

# Runs chronelctl.exe: stdout into $ctl_out, stderr into $ctl_err, exit code into $ctl_rc.
ctl() {
  local err="${WINE_TMP}/ctl-stderr.txt"
  ctl_out="$(cd "${install_dir}" && timeout 60 wine chronelctl.exe "$@" </dev/null 2>"${err}"
    rc=$?; printf x; exit "${rc}")"
  ctl_rc=$?
  ctl_out="$(printf '%s' "${ctl_out%x}" | tr -d '\r')"
  ctl_err="$(tr -d '\r' <"${err}")"
}
ctl_status_is() {
  ctl status
  [ "${ctl_rc}" = "$1" ] && grep -q -- "$2" <<<"${ctl_out}"
}

svc() {
  svc_out="$(wine "${WIN_TOOLS}/svcquery.exe" </dev/null 2>/dev/null | tr -d '\r')"
  svc_rc=$?
}

svc_state_is() {
  svc
  [ "$(field "${svc_out}" state)" = "$1" ]
}

svc_absent() {
  svc
  [ "${svc_rc}" -eq 2 ]
}

# Entries the services wrote since the mark, "TYPE<TAB>TEXT".
mark_events() { events_mark="$(wc -l <"${WINE_EVENTLOG}")"; }
events_since_mark() {
  tail -n "+$((events_mark + 1))" "${WINE_EVENTLOG}" >"${WINE_TMP}/since.txt"
  wine_events "${WINE_TMP}/since.txt"
}
event_logged() { events_since_mark | grep -qx -- "$1"; }
event_logged_like() { events_since_mark | grep -qE -- "$1"; }

# "/install" said "Install Ok." and nothing else but warnings. Under Wine two warnings are
# expected: Wine refuses the flag that applies the restarts to a stop with an exit code, and
# its access lists give the Wine user full control of every folder.
installed_ok() {
  [[ "${out}" == "Install Ok.${CRLF}"* ]] || return 1
  ! printf '%s' "${out#"Install Ok.${CRLF}"}" | tr -d '\r' | grep -qv '^Warning: '
}

# A value as the 64-bit view of the registry holds it.
reg64_get() {
  wine reg query "HKLM\\$1" /v "$2" /reg:64 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

reg_nonempty() {
  local v
  v="$(wine_reg_get "${KEY}" "$1")" && [ -n "${v}" ]
}

reg_absent() { ! wine_reg_get "${KEY}" "$1" >/dev/null; }

reg_empty() {
  local v
  v="$(wine_reg_get "${KEY}" "$1")" && [ -z "${v}" ]
}

echo "--- command line"
help="------------------------------------------------${CRLF}"
help+="Chronel usage help${CRLF}"
help+="------------------------------------------------${CRLF}"
help+="Chronel /install   to install the service${CRLF}"
help+="Chronel /remove    to uninstall the service${CRLF}"
help+="Chronel /?         to show this help${CRLF}"
chronel '/?'
check_eq "/? exit code 0" "${rc}" 0
check_eq "/? prints the six help lines, CR LF, nothing else" "${out}" "${help}"
check_eq "/? logs nothing" "${own_events}" ""

# Anything but the three options is the service path: started from a console, the dispatcher
# refuses, the refusal is logged, nothing is printed and the exit code is 0. Wine takes some
# seconds to refuse, so the cases run side by side.
not_options=("" run /help -? install '/?x' /installx)
for i in "${!not_options[@]}"; do
  (
    arg="${not_options[$i]}"
    cd "${install_dir}" || exit 1
    if [ -z "${arg}" ]; then set --; else set -- "${arg}"; fi
    WINEDEBUG=-all,+eventlog timeout 120 wine chronel.exe "$@" </dev/null \
      >"${WINE_TMP}/case${i}.out" 2>"${WINE_TMP}/case${i}.err"
    echo $? >"${WINE_TMP}/case${i}.rc"
  ) &
done
wait
for i in "${!not_options[@]}"; do
  name="'${not_options[$i]}'"
  [ -n "${not_options[$i]}" ] || name="no argument"
  check_eq "${name}: exit code 0" "$(cat "${WINE_TMP}/case${i}.rc")" 0
  check_eq "${name}: nothing printed" "$(od -An -c "${WINE_TMP}/case${i}.out")" ""
  check_eq "${name}: dispatcher refusal logged" "$(wine_events "${WINE_TMP}/case${i}.err")" \
    $'1\tStartServiceCtrlDispatcher Error!'
done

echo "--- install and run with the simulated card"
wine_reg_set "${SIM}" Present REG_DWORD 1
mark_events
chronel /InStAlL
check_true "/install (any case) reports success" installed_ok
printf '%s' "${out}" | tr -d '\r' | sed -n 's/^Warning: /     warning: /p'
check_true "/install warns that the folder can be changed by others than the administrators" \
  grep -qF "Warning: the folder \"${exe_path%\\chronel.exe}\" can be changed by " <<<"${out}"
check_eq "/install logs nothing itself" "${own_events}" ""
check_eq "description stored" "$(wine_reg_get "${SERVICE_KEY}" Description)" \
  "Keeps this PC's clock locked to the house timecode read from the timecode reader card."
check_eq "event source: the program is its message file" \
  "$(wine_reg_get "${SOURCE_KEY}" EventMessageFile)" "${exe_path}"
check_eq "event source: error, warning and information entries" \
  "$(wine_reg_get "${SOURCE_KEY}" TypesSupported)" 7
check_eq "event source: the same key in the 64-bit view" \
  "$(reg64_get "${SOURCE_KEY}" EventMessageFile)" "${exe_path}"
svc
check_eq "registered: own process" "$(field "${svc_out}" type)" 16
check_eq "registered: automatic start" "$(field "${svc_out}" start)" 2
check_eq "registered: normal error control" "$(field "${svc_out}" errorcontrol)" 1
check_eq "registered: display name" "$(field "${svc_out}" display)" "Quorlan Chronel Service"
check_eq "registered: quoted executable path" "$(field "${svc_out}" path)" "\"${exe_path}\""
check_true "service reaches RUNNING" wait_until 20 svc_state_is 4
check_true "START logged (type 3)" wait_until 30 event_logged $'3\tSTART'
check_true "MonitorVersion written" wait_until 20 reg_nonempty MonitorVersion
check_eq "MonitorVersion text" "$(wine_reg_get "${KEY}" MonitorVersion)" \
  "Firmware: 9.17    Card: PCIe RX    DLL: 2.05    Service: ${VERSION}"
check_true "MonitorSystem written" wait_until 10 reg_nonempty MonitorSystem
check_true "MonitorLtc written" wait_until 10 reg_nonempty MonitorLtc
svc
check_eq "running: stop and shutdown accepted" "$(field "${svc_out}" accepted)" 5
for v in MonitorSystem MonitorLtc; do
  echo "     ${v}: $(wine_reg_get "${KEY}" "${v}")"
done

chronel /install
check_eq "second /install refused" "${out}" "Unable to install QN_Chronel,CreateService Fail.${CRLF}"
check_true "the service keeps running" svc_state_is 4

echo "--- chronelctl: settings, status, check and metrics"
metrics="${WINE_TMP}/chronel.prom"
ctl set MetricsFile "$(winepath -w "${metrics}" 2>/dev/null | tr -d '\r')"
check_eq "set MetricsFile: exit code 0" "${ctl_rc}" 0
ctl set SyncM 99999
check_eq "set out of range: exit code 1" "${ctl_rc}" 1
check_true "set out of range: refused on stderr, nothing written" \
  bash -c '[[ -z "$1" && "$2" == *"takes 0 to 15625"* ]]' _ "${ctl_out}" "${ctl_err}"
check_true "set out of range: SyncM still absent" reg_absent SyncM
check_true "status: locked (exit code 0)" wait_until 15 ctl_status_is 0 "^CHRONEL OK - locked"
printf '%s\n' "${ctl_out}" | sed 's/^/     /'
ctl status --json
check_true "status --json: one object, locked" \
  bash -c '[[ "$1" == "{"*"\"lock\":\"locked\""*"}" ]]' _ "${ctl_out}"
ctl check
check_eq "check: exit code 1 (a warning)" "${ctl_rc}" 1
check_true "check: the service runs, the simulated card library is found" \
  bash -c 'grep -q "^  OK    service running" <<<"$1" &&
    grep -q "^  WARN  the card library at .*TECORA32.DLL is the simulated card" <<<"$1"' \
  _ "${ctl_out}"
printf '%s\n' "${ctl_out}" | sed 's/^/     /'
check_true "metrics file written" wait_until 15 grep -qs '^chronel_locked 1$' "${metrics}"
check_true "metrics: the service is up" grep -q '^chronel_up 1$' "${metrics}"
heartbeat() { sed -n 's/^chronel_last_update_timestamp_seconds //p' "${metrics}"; }
beat="$(heartbeat)"
check_true "metrics: the heartbeat is the time of the write" \
  bash -c '[[ "$1" =~ ^[0-9]+$ ]] && (( $1 > $2 - 10 && $1 <= $2 + 1 ))' _ "${beat}" "$(date +%s)"
check_true "metrics: the heartbeat moves on" \
  wait_until 10 bash -c '[ "$(sed -n "s/^chronel_last_update_timestamp_seconds //p" "$1")" -gt "$2" ]' \
  _ "${metrics}" "${beat:-0}"
if /usr/bin/python3 -c 'import prometheus_client' 2>/dev/null; then
  check_true "metrics file parses" /usr/bin/python3 -c '
import sys
from prometheus_client.parser import text_string_to_metric_families
names = {f.name for f in text_string_to_metric_families(open(sys.argv[1]).read())}
sys.exit(0 if "chronel_info" in names and "chronel_hard_sets" in names else 1)' "${metrics}"
fi

echo "--- hard set on request"
mark_events
# DifErr is read with the same reload that consumes the request.
ctl set DifErr 1000
ctl sync
check_eq "sync: exit code 0" "${ctl_rc}" 0
check_true "sync: prints the new LastSet" grep -q "^Hard set: .*Diff: -\?[0-9]* ms$" <<<"${ctl_out}"
check_true "Sync request consumed" reg_empty Sync
check_true "hard set logged (type 1)" \
  wait_until 10 event_logged_like $'^1\tSystem time is hard set\\.  Diff: -?[0-9]+ ms$'
check_true "metrics count the hard set" wait_until 5 grep -q '^chronel_hard_sets_total 1$' "${metrics}"
echo "     LastSet: $(wine_reg_get "${KEY}" LastSet)"

echo "--- a hard set the system refuses"
# Wine refuses SetSystemTime more than half a second away from the host's clock (1314).
mark_events
ctl set DifErr 0
wine_reg_set "${SIM}" OffsetMs REG_DWORD 5000
check_true "status: correcting the 5 s" wait_until 20 ctl_status_is 1 "^CHRONEL WARNING - correcting"
ctl sync
check_eq "sync refused: exit code 2" "${ctl_rc}" 2
check_true "sync refused: the system's reason on stderr" \
  grep -q "^chronelctl: the system refused to set the clock: .\+" <<<"${ctl_err}"
echo "     ${ctl_err}"
check_true "refusal logged (type 1)" event_logged_like $'^1\tSystem time hard set failed: .+'
# One finding per line: the whole value, not only its first line.
check_true "MonitorWarnings: the refusal is a finding" \
  grep -q "System time hard set failed: " <<<"$(wine_reg_get "${KEY}" MonitorWarnings)"
ctl status
check_true "status: the refusal is a finding" \
  bash -c 'grep -q "^  Finding     System time hard set failed: " <<<"$1"' _ "${ctl_out}"
check_true "metrics count the refused set" \
  wait_until 5 grep -q '^chronel_hard_set_failures_total [1-9]' "${metrics}"
check_true "metrics: the set that did happen is still the only one" \
  grep -q '^chronel_hard_sets_total 1$' "${metrics}"

echo "--- out of limits"
mark_events
ctl set DifErr 1000
wine_reg_set "${SIM}" OffsetMs REG_DWORD 5000
check_true "LTC is out of limits logged (type 3)" \
  wait_until 15 event_logged $'3\tLTC is out of limits'
check_true "status: out of limits (exit code 2)" \
  wait_until 10 ctl_status_is 2 "^CHRONEL CRITICAL - out of limits"

echo "--- source failure"
mark_events
wine_reg_set "${SIM}" OffsetMs REG_DWORD 0
wine_reg_set "${SIM}" ReadResult REG_DWORD 4294967289
check_true "LTC source failure logged (type 1) after the failed reads" \
  wait_until 15 event_logged $'1\tLTC source failure'
check_true "status: timecode lost (exit code 2)" \
  wait_until 5 ctl_status_is 2 "^CHRONEL CRITICAL - timecode lost"
echo "     $(head -n 1 <<<"${ctl_out}")"
wine_reg_set "${SIM}" ReadResult REG_DWORD 0

echo "--- remove"
mark_events
chronel /Remove
check_true "/remove stops the service and uninstalls it" \
  bash -c '[[ "$1" =~ ^Stopping\ Service\ \.*$'"'\r\n'"'Service\ Stop\ Now$'"'\r\n'"'Service\ Uninstall\ Ok\.$'"'\r\n'"'$ ]]' \
  _ "${out}"
[ "${FAILURES}" -eq 0 ] || printf '%s' "${out}" | od -c | head -n 10
check_true "the service is gone" svc_absent
check_true "the event source is gone" bash -c '! wine reg query "HKLM\\$1" /reg:32 >/dev/null 2>&1' _ \
  "${SOURCE_KEY}"
ctl status
check_eq "status without the service: exit code 3" "${ctl_rc}" 3
# Written before the service reported STOPPED.
check_true "STOP logged (type 3)" wait_until 5 event_logged $'3\tSTOP'
check_true "metrics after the stop: down, not locked" \
  bash -c 'grep -q "^chronel_up 0$" "$1" && grep -q "^chronel_locked 0$" "$1" &&
    grep -q "^chronel_timecode_ok 0$" "$1"' _ "${metrics}"

echo "--- the history the service kept, read back by chronelctl"
# The stop hands over the minute in progress, so the run has left rows behind.
history_file="${WINEPREFIX}/drive_c/ProgramData/Chronel/history/chronel-$(date -u +%F).csv"
check_true "today's history file, header first" \
  wait_until 10 bash -c 'head -n 1 "$1" 2>/dev/null | grep -q "^minute_utc,state,"' _ "${history_file}"
check_true "history: rows for the run" bash -c '(( $(wc -l <"$1") >= 2 ))' _ "${history_file}"
ctl history --csv
check_eq "history --csv: exit code 0" "${ctl_rc}" 0
check_eq "history --csv: the rows of the file, in order" \
  "$(tail -n +2 <<<"${ctl_out}")" "$(tail -n +2 "${history_file}" | tr -d '\r')"
check_eq "history: the one hard set that happened, not the refused ones" \
  "$(awk -F, 'NR > 1 { n += $9 } END { print n + 0 }' <<<"${ctl_out}")" 1
# A report covers whole minutes only; the run's first minute is over within a minute.
report_has_rows() {
  ctl report --last 24h
  grep -qE "^  minutes with rows +[1-9]" <<<"${ctl_out}"
}
check_true "report: reads the rows of the finished minutes" wait_until 70 report_has_rows
check_true "report: a verdict, not 'unknown' (exit code 0 to 2)" \
  bash -c '(( $1 <= 2 )) && grep -q "^Proof of time, " <<<"$2"' _ "${ctl_rc}" "${ctl_out}"
printf '%s\n' "${ctl_out}" | sed 's/^/     /'

chronel /remove
one_line_in_brackets() {
  local line="${out%"${CRLF}"}"
  [[ "${line}" == "$1 ("?*")." && "${line}" != *[$'\r\n']* ]]
}
check_true "second /remove: OpenService fail with the system's text, no line break inside" \
  one_line_in_brackets "OpenService fail"
echo "     (${out%$CRLF})"

echo "--- start without a card"
mark_events
wine_reg_set "${SIM}" Present REG_DWORD 0
chronel /install
check_true "/install without a card still installs" installed_ok
check_true "tecOpen failure logged (type 1)" \
  wait_until 30 event_logged_like $'^1\ttecOpen failed: .+'
check_true "start failure logged with code 1 (type 1)" \
  wait_until 10 event_logged_like $'^1\tServicestart fails\\. 1, -2, .+'
check_true "service ends STOPPED" wait_until 10 svc_state_is 1
check_eq "exit code 1062" "$(field "${svc_out}" exit)" 1062
check_true "no START logged" bash -c '! grep -q "	START$" <<<"$1"' _ "$(events_since_mark)"
check_true "MonitorError: why the start failed" \
  bash -c '[[ "$1" == "Servicestart fails. 1, -2, "?* ]]' _ "$(wine_reg_get "${KEY}" MonitorError)"
ctl status
check_true "status: stopped, with the reason" \
  bash -c '[[ "$1" == "CHRONEL CRITICAL - service stopped (exit code 1062): Servicestart fails. 1, -2, "?* ]]' \
  _ "$(head -n 1 <<<"${ctl_out}")"
check_true "status: the values are marked as last seen" \
  grep -q "^  Values      last seen at .*; not current$" <<<"${ctl_out}"
printf '%s\n' "${ctl_out}" | sed 's/^/     /'
ctl status --json
check_true "status --json: not running, values not current, the reason" \
  bash -c '[[ "$1" == *"\"lock\":\"not_running\""* && "$1" == *"\"values_current\":false"* &&
    "$1" == *"\"start_error\":\"Servicestart fails. 1, -2, "* ]]' _ "${ctl_out}"
chronel /remove
check_eq "/remove of a stopped service: no stop, uninstalled" "${out}" \
  "Service Uninstall Ok.${CRLF}"

echo "--- a card whose firmware is too old"
mark_events
wine_reg_set "${SIM}" Present REG_DWORD 1
wine_reg_set "${SIM}" TypeLetter REG_SZ v
wine_reg_set "${SIM}" FirmwareMinor REG_SZ 16
chronel /install
check_true "/install with an old card" installed_ok
check_true "refusal logged (type 1)" \
  wait_until 30 event_logged $'1\tWrong firmware version, can\'t start!'
check_true "service ends STOPPED" wait_until 10 svc_state_is 1
check_eq "exit code 1062" "$(field "${svc_out}" exit)" 1062
check_eq "MonitorError: the refusal" "$(wine_reg_get "${KEY}" MonitorError)" \
  "Wrong firmware version, can't start!"
check_true "no start failure entry besides the refusal" \
  bash -c '! grep -q "Servicestart fails" <<<"$1"' _ "$(events_since_mark)"
chronel /remove
check_eq "/remove after the refused start" "${out}" "Service Uninstall Ok.${CRLF}"

echo "--- every entry the services logged"
wine_events | sed 's/^/     /'
finish
