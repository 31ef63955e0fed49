#!/usr/bin/env bash
# Benchmark of the MQTT bridge (prints figures; passes or fails nothing): the
# real ZARVOMQTT.exe and ZARVOSRV.exe under Wine's service control manager,
# the simulated FTD2XX.dll, and mosquitto on 127.0.0.1.
#   1. a command: from a `set` message handed to the broker to its frame in
#      the simulated driver's log, one after another (p50, p99, max; target
#      p99 < 50 ms);
#   2. a telegram heard: from the simulated transceiver queuing it (the
#      QueryPerformanceCounter stamp of its `heard` line in the driver's
#      log) to the `state` message ZARVO Remote's state line for it makes,
#      at a subscriber (mosquitto_sub's own receive stamp, %U), 1,000
#      telegrams each to a device of its own (p50, p99, max; target p99 <
#      50 ms). The counter is put on Linux's clock by pipe-probe clock,
#      asked before and after the telegrams; the figures say how closely;
#   3. the bridge's idle CPU and working set.
# The other times are Linux's CLOCK_REALTIME: the subscriber's own receive
# stamps and the script's.
#
#   bash scripts/bench-bridge.sh [COUNT]   default 1000 of each
#
# Runs in a private prefix (build/<preset>/bench-bridge-wineprefix), removes
# both services, stops the broker and ends that prefix's wineserver, also on
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/wine-preset.sh
prefix=$root/build/$preset/bench-bridge-wineprefix
work=$root/build/$preset/bench-bridge-run
count=${1:-1000}

bash scripts/setup.sh >/dev/null
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target ZARVOSRV ZARVOMQTT ftd2xx_sim svcctl pipe-probe >/dev/null

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
zarvo_wine_env
source tests/wine/broker.sh
run() { local out=$1; shift; wine "$@" >"$out" 2>&1 </dev/null; }
finish() {
  kill "${pub_pid:-}" "${sub_pid:-}" 2>/dev/null || true
  wine net stop ZARVOMQTT >/dev/null 2>&1 </dev/null || true
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null || true
  [ -f "$work/ZARVOMQTT.exe" ] && wine "$work/ZARVOMQTT.exe" -u >/dev/null 2>&1 </dev/null || true
  [ -f "$work/ZARVOSRV.exe" ] && wine "$work/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null || true
  broker_stop
  "$root/tests/wine/prefix.sh" down "$prefix" >/dev/null
}
trap finish EXIT
"$root/tests/wine/prefix.sh" down "$prefix" >/dev/null
"$root/tests/wine/prefix.sh" up "$prefix" tests/fixtures/usb-devices.reg >/dev/null
# The states a former run left: their devices would not be new.
rm -rf "$work" "$prefix/drive_c/ProgramData/ZARVO Remote"
mkdir -p "$work"
cp build/$preset/bin/{ZARVOSRV,ZARVOMQTT,svcctl,pipe-probe}.exe build/$preset/bin/FTD2XX.dll "$work/"
cd "$work"

# config SEQ [HEX]: EL000123 hears HEX now (when given).
config() {
  {
    printf 'device serial=EL000123 hearseq=%s%s\n' "$1" "${2:+ hear=$2}"
    printf 'device serial=EL000777 pid=0xE0E8 hearseq=0\n'
  } >ftd2xx-sim.txt.new
  mv ftd2xx-sim.txt.new ftd2xx-sim.txt
}

broker_start "$work/broker" >/dev/null
config 0
run install.out ./ZARVOSRV.exe -i || true
run start.out net start DADUDODI || true
run wait.out svcctl.exe wait DADUDODI 4 60 || { cat wait.out; exit 1; }
for _ in $(seq 100); do [ "$(grep -c ' open 0' ftd2xx-sim.log 2>/dev/null)" -ge 2 ] && break; sleep 0.1; done
run list.out ./ZARVOSRV.exe -l || true
first=$(tr -d '\r' <list.out | awk '$3 == "0" { print $1 }')
run i.out ./ZARVOMQTT.exe -i || { cat i.out; exit 1; }
run c.out ./ZARVOMQTT.exe -config "broker=127.0.0.1:$broker_port" user=$broker_user \
  "password=$broker_password" node=bench || { cat c.out; exit 1; }
run start.out net start ZARVOMQTT || true
run wait.out svcctl.exe wait ZARVOMQTT 4 30 || { cat wait.out; exit 1; }
for _ in $(seq 100); do
  retained 'zarvo/bench/service' | grep -q online && break
  sleep 0.1
done

# The bridge's Linux process: the ZARVOMQTT.exe of this prefix.
bridge_pid() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = "ZARVOMQTT.exe" ] || continue
    tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qx "WINEPREFIX=$prefix" && { basename "$p"; return; }
  done
}
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.0f\n", s}'; }

echo "ZARVO Remote MQTT bridge benchmark: ZARVOMQTT.exe and ZARVOSRV.exe under Wine's service control"
echo "manager, simulated FTD2XX.dll, mosquitto $(mosquitto -h 2>/dev/null | sed -n 's/^mosquitto version //p') on 127.0.0.1. $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)."
echo

# percentiles FILE TITLE: p50, p99 and max of the milliseconds in FILE.
percentiles() {
  sort -n "$1" >"$1.sorted"
  local n p50 p99 max verdict
  n=$(wc -l <"$1.sorted")
  if [ "$n" -eq 0 ]; then echo "  nothing was measured"; return; fi
  p50=$(awk -v n="$n" 'NR == int((n - 1) * 0.50) + 1' "$1.sorted")
  p99=$(awk -v n="$n" 'NR == int((n - 1) * 0.99) + 1' "$1.sorted")
  max=$(tail -n 1 "$1.sorted")
  awk -v p="$p99" 'BEGIN { exit !(p < 50) }' && verdict=met || verdict="NOT met"
  echo "  $n of $count $2: p50 $p50 ms, p99 $p99 ms, max $max ms; p99 under 50 ms: $verdict"
}

echo "== A set message to its frame at the simulated transceiver ($count commands, one at a time)"
# One publisher connection for all of them; each line it reads is one
# message. The frame's command byte alternates (on 11, off 00), so that each
# write in the driver's log is matched to its command.
python3 - "$count" "$broker_port" "$broker_user" "$broker_password" "$first" >set.ms <<'PY'
import os, subprocess, sys, time
count, port, user, password, serial = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
pub = subprocess.Popen(["mosquitto_pub", "-h", "127.0.0.1", "-p", port, "-u", user, "-P", password,
                        "-q", "1", "-t", "zarvo/bench/fs20/12341111-1111/set", "-l"],
                       stdin=subprocess.PIPE, text=True)
log = open("ftd2xx-sim.log", "r", errors="replace")
log.seek(0, os.SEEK_END)
time.sleep(0.5)
for i in range(count):
    payload, byte = ("ON", "11") if i % 2 == 0 else ("OFF", "00")
    wanted = f"{serial} write 0 81 09 04 "
    began = time.time_ns()
    pub.stdin.write(payload + "\n")
    pub.stdin.flush()
    seen = False
    pending = ""  # a line the driver is still writing
    while not seen and time.time_ns() - began < 5_000_000_000:
        pending += log.readline()
        if not pending.endswith("\n"):
            time.sleep(0.0002)
            continue
        line, pending = pending, ""
        seen = line.startswith(wanted) and line.rstrip().endswith(" 1B 00 00 " + byte)
    if seen:
        print(f"{(time.time_ns() - began) / 1e6:.3f}", flush=True)
pub.stdin.close()
pub.wait()
PY
percentiles set.ms "frames written"
echo

echo "== A telegram heard to its state message at a subscriber ($count telegrams)"
# clock_offset OUT: asks pipe-probe for QueryPerformanceCounter 50 times,
# each between two readings of Linux's clock, and writes "<frequency>
# <Linux seconds at counter 0> <half the quickest round trip, ms>" from the
# quickest round trip: the counter was read within that half of its middle.
clock_offset() {
  python3 - "$1" <<'PY'
import subprocess, sys, time
probe = subprocess.Popen(["wine", "pipe-probe.exe", "clock"], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)
frequency = int(probe.stdout.readline().split()[1])
best = None
for _ in range(50):
    began = time.time()
    probe.stdin.write("?\n")
    probe.stdin.flush()
    counter = int(probe.stdout.readline())
    ended = time.time()
    if best is None or ended - began < best[0]:
        best = (ended - began, (began + ended) / 2 - counter / frequency)
    time.sleep(0.01)
probe.stdin.close()
probe.wait()
with open(sys.argv[1], "w") as f:
    f.write(f"{frequency} {best[1]:.6f} {best[0] * 500:.3f}\n")
PY
}
clock_offset clock-before.txt
# Each a switch telegram ("on") to a device of its own, house code 12 <hi>
# and address <lo> of its number, so that each state message is matched to
# its telegram.
mosquitto_sub -h 127.0.0.1 -p "$broker_port" -u "$broker_user" -P "$broker_password" -q 1 \
  -t 'zarvo/bench/fs20/+/state' -F '%U %r %t' >states.txt 2>&1 &
sub_pid=$!
sleep 0.5
python3 - "$count" <<'PY' >renamed.txt
import os, sys, time
count = int(sys.argv[1])
def telegram(i):
    hi, lo = i >> 8, i & 255
    total = (0x01 + 0x01 + 0xA0 + 0x01 + 0x12 + hi + lo + 0x00 + 0x11) & 255
    return "810B04%02X0101A00112%02X%02X0011" % (total, hi, lo)
for i in range(1, count + 1):
    with open("ftd2xx-sim.txt.new", "w") as f:
        f.write(f"device serial=EL000123 hearseq={i} hear={telegram(i)}\n")
        f.write("device serial=EL000777 pid=0xE0E8 hearseq=0\n")
    print(i, f"{time.time():.6f}")
    os.replace("ftd2xx-sim.txt.new", "ftd2xx-sim.txt")
    time.sleep(0.02)
time.sleep(2)
PY
kill "$sub_pid" 2>/dev/null || true
sub_pid=
clock_offset clock-after.txt
# Each heard line's counter on Linux's clock, from the offsets before and
# after (interpolated by the counter, so that a drift between the clocks
# costs nothing), then matched to the state message of its device.
python3 - ftd2xx-sim.log states.txt renamed.txt clock-before.txt clock-after.txt heard.ms queued.ms <<'PY'
import sys
log, states, renamed, before, after, heard_out, queued_out = sys.argv[1:8]
frequency, offset0, _ = open(before).read().split()
frequency, offset0 = int(frequency), float(offset0)
offset1 = float(open(after).read().split()[1])
def byte(hex_text):
    return int(hex_text, 16)
counters = {}
for line in open(log, errors="replace"):
    f = line.split()
    # "<serial> heard 0 <counter> 81 0B 04 CS 01 01 A0 01 12 HI LO 00 11"
    if len(f) == 17 and f[1] == "heard" and f[4:8:2] == ["81", "04"] and f[12] == "12":
        number = byte(f[13]) * 256 + byte(f[14])
        counters.setdefault(number, int(f[3]))
if not counters:
    sys.exit(0)
first, last = min(counters.values()), max(counters.values())
def linux_time(counter):
    share = (counter - first) / (last - first) if last > first else 0.0
    return counter / frequency + offset0 + share * (offset1 - offset0)
# The topic names the house code and address in FS20 notation: turned back
# into the telegram's number.
def notation_to_byte(digits):
    value = 0
    for d in digits:
        value = value * 4 + int(d) - 1
    return value
seen = set()
with open(heard_out, "w") as out:
    for line in open(states):
        # "<receive time> <retain flag> <topic>": a retained message is one
        # the broker stored before the subscription.
        parts = line.split()
        if len(parts) != 3 or parts[1] != "0" or parts[2].count("/") != 4:
            continue
        hc, _, addr = parts[2].split("/")[3].partition("-")
        if len(hc) != 8 or len(addr) != 4 or not hc.startswith("1213"):
            continue
        number = notation_to_byte(hc[4:]) * 256 + notation_to_byte(addr)
        if number in counters and number not in seen:
            seen.add(number)
            out.write(f"{(float(parts[0]) - linux_time(counters[number])) * 1000:.3f}\n")
# The way from the script's rename to the driver's queuing (1 to 6 ms, as
# measured in the driver's own tests): a check on the clocks' match.
with open(queued_out, "w") as out:
    for line in open(renamed):
        number, at = line.split()
        if int(number) in counters:
            out.write(f"{(linux_time(counters[int(number)]) - float(at)) * 1000:.3f}\n")
PY
percentiles heard.ms "state messages received"
read -r _ offset0 half0 <clock-before.txt
read -r _ offset1 half1 <clock-after.txt
sort -n queued.ms >queued.ms.sorted
echo "  (the simulated driver heard $(grep -c ' heard ' ftd2xx-sim.log) of them; the counter put on Linux's" \
  "clock within $half0 ms before and $half1 ms after, the clocks drifting" \
  "$(awk -v a="$offset0" -v b="$offset1" 'BEGIN { printf "%.3f", (b - a) * 1000 }') ms meanwhile;" \
  "from the configuration's rename to the queuing, p50 $(awk -v n="$(wc -l <queued.ms.sorted)" 'NR == int((n - 1) * 0.5) + 1' queued.ms.sorted) ms)"
echo

echo "== The bridge idle"
pid=$(bridge_pid)
if [ -n "$pid" ]; then
  sleep 2
  c0=$(cpu_ns "$pid") t0=$(date +%s%N)
  sleep 10
  c1=$(cpu_ns "$pid") t1=$(date +%s%N)
  echo "  CPU over $(( (t1 - t0) / 1000000000 )) s connected and idle: $(( (c1 - c0) / 1000000 )) ms" \
    "($(awk -v c=$((c1 - c0)) -v t=$((t1 - t0)) 'BEGIN { printf "%.3f", 100 * c / t }') % of one core)"
  echo "  working set (resident): $(awk '/^VmRSS/ { print $2, $3 }' /proc/"$pid"/status)," \
    "threads: $(ls /proc/"$pid"/task | wc -l) (Wine's own included)"
else
  echo "  the bridge's process was not found"
fi
