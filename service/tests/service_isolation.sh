#!/usr/bin/env bash
# One transceiver's trouble reaches nobody else, under Wine's service
# manager with two transceivers: a gate that never opens, a driver call that
# never returns (also past 30 s, and during the open at start), a stop while
# one is stuck, clients that connect and drop in a loop, and a message too
# short to be a request.
source "$ZARVO_SOURCE/tests/wine/lib.sh"

dir=$(scenario_dir service_isolation svcctl.exe pipe-probe.exe)
cd "$dir" || exit 1
ctl() { win "$dir/ctl.out" "$dir/svcctl.exe" "$@"; tr -d '\r' <"$dir/ctl.out"; }
start_service() { wine net start DADUDODI >/dev/null 2>&1 </dev/null; }
stop_service() {
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null
  ctl wait DADUDODI 1 30 >/dev/null
}
# ask OUT N IID: N requests for IID on one connection; prints the probe's line.
ask() { win "$1" ./pipe-probe.exe ask "$2" "$3"; tr -d '\r' <"$1"; }
ms_of() { sed -nE 's/.* in ([0-9]+) ms.*/\1/p' <<<"$1"; }
writes_of() { grep -c "^$1 write 0" "$dir/ftd2xx-sim.log" 2>/dev/null; }
healthy="device serial=EL000777 pid=0xE0E8"

cleanup() {
  touch "$dir/stop"
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null
  # Whatever still hangs in the driver ends when its line goes.
  sim_config "$dir" "$healthy"
  wine "$dir/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null
}
trap cleanup EXIT
# A run that was cut short may have left its service behind.
cleanup
rm -f "$dir/stop"

sim_config "$dir" "device serial=EL000123" "$healthy"
# The instance numbers follow the order in which the prefix lists them.
win list.out ./ZARVOSRV.exe -l
iid_of() { tr -d '\r' <list.out | awk -v s="$1" '$1 == s { print $3 }'; }
sick=$(iid_of EL000123)
well=$(iid_of EL000777)
echo "EL000123 (the one in trouble) is $sick, EL000777 (the healthy one) is $well"
check "both listed" [ -n "$sick" -a -n "$well" ]
win install.out ./ZARVOSRV.exe -i
check "installed" has install.out "ZARVO Remote Service successfully installed."
start_service
ctl wait DADUDODI 4 20 >/dev/null

echo "--- ten requests to a healthy transceiver, alone and beside a gate that never opens"
line=$(ask base.out 10 "$well")
echo "alone: $line"
base=$(ms_of "$line")
sim_config "$dir" "device serial=EL000123 modem=0x20" "$healthy"
wine ZARVOCTL.exe . "$sick" 1234 1111 1111 17 >gate1.out 2>&1 </dev/null &
a=$!
wine ZARVOCTL.exe . "$sick" 1234 1111 1111 18 >gate2.out 2>&1 </dev/null &
b=$!
sleep 1
line=$(ask gate.out 10 "$well")
echo "beside the closed gate: $line"
check "all ten OK" grep -q "^10 of 10 OK" <<<"$line"
check "not held up by the gate (under 2 s, against $base ms alone)" [ "$(ms_of "$line")" -lt 2000 ]
wait "$a" "$b"
check "the gate's own requests get the i/o error" bash -c "grep -q 'ZARVO i/o error.' gate1.out && grep -q 'ZARVO i/o error.' gate2.out"

echo "--- a transceiver stuck inside the driver, past 30 s"
sim_config "$dir" "device serial=EL000123" "$healthy"
win warm.out ./ZARVOCTL.exe . "$sick" 1234 1111 1111 17
sim_config "$dir" "device serial=EL000123 hang=1" "$healthy"
hung=$(now_ms)
wine ZARVOCTL.exe . "$sick" 1234 1111 1111 17 >stuck.out 2>&1 </dev/null &
stuck=$!
sleep 1
line=$(ask hung.out 10 "$well")
echo "beside the stuck one: $line"
check "the healthy one is served at once" bash -c "grep -q '^10 of 10 OK' <<<'$line' && [ $(ms_of "$line") -lt 2000 ]"
wait "$stuck"
waited=$(( $(now_ms) - hung ))
echo "the stuck request was answered after $waited ms: $(tr -d '\r' <stuck.out | tail -n 1)"
check "the stuck request is answered with the i/o error" has stuck.out "ZARVO i/o error."
check "within 12 s of the hang" [ "$waited" -le 12000 ]
win stuck-again.out ./ZARVOCTL.exe . "$sick" 1234 1111 1111 17
check "later requests to it are answered at once" has stuck-again.out "ZARVO i/o error."
sleep $(( 32 - ($(now_ms) - hung) / 1000 ))
status=$(ctl query DADUDODI)
echo "32 s after the hang: $status"
check "the service is still running" grep -q "^state=4 " <<<"$status"
line=$(ask late.out 10 "$well")
check "and serves the healthy one" grep -q "^10 of 10 OK" <<<"$line"

echo "--- a stop while it is stuck"
began=$SECONDS
ctl control DADUDODI 1 >/dev/null
status=$(ctl wait DADUDODI 1 30)
echo "$status"
check "the stop ends within 20 s" [ $((SECONDS - began)) -le 20 ]
check "with exit code 0" grep -q "^state=1 .* exit=0 " <<<"$status"

echo "--- a transceiver that hangs while it is opened at start"
sim_config "$dir" "device serial=EL000123 hang=1" "$healthy"
start_service
# net start returns at the first START_PENDING, before any transceiver is
# opened: the hang is later than this.
hung=$(now_ms)
status=$(ctl wait DADUDODI 4 15)
echo "$status"
check "RUNNING within 15 s" grep -q "^state=4 " <<<"$status"
line=$(ask open-healthy.out 3 "$well")
check "the healthy one is served" grep -q "^3 of 3 OK" <<<"$line"
win open-stuck.out ./ZARVOCTL.exe . "$sick" 1234 1111 1111 17
waited=$(( $(now_ms) - hung ))
echo "the request for the one hanging in its open was answered after $waited ms"
check "the one hanging in its open answers the i/o error" has open-stuck.out "ZARVO i/o error."
check "within 12 s of the hang" [ "$waited" -le 12000 ]
sim_config "$dir" "device serial=EL000123" "$healthy"
for _ in $(seq 50); do
  win reopened.out ./ZARVOCTL.exe . "$sick" 1234 1111 1111 17
  has reopened.out "OK" && break
  sleep 0.2
done
check "once its call returns, it is opened again and serves" has reopened.out "OK"

echo "--- clients that connect and drop in a loop"
line=$(ask quiet.out 10 "$well")
echo "without them: $line"
quiet=$(ms_of "$line")
rm -f stop
wine pipe-probe.exe drop-loop "$(winpath "$dir/stop")" >drops.out 2>&1 </dev/null &
dropper=$!
sleep 1
line=$(ask loud.out 10 "$well")
echo "with them: $line"
touch stop
wait "$dropper"
echo "$(tr -d '\r' <drops.out)"
check "all ten OK" grep -q "^10 of 10 OK" <<<"$line"
check "not slowed down much (under twice plus 200 ms)" [ "$(ms_of "$line")" -le $((2 * quiet + 200)) ]

echo "--- a one-byte message after another client's request"
before0=$(writes_of EL000123)
before1=$(writes_of EL000777)
win full.out ./ZARVOCTL.exe . "$well" 4444 3333 2222 18
check "the other client's request is served" has full.out "OK"
before1=$((before1 + 1))
win short.out ./pipe-probe.exe send 01
echo "$(tr -d '\r' <short.out)"
check "the one-byte message is answered Invalid parameter." has short.out "reply: Invalid parameter."
sleep 0.5
check "and nothing more was written to any transceiver" \
  [ "$(writes_of EL000123)" -eq "$before0" -a "$(writes_of EL000777)" -eq "$before1" ]

stop_service
finish
