#!/usr/bin/env bash
# chronelmon.exe under Wine on a virtual X display, driven from outside as a screen reader
# would (tests/wine/monprobe.cpp): the state while the service is missing, then against the
# installed service, a second start, the settings dialog refusing a value out of range and
# writing one in range, "Sync now", "Report..." through the save dialog, and a screenshot
# kept as an artifact.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "${here}/common.sh"
. "${here}/../../tools/wine/winelib.sh"

wine_select_build "${1:?dist root (with win32/ and win64/)}" "${2:?build root (with win32/ and win64/)}"
BUILD_ROOT="$(cd "$2" && pwd)"
require_windows_build "${WIN_DIST}/chronel.exe" "${WIN_DIST}/TECORA32.dll" \
  "${WIN_DIST}/chronelctl.exe" "${WIN_DIST}/chronelmon.exe" "${WIN_TOOLS}/monprobe.exe"
command -v Xvfb >/dev/null 2>&1 || skip "Xvfb is not installed (package xvfb)"
command -v import >/dev/null 2>&1 || skip "import is not installed (package imagemagick)"

KEY='SOFTWARE\Tecora'
SIM='SOFTWARE\TecoraSim'
MAIN='Chronel Monitor'
SETTINGS='Chronel settings'
SCREENSHOT="${BUILD_ROOT}/wine-monitor/chronelmon.png"

# A display of its own, whatever else runs on this host.
display=""
for n in $(seq 90 140); do
  if [ ! -e "/tmp/.X11-unix/X${n}" ] && [ ! -e "/tmp/.X${n}-lock" ]; then
    display=":${n}"
    break
  fi
done
[ -n "${display}" ] || { echo "no free X display"; exit 1; }
Xvfb "${display}" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!

wine_prefix_start || { kill "${xvfb_pid}"; echo "could not create a Wine prefix"; exit 1; }
stop_all() {
  wine_prefix_stop
  kill "${xvfb_pid}" 2>/dev/null
  wait "${xvfb_pid}" 2>/dev/null
}
trap stop_all EXIT
wait_until 10 test -e "/tmp/.X11-unix/X${display#:}" || { echo "Xvfb did not start"; exit 1; }
# The prefix's desktop belongs to the process that booted it: boot once more on the display,
# or no window can be created at all.
export DISPLAY="${display}"
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
wineserver -p180 >/dev/null 2>&1 </dev/null
WINEDEBUG=-all,+eventlog wine wineboot </dev/null >/dev/null 2>>"${WINE_EVENTLOG}"

install_dir="${WINE_TMP}/Chronel"
mkdir -p "${install_dir}"
cp "${WIN_DIST}/chronel.exe" "${WIN_DIST}/TECORA32.dll" "${WIN_DIST}/chronelctl.exe" \
  "${WIN_DIST}/chronelmon.exe" "${install_dir}/"

probe() {
  probe_out="$(timeout 30 wine "${WIN_TOOLS}/monprobe.exe" "$@" </dev/null 2>/dev/null | tr -d '\r')"
  probe_rc=$?
}
# The text of the main window's static control that starts with a prefix ("State: ").
static_text() {
  probe texts "$1"
  printf '%s\n' "${probe_out}" | sed -n "s/^Static\t\($2.*\)$/\1/p" | head -n 1
}
state_is() { [[ "$(static_text "${MAIN}" 'State: ')" =~ $1 ]]; }
diff_is() { [[ "$(static_text "${MAIN}" 'Difference: ')" =~ $1 ]]; }
text_in() {
  probe texts "$1"
  grep -qE -- "$2" <<<"${probe_out}"
}
reg_is() { [ "$(wine_reg_get "${KEY}" "$1")" = "$2" ]; }
reg_absent() { ! wine_reg_get "${KEY}" "$1" >/dev/null; }
mark_events() { events_mark="$(wc -l <"${WINE_EVENTLOG}")"; }
event_logged_like() {
  tail -n "+$((events_mark + 1))" "${WINE_EVENTLOG}" >"${WINE_TMP}/since.txt"
  wine_events "${WINE_TMP}/since.txt" | grep -qE -- "$1"
}

# An hour of history as the service keeps it, with a stretch of lost timecode and a stretch
# without rows (the service not running), for the chart in the screenshot.
history_dir="${WINEPREFIX}/drive_c/ProgramData/Chronel/history"
mkdir -p "${history_dir}"
python3 - "${history_dir}" <<'PY'
import math, os, sys, time
folder = sys.argv[1]
header = ("minute_utc,state,good_readings,failed_reads,diff_min_ms,diff_max_ms,diff_mean_ms,"
          "rate_ppm,hard_sets,entries,time_source,settings")
now = int(time.time()) // 60 * 60
for back in range(60, 2, -1):
    minute = now - back * 60
    if 20 <= back <= 24:
        continue  # the service did not run
    day = time.strftime("%Y-%m-%d", time.gmtime(minute))
    stamp = time.strftime("%Y-%m-%dT%H:%MZ", time.gmtime(minute))
    if 38 <= back <= 41:
        row = f"{stamp},timecode_lost,0,60,,,,0.000,0,1,pc,"
    else:
        mean = 1.5 * math.sin(back / 6.0)
        row = (f"{stamp},locked,60,0,{math.floor(mean) - 1},{math.ceil(mean) + 1},"
               f"{mean:.3f},0.500,0,0,timecode,")
    path = os.path.join(folder, f"chronel-{day}.csv")
    new = not os.path.exists(path)
    with open(path, "a", newline="") as f:
        if new:
            f.write(header + "\r\n")
        f.write(row + "\r\n")
PY

echo "--- no service installed"
(cd "${install_dir}" && exec wine chronelmon.exe /show </dev/null >/dev/null 2>&1) &
check_true "the main window opens" wait_until 60 probe wait "${MAIN}" 1
check_true "state: service not installed" wait_until 10 state_is '^State: Service not installed$'
check_true "difference unknown" diff_is '^Difference: unknown$'

echo "--- the installed service"
wine_reg_set "${SIM}" Present REG_DWORD 1
(cd "${install_dir}" && timeout 120 wine chronel.exe /install </dev/null >/dev/null 2>&1)
check_true "state follows within seconds: locked or correcting" \
  wait_until 60 state_is '^State: (Locked|Correcting)'
check_true "difference in ms" wait_until 10 diff_is '^Difference: -?[0-9]+ ms$'
echo "     $(static_text "${MAIN}" 'State: ')"
echo "     $(static_text "${MAIN}" 'Difference: ')"
check_true "the status box holds chronelctl's status screen" text_in "${MAIN}" \
  $'^Edit\tCHRONEL (OK|WARNING) - '
check_true "the buttons, with mnemonics" bash -c \
  'for b in "&Sync now" "S&ettings..." "St&op service" "&Report..."; do
     grep -qxF "Button	$b" <<<"$1" || exit 1; done' _ "${probe_out}"
check_true "the event log list says what it found" text_in "${MAIN}" \
  $'^ListBox\t(No entries of QN_Chronel|The Application event log cannot be read|[0-9]{4}-)'

echo "--- a second start"
start=${SECONDS}
(cd "${install_dir}" && timeout 60 wine chronelmon.exe </dev/null >/dev/null 2>&1)
check_eq "the second instance ends at once with 0" "$?" 0
check_true "within 30 s" test $((SECONDS - start)) -lt 30
check_true "its window is still there" probe wait "${MAIN}" 1

echo "--- settings"
probe click "${MAIN}" "Settings..."
check_true "the settings dialog opens" wait_until 20 probe wait "${SETTINGS}" 1
check_true "every setting listed" text_in "${SETTINGS}" $'^ListBox\tSyncM\|SyncP\|DifErr\|'
probe select "${SETTINGS}" SyncM
check_true "SyncM selected: its range shown" wait_until 5 text_in "${SETTINGS}" 'Range: 0 to 15625'
probe type "${SETTINGS}" 99999
check_true "out of range: the field says why" wait_until 5 text_in "${SETTINGS}" '15625'
probe click "${SETTINGS}" Apply
sleep 2
check_true "out of range: nothing written" reg_absent SyncM
probe type "${SETTINGS}" 1500
probe click "${SETTINGS}" Apply
check_true "in range: written (Wine runs as an administrator)" wait_until 10 reg_is SyncM 1500
check_true "the dialog says so" wait_until 5 text_in "${SETTINGS}" 'SyncM written'
import -window root -display "${display}" "${WINE_TMP}/settings.png" 2>/dev/null
probe click "${SETTINGS}" Close
check_true "the dialog closes" wait_until 10 bash -c '! "$@"' _ wine "${WIN_TOOLS}/monprobe.exe" wait "${SETTINGS}" 0

echo "--- sync now"
mark_events
probe click "${MAIN}" "Sync now"
check_true "the window says it was requested" wait_until 10 text_in "${MAIN}" 'hard set requested'
check_true "the service hard sets the clock (logged)" \
  wait_until 20 event_logged_like $'^1\tSystem time is hard set'
check_true "the request consumed" wait_until 10 reg_is Sync ""

echo "--- report"
report_file="${WINEPREFIX}/drive_c/chronel-report.txt"
rm -f "${report_file}"
probe click "${MAIN}" "Report..."
check_true "the save dialog opens" wait_until 20 probe wait "Save As" 1
probe type "Save As" 'C:\chronel-report.txt'
probe click "Save As" "Save"
# The window speaks once chronelctl has ended, so the file is whole by then.
check_true "the window says it was saved, with the verdict" \
  wait_until 30 text_in "${MAIN}" 'Report: saved \(verdict (OK|WARNING|CRITICAL|UNKNOWN)\)\.'
check_true "chronelctl's report, where asked" grep -q '^Proof of time, ' "${report_file}"
check_true "with its verdict last" \
  bash -c 'tail -n 1 "$1" | grep -qE "^CHRONEL (OK|WARNING|CRITICAL|UNKNOWN) - "' _ "${report_file}"

echo "--- stop and start the service"
probe click "${MAIN}" "Stop service"
check_true "stopped: the state says so" wait_until 30 state_is '^State: Service stopped$'
check_true "stopped: the difference is unknown" diff_is '^Difference: unknown$'
check_true "stopped: the button offers the start, Sync now disabled" text_in "${MAIN}" \
  $'^Button\tSt&art service$'
probe click "${MAIN}" "Start service"
check_true "started again: locked or correcting" wait_until 60 state_is '^State: (Locked|Correcting)'

echo "--- screenshot"
sleep 2
mkdir -p "$(dirname "${SCREENSHOT}")"
rm -f "${SCREENSHOT}"
import -window root -display "${display}" "${SCREENSHOT}" 2>/dev/null
check_true "screenshot saved and not empty (${SCREENSHOT})" test -s "${SCREENSHOT}"
cp "${WINE_TMP}/settings.png" "$(dirname "${SCREENSHOT}")/chronelmon-settings.png" 2>/dev/null

finish
