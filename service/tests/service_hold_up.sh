#!/usr/bin/env bash
# The service under Wine's service manager where a real machine would trip
# it up: who may use the pipe (its access list read back by a client), the
# administrator's PipeSecurity setting and values that must stop the start,
# a pipe name another program holds, a slow start reported with rising
# checkpoints, and a stop reported as pending.
source "$ZARVO_SOURCE/tests/wine/lib.sh"

dir=$(scenario_dir service_hold_up svcctl.exe pipe-probe.exe)
cd "$dir" || exit 1
ctl() { win "$dir/ctl.out" "$dir/svcctl.exe" "$@"; tr -d '\r' <"$dir/ctl.out"; }
security() { wine reg "$@" >/dev/null 2>&1 </dev/null; }
start_service() { wine net start DADUDODI >/dev/null 2>&1 </dev/null; }

cleanup() {
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null
  wine "$dir/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null
  security delete 'HKLM\SOFTWARE\ZARVO Remote' /f
}
trap cleanup EXIT
cleanup

sim_config "$dir" "device serial=EL000123" "device serial=EL000777 pid=0xE0E8"
win install.out ./ZARVOSRV.exe -i
check "installed" has install.out "ZARVO Remote Service successfully installed."

echo "--- the pipe's owner and access list, as a client reads them back"
start_service
ctl wait DADUDODI 4 20 >/dev/null
sddl=$(ctl pipe-sddl)
echo "$sddl"
check "owned by LocalSystem" grep -q "^O:SY" <<<"$sddl"
check "protected access list" grep -q "D:P" <<<"$sddl"
for who in SY BA; do
  check "full control for $who" grep -Eq "\(A;;(FA|0x1f01ff);;;$who\)" <<<"$sddl"
done
for who in AU AN; do
  check "read and write for $who" grep -Eq "\(A;;(FRFW|FWFR|0x12019f);;;$who\)" <<<"$sddl"
done
check "nobody else" [ "$(grep -o '(A;' <<<"$sddl" | wc -l)" -eq 4 ]

echo "--- a stop is reported as pending first, then stopped"
status=$(ctl control DADUDODI 1)
echo "$status"
check "the handler answers with STOP_PENDING" grep -q "^state=3 .* accepted=0 " <<<"$status"
status=$(ctl wait DADUDODI 1 20)
check "then stopped with exit code 0" grep -q "^state=1 .* exit=0 " <<<"$status"

echo "--- the administrator's PipeSecurity"
security add 'HKLM\SOFTWARE\ZARVO Remote' /v PipeSecurity /t REG_SZ /d 'O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)' /f
start_service
ctl wait DADUDODI 4 20 >/dev/null
sddl=$(ctl pipe-sddl)
echo "$sddl"
check "a narrower setting is used as it is" [ "$(grep -o '(A;' <<<"$sddl" | wc -l)" -eq 2 ]
wine net stop DADUDODI >/dev/null 2>&1 </dev/null
ctl wait DADUDODI 1 20 >/dev/null
for bad in 'D:(A;;FR;;;WD)' 'O:BAD:(A;;FA;;;SY)' 'D:NO_ACCESS_CONTROL' 'not a descriptor'; do
  security add 'HKLM\SOFTWARE\ZARVO Remote' /v PipeSecurity /t REG_SZ /d "$bad" /f
  start_service
  status=$(ctl wait DADUDODI 1 20)
  echo "$bad: $status"
  check "'$bad' stops the start with an error code" grep -Eq "^state=1 .* exit=[1-9]" <<<"$status"
done
security delete 'HKLM\SOFTWARE\ZARVO Remote' /f

echo "--- a pipe name another program holds"
wine pipe-probe.exe impostor >probe.out 2>&1 </dev/null &
probe=$!
for _ in $(seq 100); do grep -q "holding 1" probe.out 2>/dev/null && break; sleep 0.1; done
began=$SECONDS
start_service
status=$(ctl wait DADUDODI 1 20)
echo "$status"
check "the start fails with ERROR_PIPE_BUSY as exit code" grep -q "^state=1 .* exit=231 " <<<"$status"
check "at once, before the transceivers are opened" [ $((SECONDS - began)) -le 5 ]
check "no transceiver was opened" bash -c "! grep -q ' open ' '$dir/ftd2xx-sim.log' 2>/dev/null || \
  [ \$(grep -c ' open 0' '$dir/ftd2xx-sim.log') -eq \$(grep -c ' close ' '$dir/ftd2xx-sim.log') ]"
win ctl-impostor.out ./ZARVOCTL.exe . 0 1234 1111 1111 17
wait "$probe"
check "the client refuses the program that holds the name" has ctl-impostor.out "Refused: the pipe is not owned by LocalSystem"
check "and sends it nothing" has probe.out "released, received 0 bytes"

echo "--- a start with two transceivers that never become ready is not slowed by them"
sim_config "$dir" "device serial=EL000123 modem=0x20" "device serial=EL000777 pid=0xE0E8 modem=0x20"
began=$SECONDS
start_service
trace=$(ctl trace DADUDODI 60)
echo "$trace"
check "the start ends RUNNING" grep -q "^state=4 " <<<"$(tail -n 1 <<<"$trace")"
check "within 5 s: the transceivers open on their own threads" [ $((SECONDS - began)) -le 5 ]
check "every report of the start carries a wait hint" bash -c "! grep '^state=2 ' <<<'$trace' | grep -q ' hint=0'"
win req.out ./ZARVOCTL.exe . 0 1234 1111 1111 17
check "then serves: a transceiver that is not ready answers the i/o error" has req.out "ZARVO i/o error."
wine net stop DADUDODI >/dev/null 2>&1 </dev/null
ctl wait DADUDODI 1 30 >/dev/null

finish
