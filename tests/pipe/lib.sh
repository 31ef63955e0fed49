# Helpers for the pipe integration scenarios; sourced by the scripts here.
# Every program runs under Wine with its output in a file of the scenario's
# own directory, which is read after the program ended (or, for a program in
# the background, polled for its lines).
set -u
# The checks are often the last command of a pipeline ({ ...; } | expect_file):
# run there in this shell, so that a failure they count is not lost in a
# subshell.
shopt -s lastpipe

: "${ZARVO_BIN:?}" "${WINEPREFIX:?}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
source "$(dirname "${BASH_SOURCE[0]}")/../wine/env.sh"

failures=0
background=()

# work_dir NAME PROGRAM...: a fresh directory of this scenario's own under the
# build tree, with the programs it runs copied into it; cd there.
work_dir() {
  local name=$1; shift
  work=$(dirname "$ZARVO_BIN")/wine-tests/$name
  rm -rf "$work"
  mkdir -p "$work"
  for p in "$@"; do cp "$ZARVO_BIN/$p" "$work/"; done
  cd "$work"
}

# start NAME PROGRAM ARGS...: runs a program in the background, output to
# NAME.out; its pid goes to $last_pid and $NAME_pid.
start() {
  local name=$1; shift
  timeout 200 wine "$@" >"$name.out" 2>&1 </dev/null &
  last_pid=$!
  printf -v "${name}_pid" '%s' "$last_pid"
  background+=("$last_pid")
}

# wait_line FILE TEXT SECONDS: waits until FILE holds a line containing TEXT.
wait_line() {
  local i
  for ((i = 0; i < $3 * 20; i++)); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "no line '$2' in $1 after $3 s:"; cat "$1" 2>/dev/null
  return 1
}

# ctl OUT ARGS...: runs ZARVOCTL.exe, output (carriage returns removed) to
# OUT; fails the scenario when its exit code is not 0.
ctl() {
  local out=$1; shift
  timeout 60 wine ZARVOCTL.exe "$@" >"$out.raw" 2>&1 </dev/null
  local rc=$?
  tr -d '\r' <"$out.raw" >"$out"
  if [ "$rc" -ne 0 ]; then
    echo "FAIL: ZARVOCTL $* exited with $rc"
    failures=$((failures + 1))
  fi
}

# timed_ctl OUT MIN MAX ARGS...: ctl, and a failure unless it took MIN to
# MAX seconds.
timed_ctl() {
  local out=$1 min=$2 max=$3 started=$SECONDS
  shift 3
  ctl "$out" "$@"
  local took=$((SECONDS - started))
  if [ "$took" -ge "$min" ] && [ "$took" -le "$max" ]; then
    echo "ok: ZARVOCTL ended after $took s"
  else
    echo "FAIL: ZARVOCTL ended after $took s, expected $min to $max s"
    failures=$((failures + 1))
  fi
}

banner() {
  printf '\nZARVOCTL - Client Application for ZARVO Remote Service access\n'
  printf 'Relays FS20 commands to a ZARVO Remote service over its named pipe.\n\n'
}

usage_text() {
  printf 'Usage: ZARVOCTL <ip> <iid> <hc1> <hc2> <addr> <cmd> <data>\n'
  printf '       ZARVOCTL <ip> -listen   print what the service hears and does, as it comes\n'
  printf '       ZARVOCTL <ip> -state    print the state the service assumes for each device\n\n'
  printf '<ip>    ZARVO Remote Service IP-Address, dot (.) if localhost\n'
  printf '<iid>   instance id of ZARVO (0: first ZARVO, 1, second ZARVO, ...)\n'
  printf '<hc1>   house code high byte in FS20 standard notation\n'
  printf '<hc2>   house code low bye in FS20 standard notation\n'
  printf '<addr>  address of FS20 device in standard notation\n'
  printf '<cmd>   FS20 command byte\n'
  printf '<data>  additional data byte (duration, speed)\n\n'
}

# expect_file FILE WHAT: compares FILE with the expected text on stdin.
expect_file() {
  local file=$1 what=$2
  if cmp -s "$file" -; then
    echo "ok: $what"
  else
    echo "FAIL: $what"
    echo "--- got:"; cat -A "$file"
    failures=$((failures + 1))
  fi
}

# expect_grep FILE TEXT WHAT: FILE holds a line with TEXT.
expect_grep() {
  if grep -qxF -- "$2" "$1"; then
    echo "ok: $3"
  else
    echo "FAIL: $3 (no line '$2')"; cat "$1"
    failures=$((failures + 1))
  fi
}

# stop_host: asks pipe-host to end and waits until it has printed its report.
stop_host() {
  touch host.stop
  wait "$host_pid"
  tr -d '\r' <host.out >host.txt
}

cleanup() {
  touch host.stop probe.stop 2>/dev/null
  local pid
  for pid in "${background[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill "$pid" 2>/dev/null
  done
  wait 2>/dev/null
}
trap cleanup EXIT

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed in $work"
    exit 1
  fi
  echo "all checks passed"
  exit 0
}
