# Shared by the Wine test scripts: locating the Windows build, skipping, checking.
#   WIN_DIST   the directory with chronel.exe and TECORA32.dll (dist/win32)
#   WIN_TOOLS  the directory with svcquery.exe and cardprobe.exe (build/win32/wine)

SKIP_CODE=77
FAILURES=0
CHECKS=0

skip() {
  echo "SKIPPED: $*"
  exit "${SKIP_CODE}"
}

require_windows_build() {
  local f
  for f in "$@"; do
    [ -f "$f" ] || skip "$f is missing; run 'make windows' first"
  done
  command -v wine >/dev/null 2>&1 || skip "wine is not installed"
}

pass() {
  CHECKS=$((CHECKS + 1))
  echo "ok   $*"
}

fail() {
  CHECKS=$((CHECKS + 1))
  FAILURES=$((FAILURES + 1))
  echo "FAIL $*"
}

# check DESCRIPTION ACTUAL EXPECTED
check_eq() {
  if [ "$2" = "$3" ]; then
    pass "$1"
  else
    fail "$1: got '$2', expected '$3'"
  fi
}

# check_true DESCRIPTION CMD...
check_true() {
  local what="$1"
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

finish() {
  echo "${CHECKS} checks, ${FAILURES} failed"
  [ "${FAILURES}" -eq 0 ]
}

# The value of KEY in "key=value" lines, CR removed.
field() {
  printf '%s\n' "$1" | tr -d '\r' | sed -n "s/^$2=//p" | head -n 1
}
