# Helpers for the integration scenarios that drive the real programs under
# Wine. Sourced; expects WINEPREFIX, ZARVO_BIN (the built programs) and
# ZARVO_SOURCE (the source tree) in the environment, as ctest sets them.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

checks=0
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { checks=$((checks + 1)); }

# check DESCRIPTION COMMAND...: records a pass or a failure.
check() {
  local what=$1; shift
  if "$@"; then pass; else fail "$what"; fi
}

# finish: prints the tally and exits non-zero on any failure.
finish() {
  echo "$((checks)) passed, $failures failed"
  [ "$failures" -eq 0 ]
  exit $?
}

# win OUT PROGRAM [ARGS...]: runs a Windows program under Wine with its output
# in the file OUT (never through a pipe: Wine's background processes inherit
# the handles) and returns its exit code.
win() {
  local out=$1; shift
  wine "$@" >"$out" 2>&1 </dev/null
}

# has FILE TEXT: FILE contains TEXT as a fixed string.
has() { grep -qF -- "$2" "$1"; }
now_ms() { date +%s%3N; }
# wait_for FILE PATTERN [TENTHS]: until FILE has a line matching PATTERN
# (Windows line ends taken off), looking every tenth of a second, 50 times
# unless TENTHS says otherwise.
wait_for() {
  local i
  for i in $(seq "${3:-50}"); do
    [ -f "$1" ] && tr -d '\r' <"$1" | grep -Eq -- "$2" && return 0
    sleep 0.1
  done
  return 1
}

# scenario_dir NAME: a fresh directory of this scenario's own, with copies
# of the programs and the simulated driver library. Prints its path.
scenario_dir() {
  local dir
  dir=$(realpath -m "$ZARVO_BIN/../scenarios/$1")
  rm -rf "$dir"
  mkdir -p "$dir"
  local f
  for f in ZARVOSRV.exe ZARVOCTL.exe FTD2XX.dll "${@:2}"; do
    [ -f "$ZARVO_BIN/$f" ] && cp "$ZARVO_BIN/$f" "$dir/"
  done
  echo "$dir"
}

# sim_config DIR LINES...: writes the simulated transceivers' configuration.
sim_config() {
  local dir=$1; shift
  printf '%s\n' "$@" >"$dir/ftd2xx-sim.txt.new"
  mv "$dir/ftd2xx-sim.txt.new" "$dir/ftd2xx-sim.txt"
}

# Converts a Linux path to the Windows path Wine gives it.
winpath() { echo "Z:$(echo "$1" | sed 's|/|\\|g')"; }
