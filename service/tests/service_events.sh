#!/usr/bin/env bash
# The events of a start and a stop under Wine's service manager, read from
# Wine's event log channel: the version, both transceivers of the registry
# fixture with their instance numbers, the other device ignored with why.
# Its own prefix, whose service manager runs with the event log channel on
# and its standard error in a file: the service's events are written there.
source "$ZARVO_SOURCE/tests/wine/lib.sh"

dir=$(scenario_dir service_events svcctl.exe)
cd "$dir" || exit 1

export WINEPREFIX=$dir/prefix
prefix_sh=$ZARVO_SOURCE/tests/wine/prefix.sh
"$prefix_sh" up "$WINEPREFIX" "$ZARVO_SOURCE/tests/fixtures/usb-devices.reg" >/dev/null ||
  { echo "FAIL: prefix not made"; exit 1; }
# A new server whose first program, and so the service manager it starts,
# has the event log channel on.
"$prefix_sh" down "$WINEPREFIX" >/dev/null
WINEDEBUG=-all,+eventlog wine cmd /c exit 2>events.log >/dev/null </dev/null
cleanup() {
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null
  wine "$dir/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null
  "$prefix_sh" down "$WINEPREFIX" >/dev/null
}
trap cleanup EXIT

sim_config "$dir" "device serial=EL000123" "device serial=EL000777 pid=0xE0E8"
win install.out ./ZARVOSRV.exe -i
win start.out net start DADUDODI
status=$(win ctl.out ./svcctl.exe wait DADUDODI 4 20; tr -d '\r' <ctl.out)
check "the service runs" grep -q "^state=4" <<<"$status"
win stop.out net stop DADUDODI
win ctl.out ./svcctl.exe wait DADUDODI 1 20

# Each event's inserts, one per line, in the order written.
inserts() { tr -d '\r' <events.log | sed -n 's/.*:ReportEventW L"\(.*\)"$/\1/p'; }
inserts >inserts.txt
echo "inserts written:"; cat inserts.txt
# follows FIRST SECOND: a line FIRST is followed by a line SECOND.
follows() { awk -v a="$1" -v b="$2" 'prev == a && $0 == b { found = 1 } { prev = $0 } END { exit !found }' inserts.txt; }
version=$(sed -n 's/^#define ZARVO_VERSION_TEXT "\(.*\)"$/\1/p' "$ZARVO_BIN/../generated/core/version.h")
check "the start names the version" grep -qxF "$version" inserts.txt
# The instance numbers follow the walk's order (each transceiver then opens
# on its own thread, in any order).
win list.out ./ZARVOSRV.exe -l
first=$(tr -d '\r' <list.out | awk '$3 == "0" { print $1 }')
second=$(tr -d '\r' <list.out | awk '$3 == "1" { print $1 }')
check "the first transceiver the walk found is instance 0" follows "$first" 0
check "the second is instance 1" follows "$second" 1
check "the other device is ignored with why" follows 6001 "another product id"
finish
