#!/usr/bin/env bash
# Benchmark of the service as it runs (prints figures; passes or fails
# nothing): the real ZARVOSRV.exe under Wine's service control manager,
# beside the simulated FTD2XX.dll, finding its transceivers through SetupAPI
# from registry entries (tests/fixtures/usb-devices.reg: two transceivers).
# Five figures, each with its target:
#   1. throughput and latency through the service's pipe against a bare
#      overlapped pipe server, in the same run (pipe-bench.exe): >= 0.8;
#   2. CPU time of the service over 10 idle seconds, two transceivers open:
#      < 1% of one core;
#   3. CPU time while one transceiver holds its gate closed for 2 seconds:
#      < 10% of one core;
#   4. working set after 100,000 requests against after 1,000: within 5%;
#   5. stop time with 64 transceivers open: < 2 s. The 64 are found at start
#      by the service's own SetupAPI walk, from registry entries generated
#      here in the fixture's form;
#   6. latency of one persistent connection to a healthy transceiver while
#      three clients keep the other one's gate (never open) busy, against
#      the same without them: p99 at most twice.
# CPU time is Linux's per-thread accounting of the service's process
# (/proc/PID/task/*/schedstat, in nanoseconds): Wine's GetProcessTimes gives
# nothing for another process. The working set is GetProcessMemoryInfo's
# (Wine reports the process's resident set).
#
#   bash scripts/bench-service.sh [--seconds S] [--rounds R]
#       (pipe-bench's rounds for figure 1; default 0.5 s, 6 rounds)
#
# Runs in a private prefix (build/<preset>/bench-service-wineprefix), removes
# the service and the generated entries again, and ends that prefix's
# wineserver, also on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/wine-preset.sh
prefix=$root/build/$preset/bench-service-wineprefix
work=$root/build/$preset/bench-service-run
bench_args=("$@")
[ ${#bench_args[@]} -gt 0 ] || bench_args=(--seconds 0.5 --rounds 6)

bash scripts/setup.sh >/dev/null
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target ZARVOSRV ftd2xx_sim svcctl service-probe pipe-bench \
  bare-pipe-server pipe-probe >/dev/null

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
zarvo_wine_env
service=DADUDODI
class='{a5dcbf10-6530-11d2-901f-00c04fb951ed}'
extra=62  # beside the fixture's two: 64 transceivers for figure 5

# run OUT PROGRAM ARGS...: a Windows program with its output in a file
# (Wine's background processes inherit the handles of whoever starts them).
run() { local out=$1; shift; wine "$@" >"$out" 2>&1 </dev/null; }
winpath() { echo "Z:$(echo "$1" | sed 's|/|\\|g')"; }
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" "$2" | tr -d '\r'; }

# The generated transceivers' registry entries, added (or taken out with
# "-") in the form of tests/fixtures/usb-devices.reg.
extra_reg() {
  local sign=$1 i serial id iface
  echo "REGEDIT4"
  for i in $(seq 0 $((extra - 1))); do
    serial=$(printf 'EL1%05d' "$i")
    id="USB\\VID_0403&PID_F06F\\$serial"
    iface="HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\$class\\##?#USB#VID_0403&PID_F06F#$serial#$class"
    echo
    echo "[${sign}HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\$id]"
    [ -n "$sign" ] || echo '"ClassGUID"="{36FC9E60-C465-11CF-8056-444553540000}"'
    echo
    echo "[${sign}$iface]"
    if [ -z "$sign" ]; then
      echo "\"DeviceInstance\"=\"${id//\\/\\\\}\""
      echo
      echo "[$iface\\#]"
      echo "\"SymbolicLink\"=\"\\\\\\\\?\\\\USB#VID_0403&PID_F06F#$serial#$class\""
      echo
      echo "[$iface\\#\\Control]"
      echo '"Linked"=dword:00000001'
    fi
  done
}

# The service's Linux process: the ZARVOSRV.exe of this prefix.
service_pid() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = "ZARVOSRV.exe" ] || continue
    tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qx "WINEPREFIX=$prefix" && { basename "$p"; return; }
  done
}
# CPU time of all the process's threads, in nanoseconds.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%.0f\n", s}'; }
now_ns() { date +%s%N; }

# sim_config [SERIAL modem=...]: every transceiver ready, or the one named
# with the given setting. Replaced in one step, as the library expects.
sim_config() {
  {
    local s
    for s in EL000123 EL000777 $(seq -f 'EL1%05g' 0 $((extra - 1))); do
      printf 'device serial=%s' "$s"
      [ "$s" = EL000777 ] && printf ' pid=0xE0E8'
      [ "$s" = "${1:-}" ] && printf ' %s' "$2"
      printf '\n'
    done
    echo "device serial=EL999999"  # the probe's own, for the driver's cost
  } >"$work/ftd2xx-sim.txt.new"
  mv "$work/ftd2xx-sim.txt.new" "$work/ftd2xx-sim.txt"
}

start_service() {
  run start.out net start $service
  run wait.out svcctl.exe wait $service 4 60 || { cat wait.out; exit 1; }
}

verdicts=()
verdict() {  # verdict TEXT MET(0/1)
  local mark="met"
  [ "$2" = 1 ] || mark="NOT met"
  printf '%s: %s\n' "$1" "$mark"
  verdicts+=("$1: $mark")
}

finish() {
  touch "$work/stop" 2>/dev/null || true
  wine net stop $service >/dev/null 2>&1 </dev/null || true
  [ -f "$work/ZARVOSRV.exe" ] && wine "$work/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null || true
  [ -f "$work/remove-extra.reg" ] &&
    wine regedit /S "$(winpath "$work/remove-extra.reg")" >/dev/null 2>&1 </dev/null || true
  "$root/tests/wine/prefix.sh" down "$prefix" >/dev/null
}
trap finish EXIT

# A run that was cut short may have left programs running in the prefix.
"$root/tests/wine/prefix.sh" down "$prefix" >/dev/null
"$root/tests/wine/prefix.sh" up "$prefix" tests/fixtures/usb-devices.reg >/dev/null
rm -rf "$work"
mkdir -p "$work"
cp build/$preset/bin/{ZARVOSRV,svcctl,service-probe,pipe-bench,bare-pipe-server,pipe-probe}.exe \
  build/$preset/bin/FTD2XX.dll "$work/"
cd "$work"
extra_reg "" >add-extra.reg
extra_reg "-" >remove-extra.reg
# A run that was cut short may have left its service and entries behind.
wine net stop $service >/dev/null 2>&1 </dev/null || true
run uninstall.out ./ZARVOSRV.exe -u || true
run regedit.out regedit /S "$(winpath "$work/remove-extra.reg")"
sim_config

echo "ZARVO Remote service benchmark: ZARVOSRV.exe under Wine's service control manager,"
echo "simulated FTD2XX.dll, transceivers listed by SetupAPI. $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)."
echo

run install.out ./ZARVOSRV.exe -i || true  # 1 is its success
grep -q "successfully installed" install.out || { cat install.out; exit 1; }
start_service
pid=$(service_pid)
[ -n "$pid" ] || { echo "the service's process was not found"; exit 1; }
# Each transceiver opens on its own thread: the table's order is the walk's.
run list.out ./ZARVOSRV.exe -l || true
iid_of() { tr -d '\r' <list.out | awk -v s="$1" '$1 == s { print $3 }'; }
first=$(tr -d '\r' <list.out | awk '$3 == "0" { print $1 }')
echo "service running (Linux pid $pid); transceiver 0 is $first"
run usage.out service-probe.exe usage $service
echo "  $(tr -d '\r' <usage.out)"
echo

echo "== Idle: CPU time over 10 seconds, two transceivers open"
sleep 1
c0=$(cpu_ns "$pid") t0=$(now_ns)
sleep 10
c1=$(cpu_ns "$pid") t1=$(now_ns)
idle=$(awk -v c=$((c1 - c0)) -v t=$((t1 - t0)) 'BEGIN {printf "%.3f", 100 * c / t}')
echo "  $(awk -v c=$((c1 - c0)) 'BEGIN {printf "%.1f", c / 1e6}') ms of CPU in $(awk -v t=$((t1 - t0)) 'BEGIN {printf "%.2f", t / 1e9}') s = ${idle}% of one core"
verdict "idle CPU ${idle}% (target < 1%)" "$(awk -v p="$idle" 'BEGIN {print (p < 1) ? 1 : 0}')"
echo

echo "== Closed gate: CPU time while transceiver 0 ($first) holds its gate closed for 2 seconds"
sim_config "$first" modem=0x20
rm -f asked
wine service-probe.exe ask 0 "$(winpath "$work/asked")" >ask.out 2>&1 </dev/null &
asker=$!
for _ in $(seq 500); do [ -f asked ] && break; sleep 0.01; done
sleep 0.1  # the request is at the gate now
c0=$(cpu_ns "$pid") t0=$(now_ns)
sleep 2
c1=$(cpu_ns "$pid") t1=$(now_ns)
sim_config  # the gate opens; the request goes through
wait $asker || true
gate=$(awk -v c=$((c1 - c0)) -v t=$((t1 - t0)) 'BEGIN {printf "%.2f", 100 * c / t}')
echo "  $(awk -v c=$((c1 - c0)) 'BEGIN {printf "%.1f", c / 1e6}') ms of CPU in $(awk -v t=$((t1 - t0)) 'BEGIN {printf "%.2f", t / 1e9}') s = ${gate}% of one core; the request: $(tr -d '\r' <ask.out)"
verdict "CPU with a closed gate ${gate}% (target < 10%)" "$(awk -v p="$gate" 'BEGIN {print (p < 10) ? 1 : 0}')"
echo

echo "== Working set after 100,000 requests against after 1,000 (four clients, transceiver 0)"
run req1.out service-probe.exe requests 1000 4 0
run ws1.out service-probe.exe usage $service
run req2.out service-probe.exe requests 99000 4 0
run ws2.out service-probe.exe usage $service
ws1=$(field ws_kb ws1.out) ws2=$(field ws_kb ws2.out)
echo "  after 1,000:   $(tr -d '\r' <req1.out); $(tr -d '\r' <ws1.out)"
echo "  after 100,000: 99,000 more: $(tr -d '\r' <req2.out); $(tr -d '\r' <ws2.out)"
growth=$(awk -v a="$ws1" -v b="$ws2" 'BEGIN {printf "%+.2f", 100 * (b - a) / a}')
verdict "working set ${ws1} kB -> ${ws2} kB, ${growth}% (target within 5%)" \
  "$(awk -v g="$growth" 'BEGIN {print (g <= 5 && g >= -5) ? 1 : 0}')"
echo

echo "== Throughput and latency: the service's pipe against a bare pipe server, same run"
bare='\\.\pipe\zarvo-bench-bare'
rm -f stop
wine bare-pipe-server.exe "$bare" "$(winpath "$work/stop")" >bare.out 2>&1 </dev/null &
for _ in $(seq 600); do grep -q "bare server ready" bare.out 2>/dev/null && break; sleep 0.05; done
grep -q "bare server ready" bare.out || { echo "bare server did not start:"; cat bare.out; exit 1; }
run bench.out pipe-bench.exe "${bench_args[@]}" --iid 0 '\\.\pipe\doraruzoz' "$bare" || true
echo "Requests for transceiver 0 (each one through the simulated driver):"
tr -d '\r' <bench.out | sed -n '/^mode/,$p'
low=$(tr -d '\r' <bench.out | awk -F'|' '/client/ {split($4, r, " "); if (min == "" || r[1] < min) min = r[1]} END {print min}')
run bench-none.out pipe-bench.exe "${bench_args[@]}" --iid 9 '\\.\pipe\doraruzoz' "$bare" || true
echo "Requests for a transceiver that is not there (no driver call: the pipe server alone):"
tr -d '\r' <bench-none.out | sed -n '/^mode/,$p'
lownone=$(tr -d '\r' <bench-none.out | awk -F'|' '/client/ {split($4, r, " "); if (min == "" || r[1] < min) min = r[1]} END {print min}')
touch stop
echo "Where the difference goes:"
for iid in 0 9; do
  c0=$(cpu_ns "$pid")
  run cpu$iid.out service-probe.exe requests 20000 4 $iid
  c1=$(cpu_ns "$pid")
  echo "  the service's CPU per request for instance $iid: $(awk -v c=$((c1 - c0)) 'BEGIN {printf "%.1f", c / 20000 / 1000}') us ($(tr -d '\r' <cpu$iid.out))"
done
run cost.out service-probe.exe driver-cost EL999999 5000
echo "  the simulated driver's own cost per call, in a process of its own: $(tr -d '\r' <cost.out)"
echo "  (a request through a transceiver makes one modem-status poll and one write)"
verdict "throughput ratio, lowest of the four modes, through transceiver 0: ${low:-?} (target >= 0.8)" \
  "$(awk -v r="${low:-0}" 'BEGIN {print (r >= 0.8) ? 1 : 0}')"
verdict "throughput ratio, lowest of the four modes, no transceiver: ${lownone:-?} (target >= 0.8)" \
  "$(awk -v r="${lownone:-0}" 'BEGIN {print (r >= 0.8) ? 1 : 0}')"
echo

echo "== Latency of a healthy transceiver beside one whose gate never opens"
healthy=$(tr -d '\r' <list.out | awk '$3 == "1" { print $1 }')
run alone.out pipe-probe.exe ask 2000 1
echo "  alone:                        $(tr -d '\r' <alone.out)"
sim_config "$first" modem=0x20
for i in 1 2 3; do
  wine pipe-probe.exe ask 3 0 >load$i.out 2>&1 </dev/null &
done
sleep 1  # the three load clients wait at the closed gate now
run loaded.out pipe-probe.exe ask 2000 1
echo "  with three at the closed gate: $(tr -d '\r' <loaded.out)"
wait
echo "  the load clients: $(tr -d '\r' <load1.out | head -c 60)..."
sim_config
p99() { tr -d '\r' <"$1" | sed -nE 's/.* p99 ([0-9]+) us.*/\1/p'; }
alone99=$(p99 alone.out) loaded99=$(p99 loaded.out)
verdict "p99 latency of $healthy (transceiver 1) with the load ${loaded99:-?} us against ${alone99:-?} us alone (target at most twice)" \
  "$(awk -v a="${alone99:-0}" -v b="${loaded99:-999999999}" 'BEGIN {print (a > 0 && b <= 2 * a) ? 1 : 0}')"
echo

echo "== Stop time with 64 transceivers open"
run stop2.out service-probe.exe stop $service
echo "  for comparison, with two: $(tr -d '\r' <stop2.out)"
run regedit.out regedit /S "$(winpath "$work/add-extra.reg")"
mark=$(stat -c %s ftd2xx-sim.log)
start_service
pid=$(service_pid)
# RUNNING comes before the transceivers' own threads have opened them all.
for _ in $(seq 200); do
  opens=$(tail -c +$((mark + 1)) ftd2xx-sim.log | awk '$2 == "open" && $3 == "0"' | wc -l)
  [ "$opens" -ge 64 ] && break
  sleep 0.05
done
run usage64.out service-probe.exe usage $service
echo "  $opens transceivers opened at start; $(tr -d '\r' <usage64.out)"
run stop64.out service-probe.exe stop $service || { cat stop64.out; exit 1; }
closes=$(tail -c +$((mark + 1)) ftd2xx-sim.log | awk '$2 == "close"' | wc -l)
stopped=$(field stopped_ms stop64.out) exited=$(field exited_ms stop64.out)
echo "  $(tr -d '\r' <stop64.out); $closes transceivers closed"
verdict "stop with $opens transceivers open: ${stopped} ms to SERVICE_STOPPED, ${exited} ms until the process ended (target < 2000 ms)" \
  "$( [ "$opens" -eq 64 ] && [ "$closes" -eq 64 ] && [ "${exited:-99999}" -lt 2000 ] && echo 1 || echo 0)"
echo

echo "== Summary"
printf '  %s\n' "${verdicts[@]}"
