#!/usr/bin/env bash
# Benchmark of the MQTT bridge (prints figures; passes or fails nothing): the
# real ZARVOMQTT.exe and ZARVOSRV.exe under Wine's service control manager,
# the simulated FTD2XX.dll, and mosquitto on 127.0.0.1.
#   1. a command: from a `set` message handed to the broker to its frame in
#      the simulated driver's log, one after another (p50, p99, max; target
#      p99 < 50 ms);
#   2. a telegram heard: from the simulated transceiver hearing it (the
#      rename of its configuration; the driver queues the bytes 1 to 6 ms
#      later, and under load may take two renames together and hear only
#      the second) to the bridge's message at a subscriber: the `event` topic of
#      the switch, published from the `heard` line (ZARVO Remote does not
#      write `state` lines yet; a `state` topic goes out from the state line
#      that follows its heard line in the same way);
#   3. the bridge's idle CPU and working set.
# Times on both sides are Linux's CLOCK_REALTIME: the subscriber's own
# receive stamps (mosquitto_sub %U) and the script's.
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
cmake --build --preset $preset --target ZARVOSRV ZARVOMQTT ftd2xx_sim svcctl >/dev/null

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
rm -rf "$work"
mkdir -p "$work"
cp build/$preset/bin/{ZARVOSRV,ZARVOMQTT,svcctl}.exe build/$preset/bin/FTD2XX.dll "$work/"
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

echo "== A telegram heard to its message at a subscriber ($count telegrams)"
# Each a switch telegram with a house code of its own (12 <hi> <lo> in
# bytes), so that each message is matched to its hearing; the time is taken
# just before the configuration's rename that makes the transceiver hear it.
mosquitto_sub -h 127.0.0.1 -p "$broker_port" -u "$broker_user" -P "$broker_password" -q 1 \
  -t 'zarvo/bench/fs20/+/event' -F '%U %t' >events.txt 2>&1 &
sub_pid=$!
sleep 0.5
python3 - "$count" <<'PY' >heard.ms
import os, sys, time
count = int(sys.argv[1])
def telegram(i):
    hi, lo = i >> 8, i & 255
    total = (0x01 + 0x01 + 0xA0 + 0x01 + 0x12 + hi + lo + 0x00 + 0x11) & 255
    return "810B04%02X0101A00112%02X%02X0011" % (total, hi, lo)
heard = {}
for i in range(1, count + 1):
    with open("ftd2xx-sim.txt.new", "w") as f:
        f.write(f"device serial=EL000123 hearseq={i} hear={telegram(i)}\n")
        f.write("device serial=EL000777 pid=0xE0E8 hearseq=0\n")
    heard[i] = time.time()
    os.replace("ftd2xx-sim.txt.new", "ftd2xx-sim.txt")
    time.sleep(0.02)
time.sleep(2)
# The event topic names the house code and address in FS20 notation: turned
# back into the telegram's number.
def notation_to_byte(digits):
    value = 0
    for d in digits:
        value = value * 4 + int(d) - 1
    return value
for line in open("events.txt"):
    parts = line.split()
    if len(parts) != 2:
        continue
    hc, addr = parts[1].split("/")[3].split("-")
    number = notation_to_byte(hc[4:]) * 256 + notation_to_byte(addr)
    if number in heard:
        print(f"{(float(parts[0]) - heard[number]) * 1000:.3f}")
PY
kill "$sub_pid" 2>/dev/null || true
sub_pid=
percentiles heard.ms "events received"
echo "  (the simulated driver heard $(grep -c ' heard ' ftd2xx-sim.log) of them)"
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
