#!/usr/bin/env bash
# Every FS20 address has a state, under Wine's service manager: a command
# sent and a telegram heard each give a state line; an on-for-timer of 2 s
# gives on, then off within a second of its time; ZARVOCTL -state prints the
# states; a restart brings them back as restored, with a timer that ran out
# while the service was stopped applied; a damaged state file costs only its
# bad lines (event 500); the service killed during a burst of 1,000 changes
# leaves a file that is whole and reads back; a folder owned by another
# account is refused (event 502) and the state kept in memory.
# Its own prefix, whose service manager runs with the event log channel on
# and its standard error in a file: the service's events are written there.
source "$ZARVO_SOURCE/tests/wine/lib.sh"

dir=$(scenario_dir service_state svcctl.exe pipe-probe.exe)
cd "$dir" || exit 1

export WINEPREFIX=$dir/prefix
prefix_sh=$ZARVO_SOURCE/tests/wine/prefix.sh
"$prefix_sh" up "$WINEPREFIX" "$ZARVO_SOURCE/tests/fixtures/usb-devices.reg" >/dev/null ||
  { echo "FAIL: prefix not made"; exit 1; }
"$prefix_sh" down "$WINEPREFIX" >/dev/null
# A server that stays: without it, Wine stops the services (ours too) once
# no other program has run for a moment, and starts them again with the next.
wineserver -p
WINEDEBUG=-all,+eventlog wine cmd /c exit 2>events.log >/dev/null </dev/null

state_dir="$WINEPREFIX/drive_c/ProgramData/ZARVO Remote"
state_file="$state_dir/state.txt"
ctl() { win "$dir/ctl.out" "$dir/svcctl.exe" "$@"; tr -d '\r' <"$dir/ctl.out"; }
start_service() {
  wine net start DADUDODI >/dev/null 2>&1 </dev/null
  ctl wait DADUDODI 4 20 | grep -q "^state=4 "
}
stop_service() { wine net stop DADUDODI >/dev/null 2>&1 </dev/null; ctl wait DADUDODI 1 30 >/dev/null; }
# The service's Linux process: the one that maps this scenario's own copy of
# ZARVOSRV.exe (its environment cannot always be read under Wine).
service_pid() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = "ZARVOSRV.exe" ] || continue
    grep -qF "$dir/ZARVOSRV.exe" "$p/maps" 2>/dev/null && { basename "$p"; return; }
  done
}
# An FS20 switch telegram as a transceiver forwards it: house code bytes
# HC1 HC2, address ADDR, command CMD (hex).
telegram() {
  local sum=$(( (0x01 + 0x01 + 0xA0 + 0x01 + 0x$1 + 0x$2 + 0x$3 + 0x00 + 0x$4) & 255 ))
  printf '810B04%02X0101A001%s%s%s00%s' "$sum" "$1" "$2" "$3" "$4"
}
seq_no=0
# hear HEX: EL000777 hears the telegram now.
hear() {
  seq_no=$((seq_no + 1))
  sim_config "$dir" "device serial=EL000123 hearseq=0" \
    "device serial=EL000777 pid=0xE0E8 hearseq=$seq_no hear=$1"
}
# The inserts of every event written so far, one per line.
# (Wine's trace doubles each backslash.)
inserts() { tr -d '\r' <events.log | sed -n 's/.*:ReportEventW L"\(.*\)"$/\1/p' | sed 's/\\\\/\\/g'; }
# A state line as ZARVOCTL -state prints it (CR removed), with its time cut off.
states() {
  wine ZARVOCTL.exe . -state >"$1" 2>"$1.err" </dev/null
  local rc=$?
  tr -d '\r' <"$1" | cut -c26- >"$1.txt"
  return $rc
}
# A whole state line: the grammar's prefix, and nothing but fields after it.
state_line='^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z - - state kind=fs20( [a-z-]+=[^ ]+)+$'

cleanup() {
  [ -n "${listener:-}" ] && kill "$listener" 2>/dev/null
  [ -n "${bursts:-}" ] && kill "$bursts" 2>/dev/null
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null
  wine "$dir/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null
  chown -R "$(id -u):$(id -g)" "$state_dir" 2>/dev/null
  "$prefix_sh" down "$WINEPREFIX" >/dev/null
}
trap cleanup EXIT
# ctest ends a scenario that ran out of time with SIGTERM: clean up then too.
trap 'exit 143' TERM

sim_config "$dir" "device serial=EL000123 hearseq=0" "device serial=EL000777 pid=0xE0E8 hearseq=0"
win list.out ./ZARVOSRV.exe -l
iid_of() { tr -d '\r' <list.out | awk -v s="$1" '$1 == s { print $3 }'; }
a=$(iid_of EL000123)
win install.out ./ZARVOSRV.exe -i
check "installed" has install.out "ZARVO Remote Service successfully installed."
check "-i made the state folder" [ -d "$state_dir" ]
check "no one else may even read it" bash -c "[ \"\$(stat -c %A \"$state_dir\" | cut -c8-10)\" = --- ]"
check "the service starts" start_service
wait_for ftd2xx-sim.log "EL000777 open 0" && wait_for ftd2xx-sim.log "EL000123 open 0"

echo "--- a command sent and a telegram heard each give a state line"
wine ZARVOCTL.exe . -listen >l1.out 2>l1.err </dev/null &
listener=$!
check "an empty table greets with ready at once" wait_for l1.out ' - - ready$'
check "and no state line" bash -c "! grep -q ' state ' l1.out"
win on.out ./ZARVOCTL.exe . "$a" 1234 1111 1111 16
check "the command is answered" has on.out "OK"
check "the sent command's state" wait_for l1.out \
  ' - - state kind=fs20 hc=12341111 addr=1111 level=16 pct=100 before=unknown by=sent via=EL000123 last=16$'
hear "$(telegram CD 09 00 00)"
check "the heard telegram's state (a remote: 4142 1132, address 1111, off)" wait_for l1.out \
  ' - - state kind=fs20 hc=41421132 addr=1111 level=0 pct=0 before=unknown by=heard via=EL000777 last=16$' 30
check "after its heard line" bash -c "tr -d '\r' <l1.out | grep -E ' heard kind=fs20 hc=41421132 addr=1111 cmd=00 | state kind=fs20 hc=41421132' | head -n 1 | grep -q ' heard '"

echo "--- on for 2 s, then off"
win timer.out ./ZARVOCTL.exe . "$a" 1234 1111 1112 57 8
check "the timer command is answered" has timer.out "OK"
check "on now, with the time it ends and the level then" wait_for l1.out \
  'state kind=fs20 hc=12341111 addr=1112 level=16 pct=100 before=unknown by=sent via=EL000123 until=[0-9T:.-]+Z then=0 last=16$'
until_text=$(tr -d '\r' <l1.out | sed -n 's/.*addr=1112 .* until=\([^ ]*\) then=0.*/\1/p' | head -n 1)
until_ms=$(( $(date -d "$until_text" +%s%3N) ))
sent_ms=$(date -d "$(tr -d '\r' <l1.out | grep 'addr=1112 .*by=sent' | head -n 1 | cut -c1-24)" +%s%3N)
check "the timer runs 2 s" [ $((until_ms - sent_ms)) -eq 2000 ]
wait_for l1.out 'state kind=fs20 hc=12341111 addr=1112 level=0 pct=0 before=16 by=timer via=EL000123 last=16$' 60
seen_ms=$(now_ms)
check "then off, by the timer" grep -q "^$until_text - - state kind=fs20 hc=12341111 addr=1112 level=0 pct=0 before=16 by=timer via=EL000123 last=16" <(tr -d '\r' <l1.out)
echo "the off line was read $((seen_ms - until_ms)) ms after the timer's time (polled every 0.1 s)"
# The service runs timers out at its half-second wake; the rest is the
# listener's way and this script's polling.
check "within a second of its time (and the way to the listener)" [ $((seen_ms - until_ms)) -le 1500 ]

echo "--- ZARVOCTL -state"
states s1.out
check "exit code 0" [ $? -eq 0 ]
check "three state lines and nothing else" [ "$(grep -c . s1.out.txt)" -eq 3 ]
check "each as the last state line of its device" bash -c "
  for key in 'hc=12341111 addr=1111' 'hc=12341111 addr=1112' 'hc=41421132 addr=1111'; do
    tr -d '\r' <l1.out | grep \" state kind=fs20 \$key \" | tail -n 1 | cut -c26- | grep -qxF -f - s1.out.txt || exit 1
  done"
kill "$listener" 2>/dev/null; wait "$listener" 2>/dev/null; listener=

echo "--- a restart brings the states back, with a timer that ran out meanwhile applied"
win timer2.out ./ZARVOCTL.exe . "$a" 1234 1111 1113 57 24
check "a 4 s timer is answered" has timer2.out "OK"
stop_started=$(now_ms)
stop_service
check "the stop wrote the file, a line per device" [ "$(grep -c . "$state_file")" -eq 4 ]
tr -d '\r' <"$state_file"
check "with the timer still pending" grep -q 'addr=1113 level=16 .*until=.* then=0' "$state_file"
check "every line whole, in the grammar" bash -c "! tr -d '\r' <'$state_file' | grep -vEq '$state_line'"
while [ $(( $(now_ms) - stop_started )) -lt 5000 ]; do sleep 0.2; done
check "the service starts again" start_service
states s2.out
check "four states, all restored" [ "$(grep -c ' by=restored ' s2.out.txt)" -eq 4 ]
check "the others as they were" grep -qx -- '- - state kind=fs20 hc=12341111 addr=1111 level=16 pct=100 before=unknown by=restored via=EL000123 last=16' s2.out.txt
check "the timer that ran out while stopped applied" grep -qx -- '- - state kind=fs20 hc=12341111 addr=1113 level=0 pct=0 before=16 by=restored via=EL000123 last=16' s2.out.txt
cat s2.out.txt

echo "--- a damaged file costs only its bad lines"
stop_service
good=$(grep -c . "$state_file")
{
  printf 'garbage that is no line\r\n'
  printf '2026-12-08T10:15:06.544Z - - state kind=lamp hc=12341111 addr=1111\r\n'
  head -c 3000 /dev/urandom | tr -d '\n'
  printf '\r\n2026-12-08T10:15:06.544Z - - state kind=fs20 hc=12341111 addr=1114 level=16 pct=100 bef'
} >>"$state_file"
check "the service starts with a damaged file" start_service
states s3.out
check "its good lines kept" [ "$(grep -c ' by=restored ' s3.out.txt)" -eq "$good" ]
damaged=$(inserts | grep -A2 -xF 'C:\ProgramData\ZARVO Remote\state.txt' | head -n 3 | tr '\n' ' ')
echo "event 500's inserts: $damaged"
check "event 500 names the file, the 4 lines skipped and the entries kept" \
  grep -qxF "C:\ProgramData\ZARVO Remote\state.txt 4 $good " <<<"$damaged"

echo "--- killed during bursts of 1,000 changes, the file is the old or the new one, and whole"
sleep 1  # the rewrite of the damaged file
cp "$state_file" before-burst.txt
mtime_before=$(stat -c %Y.%N "$state_file")
# Bursts of 1,000 toggles, one after the other, until the service is gone.
( for _ in $(seq 100); do wine pipe-probe.exe ask 1000 "$a" >>burst.out 2>&1 </dev/null || break; done ) &
bursts=$!
# Until a write replaced the file during the bursts, then a moment more.
for _ in $(seq 300); do
  [ "$(stat -c %Y.%N "$state_file")" != "$mtime_before" ] && break
  sleep 0.1
done
sleep "$((RANDOM % 5)).$((RANDOM % 10))"
pid=$(service_pid)
check "the service's process was found" [ -n "$pid" ]
[ -n "$pid" ] && kill -9 "$pid"
[ -n "$pid" ] || kill "$bursts"
wait "$bursts"
bursts=
echo "the bursts: $(tr -d '\r' <burst.out | grep -c '^1000 of 1000 OK') whole, then: $(tr -d '\r' <burst.out | tail -n 1)"
ctl wait DADUDODI 1 30 >/dev/null
check "the file is there" [ -f "$state_file" ]
check "ends with a line end" bash -c "[ \"\$(tail -c 1 '$state_file' | od -An -c | tr -d ' ')\" = '\\n' ]"
check "every line whole, in the grammar" bash -c "! tr -d '\r' <'$state_file' | grep -vEq '$state_line'"
check "a line per device" [ "$(grep -c . "$state_file")" -eq "$good" ]
if cmp -s before-burst.txt "$state_file"; then echo "the file is the old one"; else echo "the file is a new one"; fi
events_before=$(inserts | grep -c 'state.txt')
check "the service starts after the kill" start_service
states s4.out
check "and reads the file back whole" [ "$(grep -c ' by=restored ' s4.out.txt)" -eq "$good" ]
check "without a damaged-file event" [ "$(inserts | grep -c 'state.txt')" -eq "$events_before" ]

echo "--- a folder owned by another account is refused"
stop_service
chown -R 12345:12345 "$state_dir"
cp "$state_file" before-refusal.txt
check "the service starts" start_service
refused=$(inserts | grep -A1 -xF 'C:\ProgramData\ZARVO Remote' | tail -n 1)
echo "event 502: $refused"
check "event 502 names the folder and says why" grep -q '^its owner is S-1-5-7, not LocalSystem or Administrators$' <<<"$refused"
states s5.out
check "nothing was read from it" [ "$(grep -c . s5.out.txt)" -eq 0 ]
win on2.out ./ZARVOCTL.exe . "$a" 1234 1111 1111 0
states s6.out
check "the state is kept in memory" grep -q 'addr=1111 level=0 .*by=sent' s6.out.txt
stop_service
check "and the file is left alone" cmp -s before-refusal.txt "$state_file"
chown -R "$(id -u):$(id -g)" "$state_dir"
finish
