#!/usr/bin/env bash
# Listening to the service under Wine's service manager: a listener's
# greeting, telegrams heard by the simulated transceivers (the driver
# library queues them on its own, while no call is made), commands other
# clients send, a listener that never reads, the ninth listener, the events
# pipe's name held by another program, and a stop.
source "$ZARVO_SOURCE/tests/wine/lib.sh"

dir=$(scenario_dir service_listen svcctl.exe pipe-probe.exe)
cd "$dir" || exit 1
ctl() { win "$dir/ctl.out" "$dir/svcctl.exe" "$@"; tr -d '\r' <"$dir/ctl.out"; }
start_service() { wine net start DADUDODI >/dev/null 2>&1 </dev/null; }
count() { tr -d '\r' <"$1" | grep -Ec -- "$2"; }
# The switch telegram of the frame table's last row: house code 4142 1132,
# address 1111, command 0x3A with a 60 s timer.
switch=810C04020101A001CD0900003A4F
heard_switch='heard kind=fs20 hc=41421132 addr=1111 cmd=3A name=on-last-for-timer ext=4F timer=60 raw=810C04020101A001CD0900003A4F'
# hear SEQ [SERIAL...]: the named transceivers hear the switch telegram now.
hear() {
  local seq=$1 a="" b=""
  shift
  for s in "$@"; do
    [ "$s" = EL000123 ] && a=" hear=$switch"
    [ "$s" = EL000777 ] && b=" hear=$switch"
  done
  sim_config "$dir" "device serial=EL000123 hearseq=$seq$a" \
    "device serial=EL000777 pid=0xE0E8 hearseq=$seq$b"
}

cleanup() {
  touch "$dir/stop"
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null
  wine "$dir/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null
}
trap cleanup EXIT
# A run that was cut short may have left its service behind.
cleanup
rm -f "$dir/stop"

hear 0
win list.out ./ZARVOSRV.exe -l
iid_of() { tr -d '\r' <list.out | awk -v s="$1" '$1 == s { print $3 }'; }
a=$(iid_of EL000123)
b=$(iid_of EL000777)
win install.out ./ZARVOSRV.exe -i
check "installed" has install.out "ZARVO Remote Service successfully installed."
start_service
ctl wait DADUDODI 4 20 >/dev/null
wait_for ftd2xx-sim.log "EL000777 open 0" && wait_for ftd2xx-sim.log "EL000123 open 0"

echo "--- a listener and its greeting"
wine ZARVOCTL.exe . -listen >l1.out 2>l1.err </dev/null &
l1=$!
check "the greeting names the format" wait_for l1.out '^[0-9T:.-]+Z - - format id=zarvo-events version=1$'
check "then each transceiver present" bash -c "grep -q ' $a EL000123 present' l1.out && grep -q ' $b EL000777 present' l1.out"
check "the banner went to stderr, not among the lines" has l1.err "ZARVOCTL - Client Application"
check "stdout holds only lines" bash -c "! tr -d '\r' <l1.out | grep -vEq '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z [-0-9]+ [^ ]+ [a-z]+'"
check "lines end with CR LF" bash -c "head -c 200 l1.out | grep -q $'\r'"

echo "--- a telegram heard"
began=$(now_ms)
hear 1 EL000123
check "the listener prints the heard line" wait_for l1.out " $a EL000123 $heard_switch\$" 30
took=$(( $(now_ms) - began ))
echo "the heard line was printed $took ms after the telegram was given"
check "within 1 s" [ "$took" -le 1000 ]

echo "--- another client's command"
win cmd.out ./ZARVOCTL.exe . "$b" 1234 1111 1111 17
check "the command is answered" has cmd.out "OK"
check "and appears as sent" wait_for l1.out " $b EL000777 sent hc=12341111 addr=1111 cmd=11 name=on raw=8109043002010 ?"

echo "--- two transceivers hear the same telegram"
before=$(count l1.out " heard ")
hear 2 EL000123 EL000777
wait_for l1.out " $b EL000777 heard " 30
sleep 0.3
check "two lines, one each" [ "$(count l1.out " heard ")" -eq $((before + 2)) ]

echo "--- a listener that never reads"
rm -f stop
wine pipe-probe.exe read-later "$(winpath "$dir/stop")" >slow.out 2>&1 </dev/null &
slow=$!
wait_for slow.out "holding 1"
sent_before=$(count l1.out " sent ")
line=$(win ask.out ./pipe-probe.exe ask 3000 "$b"; tr -d '\r' <ask.out)
echo "3000 requests beside it: $line"
check "requests are not held up" grep -q "^3000 of 3000 OK" <<<"$line"
wait_for l1.out "." 1
for _ in $(seq 100); do [ "$(count l1.out " sent ")" -ge $((sent_before + 3000)) ] && break; sleep 0.1; done
check "the other listener got every sent line" [ "$(count l1.out " sent ")" -eq $((sent_before + 3000)) ]
touch stop
wait "$slow"
echo "$(tr -d '\r' <slow.out | tail -n 3)"
check "the slow listener got its lost line" grep -Eq -- '- - lost count=[0-9]+' slow.out
# A listener that has gone is found when a write to it fails: one more line.
win nudge.out ./ZARVOCTL.exe . "$b" 1234 1111 1111 17
check "one more command is served" has nudge.out "OK"
sleep 0.5

echo "--- the ninth listener"
rm -f stop
wine pipe-probe.exe hold-listeners 7 "$(winpath "$dir/stop")" >seven.out 2>&1 </dev/null &
seven=$!
check "seven more listeners connect" wait_for seven.out "holding 7"
win ninth.out ./pipe-probe.exe hold-listeners 1 "$(winpath "$dir/stop")"
check "finds the pipe busy" has ninth.out "failed, error 231"
began=$SECONDS
win ninth-ctl.out ./ZARVOCTL.exe . -listen
rc=$?
echo "ZARVOCTL -listen: exit code $rc after $((SECONDS - began)) s: $(tr -d '\r' <ninth-ctl.out | tail -n 1)"
check "ZARVOCTL gives up after its 20 s wait with exit code 2" [ "$rc" -eq 2 ]
touch stop
wait "$seven"

echo "--- a stop ends the listener"
wine net stop DADUDODI >/dev/null 2>&1 </dev/null
wait "$l1"
rc=$?
echo "exit code $rc: $(tr -d '\r' <l1.err | tail -n 1)"
check "with its line" has l1.err "The service ended the connection"
check "and exit code 1" [ "$rc" -eq 1 ]
ctl wait DADUDODI 1 30 >/dev/null

echo "--- the events pipe's name held by another program"
rm -f stop
wine pipe-probe.exe hold-events-name "$(winpath "$dir/stop")" >name.out 2>&1 </dev/null &
holder=$!
wait_for name.out "holding 1"
start_service
status=$(ctl wait DADUDODI 4 20)
check "the service starts" grep -q "^state=4 " <<<"$status"
win held.out ./ZARVOCTL.exe . "$b" 1234 1111 1111 17
check "and serves commands" has held.out "OK"
win held-listen.out ./ZARVOCTL.exe . -listen
rc=$?
check "a listener meets the other program and is refused" [ "$rc" -eq 3 ]
touch stop
wait "$holder"
freed=$SECONDS
# A listener that connects finds the stop file and lets go at once.
for _ in $(seq 40); do
  win again.out ./pipe-probe.exe hold-listeners 1 "$(winpath "$dir/stop")"
  has again.out "holding 1" && break
  sleep 1
done
echo "a listener got in $((SECONDS - freed)) s after the name was freed"
check "once the name is free, the service takes it at its next try (every 30 s)" has again.out "holding 1"

finish
