#!/usr/bin/env bash
# The service under Wine's service control manager, end to end: install,
# start, requests through the real client, pause, continue, interrogate,
# stop, remove — with simulated transceivers that SetupAPI lists.
source "$ZARVO_SOURCE/tests/wine/lib.sh"

dir=$(scenario_dir service_scm svcctl.exe)
cd "$dir" || exit 1
ctl() { win "$dir/ctl.out" "$dir/svcctl.exe" "$@"; tr -d '\r' <"$dir/ctl.out"; }
simlog() { tr -d '\r' <"$dir/ftd2xx-sim.log"; }

cleanup() {
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null
  wine "$dir/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null
}
trap cleanup EXIT
cleanup

# Two transceivers and one other USB-serial device are present.
wine regedit /S "$(winpath "$ZARVO_SOURCE/tests/fixtures/usb-devices.reg")" >/dev/null 2>&1 </dev/null
sim_config "$dir" "device serial=EL000123" "device serial=EL000777 pid=0xE0E8"
ctl pipes-set 'COMNAP|SQL\QUERY' >/dev/null

echo "--- install"
win install.out ./ZARVOSRV.exe -i; rc=$?
cat install.out
check "install exits 1" [ "$rc" -eq 1 ]
check "install prints its success text" has install.out "ZARVO Remote Service successfully installed."
check "banner comes first" has install.out "ZARVOSRV - ZARVO Remote Service"
check "pipe published at the end of the list" \
  [ "$(ctl pipes-get)" = "type=7 size=56 entries=COMNAP|SQL\\QUERY|doraruzoz|" ]
config=$(ctl config DADUDODI)
echo "$config"
check "registered as own process, auto start, normal errors" \
  grep -q "type=16 start=2 error=1 " <<<"$config"
check "registered with the program's full path in quotes" \
  grep -qF "path=\"$(winpath "$dir")\\ZARVOSRV.exe\" account=" <<<"$config"
check "with a description" grep -q "^description=.*FS20" <(ctl description DADUDODI)
check "display name" grep -q "display=ZARVO Remote" <<<"$config"

echo "--- install again"
win install2.out ./ZARVOSRV.exe -i; rc=$?
check "second install exits 0" [ "$rc" -eq 0 ]
check "second install prints its failure text" has install2.out "Failed to install ZARVO Remote Service."
check "list unchanged by the failed install" \
  [ "$(ctl pipes-get)" = "type=7 size=56 entries=COMNAP|SQL\\QUERY|doraruzoz|" ]

echo "--- start"
wine net start DADUDODI >start.out 2>&1 </dev/null
status=$(ctl wait DADUDODI 4 20)
echo "$status"
# Wine's service manager reports the registered type, not the one the
# service reports; the control test checks the reported one in-process.
check "running after start" grep -q "^state=4 type=.* accepted=3 exit=0 checkpoint=0 hint=0" <<<"$status"
# Each transceiver is opened on a thread of its own, once the start is
# reported: the opens come in any order, soon after.
for _ in $(seq 100); do
  [ "$(simlog | awk '$2 == "open" && $3 == "0"' | wc -l)" -ge 2 ] && break
  sleep 0.1
done
opens=$(simlog | awk '$2 == "open" && $3 == "0" { print $1 }' | sort | tr '\n' ' ')
echo "opened: $opens"
check "both transceivers opened" [ "$(wc -w <<<"$opens")" -eq 2 ]
check "the other USB device was not opened" bash -c "! grep -q A9K2XQ1P '$dir/ftd2xx-sim.log'"
# Slot 0 is the first the walk found.
win list.out ./ZARVOSRV.exe -l
first=$(tr -d '\r' <list.out | awk '$3 == "0" { print $1 }')

echo "--- requests"
win req.out ./ZARVOCTL.exe . 0 1234 1111 1111 17; rc=$?
cat req.out
check "request answered OK" has req.out "OK"
check "client exits 0" [ "$rc" -eq 0 ]
check "transceiver 0 received the FS20 frame" \
  grep -q "^$first write 0 81 09 04 30 02 01 01 1B 00 00 11$" <(simlog)
win req.out ./ZARVOCTL.exe . 2 1234 1111 1111 17
check "no third transceiver" has req.out "ZARVO device not found."

echo "--- pause, continue, interrogate"
status=$(ctl control DADUDODI 2)
check "paused" grep -q "^state=7" <<<"$status"
win req.out ./ZARVOCTL.exe . 1 1234 1111 1111 16 5
check "a paused service still serves" has req.out "OK"
status=$(ctl control DADUDODI 2)
check "pause while paused stays paused" grep -q "^state=7" <<<"$status"
status=$(ctl control DADUDODI 3)
check "running again after continue" grep -q "^state=4" <<<"$status"
status=$(ctl control DADUDODI 4)
check "interrogate changes nothing" grep -q "^state=4" <<<"$status"

echo "--- stop"
wine net stop DADUDODI >stop.out 2>&1 </dev/null
status=$(ctl wait DADUDODI 1 20)
echo "$status"
check "stopped with exit code 0" grep -q "^state=1 .* exit=0" <<<"$status"
# Each is closed on its own thread, so in any order.
closes=$(simlog | awk '$2 == "close" { print $1 }' | sort | tr '\n' ' ')
check "every transceiver closed" [ "$closes" = "$opens" ]

echo "--- remove while running, then after"
wine net start DADUDODI >start2.out 2>&1 </dev/null
ctl wait DADUDODI 4 20 >/dev/null
win remove.out ./ZARVOSRV.exe -u; rc=$?
cat remove.out
check "removal of a running service exits 1" [ "$rc" -eq 1 ]
check "removal prints its success text" has remove.out "ZARVO Remote service successfully removed."
check "pipe withdrawn from the list" [ "$(ctl pipes-get)" = "type=7 size=36 entries=COMNAP|SQL\\QUERY|" ]
win req.out ./ZARVOCTL.exe . 0 1234 1111 1111 17
check "a service marked for deletion serves until it stops" has req.out "OK"
wine net stop DADUDODI >/dev/null 2>&1 </dev/null
sleep 1
win remove2.out ./ZARVOSRV.exe -u; rc=$?
check "removing an absent service exits 0" [ "$rc" -eq 0 ]
check "and prints the removal failure text" has remove2.out "Failed to remove ZARVO Remote service."

finish
