# Shell functions for running the Windows build under Wine in a private, throw-away prefix.
# Source it from bash; it sets `set -u`-safe globals and never touches ~/.wine.
#
#   wine_select_build DIST_ROOT BUILD_ROOT   picks the build this host can run (below)
#   wine_prefix_start        new prefix in a temp dir, services up, event log captured
#   wine_prefix_stop         ends the prefix's wineserver and deletes it (runs on EXIT)
#   wine_reg_set KEY NAME TYPE DATA   KEY below HKLM, e.g. 'SOFTWARE\TecoraSim'
#   wine_reg_get KEY NAME    prints the value's data (DWORDs in decimal); fails when absent
#   wine_reg_delete KEY [NAME]
#   wine_run ARGS...         runs a Windows program, its stdout with CR LF kept
#   wine_events              the captured event-log entries, one "TYPE<TAB>TEXT" line each
#   wait_until SECONDS CMD...  polls CMD until it succeeds; fails after SECONDS
#
# Wine keeps event-log entries nowhere; with +eventlog it prints each one on the standard
# error of the process that logs it. Services inherit that of the service manager, which
# wineboot starts, so the prefix is booted with its standard error going to one file.

WINE_TMP=""
WINE_EVENTLOG=""
WIN_BITS=""
WINE_SHIM=""

WINE_LOADER32=/usr/lib/wine/wine
WINE_LOADER64=/usr/lib/wine/wine64

# Whether this host runs 32-bit Windows programs, as "BITS<TAB>REASON". Some hosts cannot
# execute any 32-bit Linux program, Wine's 32-bit loader included, though its package
# installs; so the loader is run, not looked for.
wine_host_probe() {
  local out
  if [ ! -e "${WINE_LOADER32}" ]; then
    printf '64\t%s is not installed (wine32:i386)\n' "${WINE_LOADER32}"
  elif out="$("${WINE_LOADER32}" --version 2>&1 </dev/null)"; then
    printf '32\tthis host runs 32-bit programs (%s)\n' "${out}"
  else
    out="$(printf '%s' "${out}" | tr -s '\n' ' ' | sed "s|.*\(${WINE_LOADER32}: \)|\1|")"
    printf '64\tthis host cannot execute 32-bit programs (%s)\n' "${out:-no output}"
  fi
}

# Sets WIN_BITS, WIN_DIST (DIST_ROOT/win32 or win64) and WIN_TOOLS (BUILD_ROOT/win32/wine or
# win64/wine), and prints the suite's first line: which build it tests and why. The decision
# is the probe's, read from $CHRONEL_WINE_HOST when an earlier step of the run wrote it there,
# unless CHRONEL_WINE_BITS forces one. The 32-bit build is the one that ships; the 64-bit one
# stands in where it cannot run, through the 64-bit loader called directly.
wine_select_build() {
  local dist_root build_root probe bits reason
  dist_root="$(cd "$1" 2>/dev/null && pwd || printf '%s' "$1")"
  build_root="$(cd "$2" 2>/dev/null && pwd || printf '%s' "$2")"
  if [ -n "${CHRONEL_WINE_HOST:-}" ] && [ -s "${CHRONEL_WINE_HOST}" ]; then
    probe="$(head -n 1 "${CHRONEL_WINE_HOST}")"
  else
    probe="$(wine_host_probe)"
  fi
  bits="${probe%%$'\t'*}"
  reason="${probe#*$'\t'}"
  case "${CHRONEL_WINE_BITS:-}" in
    "") ;;
    32 | 64)
      if [ "${CHRONEL_WINE_BITS}" = 32 ] && [ "${bits}" != 32 ]; then
        echo "wine: CHRONEL_WINE_BITS=32, but ${reason}"
        exit 1
      fi
      [ "${CHRONEL_WINE_BITS}" != "${bits}" ] && reason="CHRONEL_WINE_BITS=${CHRONEL_WINE_BITS}; ${reason}"
      bits="${CHRONEL_WINE_BITS}"
      ;;
    *)
      echo "wine: CHRONEL_WINE_BITS is 32, 64 or unset, not '${CHRONEL_WINE_BITS}'"
      exit 1
      ;;
  esac
  WIN_BITS="${bits}"
  WIN_DIST="${dist_root}/win${bits}"
  WIN_TOOLS="${build_root}/win${bits}/wine"
  if [ "${bits}" = 32 ]; then
    echo "wine: testing the 32-bit build (${WIN_DIST}): ${reason}"
  else
    echo "wine: testing the 64-bit build (${WIN_DIST}) through ${WINE_LOADER64}; the 32-bit build is skipped: ${reason}"
  fi
}

# Debian's wine wrapper takes the 32-bit loader whenever it is there, even for a 64-bit
# program; where that loader cannot run, every "wine" must reach the 64-bit one instead.
wine_shim_64() {
  WINE_SHIM="$(mktemp -d "${TMPDIR:-/tmp}/chronel-wine-bin.XXXXXX")"
  local name
  for name in wine wine64 wine-stable; do
    printf '#!/bin/sh\nexport WINELOADER=%s\nexec %s "$@"\n' "${WINE_LOADER64}" \
      "${WINE_LOADER64}" >"${WINE_SHIM}/${name}"
    chmod +x "${WINE_SHIM}/${name}"
  done
  export WINELOADER="${WINE_LOADER64}"
  export PATH="${WINE_SHIM}:${PATH}"
}

wine_prefix_stop() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "${WINEPREFIX}" ]; then
    wineserver -k >/dev/null 2>&1 || true
    # wineserver -k signals; wait until the prefix is really unused before deleting it.
    local i
    for i in $(seq 1 50); do
      pgrep -f "WINEPREFIX=${WINEPREFIX}" >/dev/null 2>&1 || break
      wineserver -w >/dev/null 2>&1 && break
      sleep 0.1
    done
  fi
  if [ -n "${WINE_SHIM}" ]; then
    rm -rf "${WINE_SHIM}"
    WINE_SHIM=""
  fi
  if [ -n "${WINE_TMP}" ] && [ -d "${WINE_TMP}" ]; then
    if [ "${CHRONEL_WINE_KEEP:-0}" = "1" ]; then
      echo "wine: prefix kept in ${WINE_TMP}" >&2
    else
      rm -rf "${WINE_TMP}"
    fi
  fi
  WINE_TMP=""
}

wine_prefix_start() {
  command -v wine >/dev/null 2>&1 || { echo "wine is not installed" >&2; return 1; }
  WINE_TMP="$(mktemp -d "${TMPDIR:-/tmp}/chronel-wine.XXXXXX")"
  trap wine_prefix_stop EXIT
  trap 'exit 130' INT TERM
  [ "${WIN_BITS}" = 64 ] && [ -z "${WINE_SHIM}" ] && wine_shim_64
  export WINEPREFIX="${WINE_TMP}/prefix"
  export WINEARCH=win64
  export DISPLAY=
  export WAYLAND_DISPLAY=
  # No browser or .NET runtime: nothing here needs them, and installing them is slow.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEDEBUG=-all
  # The same locale whatever the host's: English number formats, plain ASCII.
  export LC_ALL=C
  WINE_EVENTLOG="${WINE_TMP}/eventlog.txt"
  : >"${WINE_EVENTLOG}"
  mkdir -p "${WINEPREFIX}"
  # Creating a prefix leaves a second service manager behind, each with a database of its
  # own, and calls then reach either. So: create, end everything, and boot once more with
  # the event log captured.
  wine wineboot -i </dev/null >/dev/null 2>&1 || return 1
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  # Kept up between commands, but not forever: should this shell be killed before its
  # trap runs, the prefix still ends a few minutes after its last program.
  wineserver -p180 >/dev/null 2>&1 </dev/null
  WINEDEBUG=-all,+eventlog wine wineboot </dev/null >/dev/null 2>>"${WINE_EVENTLOG}"
}

wine_reg_set() {
  wine reg add "HKLM\\$1" /v "$2" /t "$3" /d "$4" /f /reg:32 >/dev/null 2>&1
}

wine_reg_get() {
  local out line type data
  out="$(wine reg query "HKLM\\$1" /v "$2" /reg:32 2>/dev/null | tr -d '\r')" || return 1
  line="$(grep -m1 -E "^[[:space:]]+$2[[:space:]]+REG_" <<<"${out}")" || return 1
  line="${line#"${line%%[![:space:]]*}"}"
  line="${line#"$2"}"
  line="${line#"${line%%[![:space:]]*}"}"
  type="${line%%[[:space:]]*}"
  data="${line#"$type"}"
  data="${data#"${data%%[![:space:]]*}"}"
  if [ "$type" = "REG_DWORD" ]; then
    printf '%d\n' "$data"
    return 0
  fi
  # A string with line breaks goes on over the lines after its name; only the one value
  # asked for is listed, and the blank line that ends the listing is not part of it.
  printf '%s\n' "$data"
  sed -n "/^[[:space:]]\+$2[[:space:]]\+REG_/,\$p" <<<"${out}" | sed '1d' | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
}

wine_reg_delete() {
  if [ $# -ge 2 ]; then
    wine reg delete "HKLM\\$1" /v "$2" /f /reg:32 >/dev/null 2>&1
  else
    wine reg delete "HKLM\\$1" /f /reg:32 >/dev/null 2>&1
  fi
}

wine_run() {
  wine "$@" </dev/null
}

# Wine prints each string as ReportEventW L"..." on the eventlog channel: err for type 1,
# warn for type 2, trace for every other type.
wine_events() {
  local file="${1:-${WINE_EVENTLOG}}"
  sed -n 's/^[0-9a-f]*:\(err\|warn\|trace\):eventlog:ReportEventW L"\(.*\)"$/\1\t\2/p' "$file" |
    sed -e 's/^err\t/1\t/' -e 's/^warn\t/2\t/' -e 's/^trace\t/3\t/' -e 's/\t\\r\\n/\t/'
}

wait_until() {
  local seconds="$1"
  shift
  local deadline=$((SECONDS + seconds))
  while ! "$@"; do
    [ "${SECONDS}" -ge "${deadline}" ] && return 1
    sleep 0.3
  done
}
