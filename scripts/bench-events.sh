#!/usr/bin/env bash
# Benchmark of listening (prints figures; passes or fails nothing): the real
# ZARVOSRV.exe under Wine's service control manager, beside the simulated
# FTD2XX.dll, two transceivers listed by SetupAPI (tests/fixtures).
#   1. latency of a heard telegram: from the simulated driver queuing its
#      bytes (QueryPerformanceCounter, in the driver's log) to a listener
#      reading its line (QueryPerformanceCounter, pipe-probe stamp-heard),
#      over 1,000 telegrams, each a different one: p50, p99, max
#      (target: p99 < 50 ms);
#   2. request throughput through one transceiver with 8 listeners reading
#      every line (each request is also a `sent` line to each of them)
#      against none, rounds taken in turn (target: within 10 %).
#
#   bash scripts/bench-events.sh [TELEGRAMS [REQUESTS]]   defaults 1000 and 3000
#
# Runs in a private prefix (build/<preset>/bench-events-wineprefix), removes
# the service again and ends that prefix's wineserver, also on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/wine-preset.sh
prefix=$root/build/$preset/bench-events-wineprefix
work=$root/build/$preset/bench-events-run
telegrams=${1:-1000}
requests=${2:-3000}

bash scripts/setup.sh >/dev/null
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target ZARVOSRV ftd2xx_sim svcctl pipe-probe >/dev/null

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
zarvo_wine_env
run() { local out=$1; shift; wine "$@" >"$out" 2>&1 </dev/null; }
winpath() { echo "Z:$(echo "$1" | sed 's|/|\\|g')"; }
finish() {
  touch "$work/stop" 2>/dev/null || true
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null || true
  [ -f "$work/ZARVOSRV.exe" ] && wine "$work/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null || true
  "$root/tests/wine/prefix.sh" down "$prefix" >/dev/null
}
trap finish EXIT
"$root/tests/wine/prefix.sh" down "$prefix" >/dev/null
"$root/tests/wine/prefix.sh" up "$prefix" tests/fixtures/usb-devices.reg >/dev/null
rm -rf "$work"
mkdir -p "$work"
cp build/$preset/bin/{ZARVOSRV,svcctl,pipe-probe}.exe build/$preset/bin/FTD2XX.dll "$work/"
cd "$work"

# config SEQ [HEX]: EL000123 hears HEX now (when given).
config() {
  {
    printf 'device serial=EL000123 hearseq=%s%s\n' "$1" "${2:+ hear=$2}"
    printf 'device serial=EL000777 pid=0xE0E8 hearseq=0\n'
  } >ftd2xx-sim.txt.new
  mv ftd2xx-sim.txt.new ftd2xx-sim.txt
}
# The switch telegram with house code 12 <hi> and address <lo> of its
# number: every one differs, so that each line is matched to its hearing.
telegram() {
  local hi=$(($1 >> 8)) lo=$(($1 & 255))
  local sum=$(( (0x01 + 0x01 + 0xA0 + 0x01 + 0x12 + hi + lo + 0x00 + 0x11) & 255 ))
  printf '810B04%02X0101A00112%02X%02X0011' "$sum" "$hi" "$lo"
}

config 0
run install.out ./ZARVOSRV.exe -i || true
grep -q "successfully installed" install.out || { cat install.out; exit 1; }
run start.out net start DADUDODI || true
run wait.out svcctl.exe wait DADUDODI 4 60 || { cat wait.out; exit 1; }
for _ in $(seq 100); do [ "$(grep -c ' open 0' ftd2xx-sim.log 2>/dev/null)" -ge 2 ] && break; sleep 0.1; done
run list.out ./ZARVOSRV.exe -l || true
iid=$(tr -d '\r' <list.out | awk '$1 == "EL000777" { print $3 }')

echo "ZARVO Remote listening benchmark: ZARVOSRV.exe under Wine's service control manager,"
echo "simulated FTD2XX.dll. $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)."
echo

echo "== Latency of a heard telegram, from the simulated driver to a listener's line ($telegrams telegrams)"
wine pipe-probe.exe stamp-heard "$telegrams" >stamps.out 2>&1 </dev/null &
stamper=$!
for _ in $(seq 100); do grep -q frequency stamps.out 2>/dev/null && break; sleep 0.05; done
sleep 0.5  # connected and greeted
for i in $(seq 1 "$telegrams"); do
  config "$i" "$(telegram "$i")"
  sleep 0.01
done
wait "$stamper" || true
frequency=$(tr -d '\r' <stamps.out | awk '/^frequency/ { print $2 }')
tr -d '\r' <ftd2xx-sim.log | awk '$2 == "heard" { hex = ""; for (i = 5; i <= NF; ++i) hex = hex $i; print hex, $4 }' | sort >queued.txt
tr -d '\r' <stamps.out | awk 'NF == 2 && $1 != "frequency" { print $2, $1 }' | sort >read.txt
join queued.txt read.txt | awk -v f="$frequency" '{ printf "%.3f\n", ($3 - $2) * 1000 / f }' | sort -n >latency.txt
n=$(wc -l <latency.txt)
if [ "$n" -gt 0 ]; then
  p50=$(awk -v n="$n" 'NR == int((n - 1) * 0.50) + 1' latency.txt)
  p99=$(awk -v n="$n" 'NR == int((n - 1) * 0.99) + 1' latency.txt)
  max=$(tail -n 1 latency.txt)
  echo "  $n telegrams heard and read (of $telegrams given): p50 $p50 ms, p99 $p99 ms, max $max ms"
  awk -v p="$p99" 'BEGIN { exit !(p < 50) }' && verdict=met || verdict="NOT met"
  echo "  p99 under 50 ms: $verdict"
else
  echo "  no telegram was matched: $(head -c 300 stamps.out)"
fi
echo

echo "== Request throughput through transceiver $iid: 8 listeners reading every line, against none"
none=0 eight=0
for round in 1 2 3; do
  run a.out pipe-probe.exe ask "$requests" "$iid" || true
  ms=$(tr -d '\r' <a.out | sed -nE 's/.* in ([0-9]+) ms.*/\1/p')
  none=$((none + ms))
  rm -f stop
  wine pipe-probe.exe drain-listeners 8 "$(winpath "$work/stop")" >drain.out 2>&1 </dev/null &
  drainer=$!
  for _ in $(seq 200); do grep -q "holding 8" drain.out 2>/dev/null && break; sleep 0.05; done
  run b.out pipe-probe.exe ask "$requests" "$iid" || true
  touch stop
  wait "$drainer" || true
  ms8=$(tr -d '\r' <b.out | sed -nE 's/.* in ([0-9]+) ms.*/\1/p')
  eight=$((eight + ms8))
  echo "  round $round: none $(awk -v r="$requests" -v m="$ms" 'BEGIN { printf "%.0f", r * 1000 / m }') requests/s;" \
    "8 listeners $(awk -v r="$requests" -v m="$ms8" 'BEGIN { printf "%.0f", r * 1000 / m }') requests/s ($(tr -d '\r' <drain.out | tail -n 1))"
done
ratio=$(awk -v a="$none" -v b="$eight" 'BEGIN { printf "%.2f", a / b }')
echo "  throughput with 8 listeners / without: $ratio"
awk -v r="$ratio" 'BEGIN { exit !(r >= 0.9) }' && verdict=met || verdict="NOT met"
echo "  within 10 %: $verdict"
