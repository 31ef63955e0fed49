#!/usr/bin/env bash
# Benchmark of the state table (prints figures; passes or fails nothing): the
# real ZARVOSRV.exe under Wine's service control manager, beside the
# simulated FTD2XX.dll, two transceivers listed by SetupAPI (tests/fixtures).
#   1. latency of a state change: from the simulated driver queuing a
#      telegram (QueryPerformanceCounter, in the driver's log) to a
#      listener reading the state line it makes (QueryPerformanceCounter,
#      pipe-probe stamp-state), over 1,000 telegrams, each to an address of
#      its own: p50, p99, max (target: p99 < 50 ms);
#   2. the cost of writing the state file with 1,024 entries, as the
#      service's worker thread writes it (state-bench.exe): CPU and wall
#      time per write;
#   3. the time to greet a listener with 1,024 entries: from its connect to
#      its ready line (pipe-probe greet), p50 and max of 20.
#
#   bash scripts/bench-state.sh [TELEGRAMS]   default 1000
#
# Runs in a private prefix (build/<preset>/bench-state-wineprefix), removes
# the service again and ends that prefix's wineserver, also on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/wine-preset.sh
prefix=$root/build/$preset/bench-state-wineprefix
work=$root/build/$preset/bench-state-run
telegrams=${1:-1000}

bash scripts/setup.sh >/dev/null
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target ZARVOSRV ftd2xx_sim svcctl pipe-probe state-bench >/dev/null

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
zarvo_wine_env
run() { local out=$1; shift; wine "$@" >"$out" 2>&1 </dev/null; }
winpath() { echo "Z:$(echo "$1" | sed 's|/|\\|g')"; }
finish() {
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null || true
  [ -f "$work/ZARVOSRV.exe" ] && wine "$work/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null || true
  "$root/tests/wine/prefix.sh" down "$prefix" >/dev/null
}
trap finish EXIT
"$root/tests/wine/prefix.sh" down "$prefix" >/dev/null
"$root/tests/wine/prefix.sh" up "$prefix" tests/fixtures/usb-devices.reg >/dev/null
state_dir="$prefix/drive_c/ProgramData/ZARVO Remote"
rm -rf "$work" "$state_dir"
mkdir -p "$work"
cp build/$preset/bin/{ZARVOSRV,svcctl,pipe-probe,state-bench}.exe build/$preset/bin/FTD2XX.dll "$work/"
cd "$work"

# config SEQ [HEX]: EL000123 hears HEX now (when given).
config() {
  {
    printf 'device serial=EL000123 hearseq=%s%s\n' "$1" "${2:+ hear=$2}"
    printf 'device serial=EL000777 pid=0xE0E8 hearseq=0\n'
  } >ftd2xx-sim.txt.new
  mv ftd2xx-sim.txt.new ftd2xx-sim.txt
}
# The switch telegram (on) to house code 12 <hi> and address <lo> of its
# number: every one is a device of its own, so each makes a state line.
telegram() {
  local hi=$(($1 >> 8)) lo=$(($1 & 255))
  local sum=$(( (0x01 + 0x01 + 0xA0 + 0x01 + 0x12 + hi + lo + 0x00 + 0x11) & 255 ))
  printf '810B04%02X0101A00112%02X%02X0011' "$sum" "$hi" "$lo"
}
start_service() {
  run start.out net start DADUDODI || true
  run wait.out svcctl.exe wait DADUDODI 4 60 || { cat wait.out; exit 1; }
  for _ in $(seq 100); do [ "$(grep -c ' open 0' ftd2xx-sim.log 2>/dev/null)" -ge 2 ] && break; sleep 0.1; done
}

config 0
run install.out ./ZARVOSRV.exe -i || true
grep -q "successfully installed" install.out || { cat install.out; exit 1; }
start_service

echo "ZARVO Remote state benchmark: ZARVOSRV.exe under Wine's service control manager,"
echo "simulated FTD2XX.dll. $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)."
echo

echo "== Latency of a state change, from the simulated driver to a listener's state line ($telegrams telegrams)"
wine pipe-probe.exe stamp-state "$telegrams" >stamps.out 2>&1 </dev/null &
stamper=$!
for _ in $(seq 100); do grep -q frequency stamps.out 2>/dev/null && break; sleep 0.05; done
sleep 0.5  # connected and greeted
for i in $(seq 1 "$telegrams"); do
  config "$i" "$(telegram "$i")"
  sleep 0.01
done
wait "$stamper" || true
frequency=$(tr -d '\r' <stamps.out | awk '/^frequency/ { print $2 }')
# The driver's log: "<serial> heard 0 <counter> 81 0B 04 SS 01 01 A0 01 H1 H2 AD 00 CM"; the
# key is the house code's and the address's FS20 digits, as the state line writes them.
tr -d '\r' <ftd2xx-sim.log | awk '
  function digits(h,   b, i, out) {
    b = (index("0123456789ABCDEF", substr(h, 1, 1)) - 1) * 16 + index("0123456789ABCDEF", substr(h, 2, 1)) - 1
    out = ""
    for (i = 0; i < 4; ++i) { out = (b % 4 + 1) out; b = int(b / 4) }
    return out
  }
  $2 == "heard" { print digits($13) digits($14) digits($15), $4 }' | sort >queued.txt
tr -d '\r' <stamps.out | awk 'NF == 2 && $1 != "frequency" { print $2, $1 }' | sort >read.txt
join queued.txt read.txt | awk -v f="$frequency" '{ printf "%.3f\n", ($3 - $2) * 1000 / f }' | sort -n >latency.txt
n=$(wc -l <latency.txt)
if [ "$n" -gt 0 ]; then
  p50=$(awk -v n="$n" 'NR == int((n - 1) * 0.50) + 1' latency.txt)
  p99=$(awk -v n="$n" 'NR == int((n - 1) * 0.99) + 1' latency.txt)
  max=$(tail -n 1 latency.txt)
  echo "  $n telegrams heard and their state lines read (of $telegrams given): p50 $p50 ms, p99 $p99 ms, max $max ms"
  awk -v p="$p99" 'BEGIN { exit !(p < 50) }' && verdict=met || verdict="NOT met"
  echo "  p99 under 50 ms: $verdict"
else
  echo "  no telegram was matched: $(head -c 300 stamps.out)"
fi
echo

echo "== Writing the state file with 1,024 entries, as the service's worker thread writes it"
bench_folder=$(winpath "$work/bench-folder")
run bench.out state-bench.exe "$bench_folder" 200 || true
tr -d '\r' <bench.out | sed 's/^/  /'
echo

echo "== Greeting a listener with 1,024 entries (connect to ready line, 20 listeners in turn)"
wine net stop DADUDODI >/dev/null 2>&1 </dev/null || true
run wait.out svcctl.exe wait DADUDODI 1 60 || true
cp "$work/bench-folder/state.txt" "$state_dir/state.txt"
start_service
run greet.out pipe-probe.exe greet 20 || true
tr -d '\r' <greet.out | awk '/^greeted/ { print $3 }' | sort -n >greet.txt
lines=$(tr -d '\r' <greet.out | awk '/^greeted/ { print $5 " lines, " $7 " of them state lines" }' | head -n 1)
if [ -s greet.txt ]; then
  echo "  each greeting: $lines; p50 $(awk 'NR == 10' greet.txt) ms, max $(tail -n 1 greet.txt) ms"
else
  echo "  no greeting read: $(tr -d '\r' <greet.out | head -c 300)"
fi
