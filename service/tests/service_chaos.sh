#!/usr/bin/env bash
# A seeded chaos scenario under Wine's service manager: three simulated
# transceivers, five clients, three listeners (one of them silent), and at
# random from one seed: requests (also short, long, and for instance numbers
# nobody has), plug-ins and pull-outs (registry entries, the driver's
# configuration and the service's control 128), writes, reads and opens that
# hang and are released, gates that close and open, listeners that come and
# go. tests/chaos/chaos.cpp does it and judges it; this script installs and
# starts the service and hands over.
#
#   service_chaos.sh [--seed S] [--seconds N]
#       defaults: $CHAOS_SEED or 1, $CHAOS_SECONDS or 60 (what ctest runs)
source "$ZARVO_SOURCE/tests/wine/lib.sh"

seed=${CHAOS_SEED:-1}
seconds=${CHAOS_SECONDS:-60}
while [ $# -gt 0 ]; do
  case $1 in
    --seed) seed=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    *) echo "usage: service_chaos.sh [--seed S] [--seconds N]"; exit 2 ;;
  esac
done
echo "chaos seed $seed, $seconds s"
# The same run by hand, in a prefix of its own, for as long as asked.
echo "to repeat this run (any seed, any length):"
echo "  ZARVO_BIN=$ZARVO_BIN ZARVO_SOURCE=$ZARVO_SOURCE ZARVO_WINEARCH=${ZARVO_WINEARCH:-win32}" \
  "bash $ZARVO_SOURCE/tests/wine/isolated.sh ${ZARVO_WINE_TEMPLATE:-<template prefix>}" \
  "$(realpath -m "$ZARVO_BIN/../testdirs/service_chaos-by-hand")" \
  "bash $(realpath "${BASH_SOURCE[0]}") --seed $seed --seconds $seconds"

dir=$(scenario_dir service_chaos svcctl.exe chaos.exe)
cd "$dir" || exit 1
ctl() { win "$dir/ctl.out" "$dir/svcctl.exe" "$@"; tr -d '\r' <"$dir/ctl.out"; }
cleanup() {
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null
  # Whatever still hangs in the driver returns when its keys go.
  sim_config "$dir" "device serial=EL000123" "device serial=EL000777 pid=0xE0E8" "device serial=EL000999"
  wine "$dir/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null
}
trap cleanup EXIT
# A run that was cut short may have left its service behind.
cleanup

win setup.out ./chaos.exe --setup
check "the transceivers' configuration and the third one's registry entries" has setup.out "written"
win install.out ./ZARVOSRV.exe -i
check "installed" has install.out "ZARVO Remote Service successfully installed."
wine net start DADUDODI >/dev/null 2>&1 </dev/null
status=$(ctl wait DADUDODI 4 20)
check "the service runs" grep -q "^state=4 " <<<"$status"

began=$SECONDS
win chaos.out ./chaos.exe --seed "$seed" --seconds "$seconds"
rc=$?
tr -d '\r' <chaos.out
echo "the chaos program ended with exit code $rc after $((SECONDS - began)) s;" \
  "its records: $dir/chaos-*.txt, the driver's log: $dir/ftd2xx-sim.log"
check "the chaos program ran (exit code 0 or 1, not $rc)" [ "$rc" -le 1 ]
check "the chaos scenario found nothing (seed $seed)" [ "$rc" -eq 0 ]
status=$(ctl query DADUDODI)
check "the service is stopped at the end" grep -q "^state=1 " <<<"$status"

finish
