#!/usr/bin/env bash
# The main job: on this Linux machine, run ZARVO Remote as a Windows
# administrator would, under Wine, with one simulated transceiver attached.
# It installs what is missing, builds, installs and starts the service,
# switches an FS20 device with ZARVOCTL, shows what the transceiver received,
# has the transceiver hear a remote pressed, shows the state the service
# assumes for the device before and after (ZARVOCTL -state) and what a
# listener heard, then stops and removes the service. When mosquitto is
# installed (setup.sh installs it), the MQTT bridge is shown too, against a
# broker of the demo's own on 127.0.0.1: a device's discovery config, a
# command published on its `set` topic reaching the transceiver, and a
# telegram the transceiver hears arriving as messages.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
source scripts/wine-preset.sh
echo "== Building the Windows programs (MinGW-w64, $bits-bit)"
cmake --preset $preset >/dev/null
cmake --build --preset $preset >/dev/null

demo=$root/build/demo
prefix=$demo/wineprefix-$preset
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
zarvo_wine_env
# leave_clean: stops and removes the service if a run left it behind, then
# ends this prefix's wineserver (and only that one).
leave_clean() {
  kill "${sub_pid:-}" 2>/dev/null || true
  if [ -f "$demo/ZARVO/ZARVOMQTT.exe" ]; then
    (cd "$demo/ZARVO" && wine net stop ZARVOMQTT; wine ./ZARVOMQTT.exe -u) >/dev/null 2>&1 </dev/null || true
  fi
  if declare -F broker_stop >/dev/null; then broker_stop; fi
  if [ -f "$demo/ZARVO/ZARVOSRV.exe" ]; then
    (cd "$demo/ZARVO" && wine net stop DADUDODI && wine ./ZARVOSRV.exe -u) >/dev/null 2>&1 </dev/null || true
  fi
  wineserver -k >/dev/null 2>&1 || true
}
trap leave_clean EXIT

echo "== Preparing a private Windows machine (Wine prefix) with one transceiver plugged in"
tests/wine/prefix.sh up "$prefix" scripts/demo/one-transceiver.reg >/dev/null
leave_clean
tests/wine/prefix.sh up "$prefix" >/dev/null
rm -rf "$demo/ZARVO"
# What an earlier run of the demo left: this run starts knowing no device.
rm -rf "$prefix/drive_c/ProgramData/ZARVO Remote"
mkdir -p "$demo/ZARVO"
cp build/$preset/bin/ZARVOSRV.exe build/$preset/bin/ZARVOCTL.exe build/$preset/bin/ZARVOMQTT.exe "$demo/ZARVO/"
# The transceiver's driver library is simulated: our stand-in FTD2XX.dll sits
# beside the service and logs every call the service makes.
cp build/$preset/bin/FTD2XX.dll "$demo/ZARVO/"
# hearseq: the transceiver can be made to hear telegrams later (a remote,
# and the bridge's part).
echo "device serial=EL000123 manufacturer=ZARVO description=FS20-USB hearseq=0" >"$demo/ZARVO/ftd2xx-sim.txt"
cd "$demo/ZARVO"

# run TITLE PROGRAM ARGS...: shows the command and what it printed.
run() {
  local title=$1; shift
  echo
  echo "== $title"
  echo "C:\\ZARVO> $(basename "$1") ${*:2}"
  local rc=0
  wine "$@" >out.txt 2>&1 </dev/null || rc=$?
  tr -d '\r' <out.txt | sed 's/^/    /'
  echo "    (exit code $rc)"
}

run "Install the service (from an elevated prompt)" ./ZARVOSRV.exe -i
# On Windows `net start "ZARVO Remote"` works too; Wine's net.exe takes only
# the service name.
run "Start it" net start DADUDODI
run "Ask the service control manager about it" sc query DADUDODI
echo
echo "== What the service did with the transceiver when it started (driver log)"
# The transceiver is opened on a thread of its own, after the start was
# reported: wait for its three start-up frames.
for _ in $(seq 100); do
  [ "$(grep -c ' write ' ftd2xx-sim.log 2>/dev/null)" -ge 3 ] && break
  sleep 0.1
done
touch ftd2xx-sim.log
tr -d '\r' <ftd2xx-sim.log | sed 's/^/    /'
: >ftd2xx-sim.log

# A listener for the rest of the demo: everything the service hears and does.
wine ./ZARVOCTL.exe . -listen >listen.txt 2>/dev/null </dev/null &
listener=$!
run "The state the service assumes for each device, before (none known yet)" \
  ./ZARVOCTL.exe . -state

run "Switch FS20 device: house code 1234 1111, address 1111, command 17 (on)" \
  ./ZARVOCTL.exe . 0 1234 1111 1111 17
echo
echo "== What the transceiver received"
tr -d '\r' <ftd2xx-sim.log | grep ' write ' | sed 's/^/    /'
echo "    81 = start, 09 = 9 bytes follow, 04 = send command, 30 = checksum,"
echo "    02 01 01 = FS20 send, 1B 00 = house code 1234 1111, 00 = address 1111, 11 = command 17"
run "The state now: on (level 16 of 16: no level was known before), learned from the command sent" ./ZARVOCTL.exe . -state

echo
echo "== Someone presses \"off\" on a remote for the same device; the transceiver hears it"
# The telegram as the transceiver forwards it: house code 1B 00, address 00,
# command 00 (off), with its checksum BE.
echo "device serial=EL000123 manufacturer=ZARVO description=FS20-USB hearseq=1 hear=810B04BE0101A0011B00000000" >ftd2xx-sim.txt.new
mv ftd2xx-sim.txt.new ftd2xx-sim.txt
for _ in $(seq 50); do grep -q ' heard ' listen.txt 2>/dev/null && break; sleep 0.1; done
sleep 0.2
run "The state after: off, learned from the telegram heard, the level before it kept" \
  ./ZARVOCTL.exe . -state
echo
echo "== What a listener (ZARVOCTL . -listen) printed meanwhile"
kill "$listener" 2>/dev/null || true
wait "$listener" 2>/dev/null || true
tr -d '\r' <listen.txt | sed 's/^/    /'

run "Ask for a second transceiver that is not attached" ./ZARVOCTL.exe . 1 1234 1111 1111 17

if command -v mosquitto >/dev/null && command -v mosquitto_sub >/dev/null; then
  source "$root/tests/wine/broker.sh"
  echo
  echo "== The MQTT bridge: a broker on 127.0.0.1 (mosquitto, user $broker_user, no anonymous access)"
  broker_start "$demo/broker" >/dev/null
  echo "    listening on port $broker_port"
  run "Install the bridge" ./ZARVOMQTT.exe -i
  run "Point it at the broker (the password is not echoed)" ./ZARVOMQTT.exe -config \
    "broker=127.0.0.1:$broker_port" user=$broker_user "password=$broker_password" node=demo
  # What another client (Home Assistant, say) sees: everything of ours.
  : >"$demo/mqtt.log"
  sub "$demo/mqtt.log" 'zarvo/demo/#' 'homeassistant/#'
  run "Start the bridge" net start ZARVOMQTT
  for _ in $(seq 100); do grep -q "zarvo/demo/status online" "$demo/mqtt.log" && break; sleep 0.1; done
  sleep 1
  echo
  echo "== What a subscriber sees once the bridge is up (retain flag, topic, payload; configs cut)"
  tr -d '\r' <"$demo/mqtt.log" | cut -c1-150 | sed 's/^/    /'
  : >ftd2xx-sim.log
  mark=$(stat -c %s "$demo/mqtt.log")
  echo
  echo "== Publish a command on the device's set topic, as Home Assistant does"
  echo "    \$ mosquitto_pub -t zarvo/demo/fs20/12341111-1111/set -m '{\"state\":\"ON\",\"brightness\":8}'"
  pub -q 1 -t zarvo/demo/fs20/12341111-1111/set -m '{"state":"ON","brightness":8}'
  for _ in $(seq 50); do grep -q ' write ' ftd2xx-sim.log 2>/dev/null && break; sleep 0.1; done
  sleep 1
  echo "    the transceiver received:"
  tr -d '\r' <ftd2xx-sim.log | grep ' write ' | sed 's/^/      /'
  echo "      (command 08: dim to 8 of 16, half brightness)"
  echo "    and the subscriber saw:"
  tail -c +$((mark + 1)) "$demo/mqtt.log" | tr -d '\r' | grep -v '^[01] homeassistant/' | cut -c1-150 | sed 's/^/      /'
  echo
  echo "== The device's discovery config, retained for Home Assistant"
  # Published when the bridge first learned of the device: at its start,
  # from the state line of the service's greeting.
  tr -d '\r' <"$demo/mqtt.log" | grep -m1 '^1 homeassistant/light/' |
    cut -d' ' -f2- | { read -r topic payload; echo "    $topic"; python3 -m json.tool <<<"$payload" | sed 's/^/      /'; }
  mark=$(stat -c %s "$demo/mqtt.log")
  echo
  echo "== The transceiver hears a switch (house code 4142 1132, address 1111, on for 60 s)"
  echo "device serial=EL000123 manufacturer=ZARVO description=FS20-USB hearseq=2 hear=810C04020101A001CD0900003A4F" \
    >ftd2xx-sim.txt.new
  mv ftd2xx-sim.txt.new ftd2xx-sim.txt
  for _ in $(seq 50); do tail -c +$((mark + 1)) "$demo/mqtt.log" | grep -q '/event ' && break; sleep 0.1; done
  sleep 1
  echo "    the subscriber saw (the state topic comes from ZARVO Remote's state lines):"
  tail -c +$((mark + 1)) "$demo/mqtt.log" | tr -d '\r' | grep -v '^[01] homeassistant/' | cut -c1-150 | sed 's/^/      /'
  run "Stop the bridge (it says offline first)" net stop ZARVOMQTT
  run "Remove it (its settings stay in the registry)" ./ZARVOMQTT.exe -u
  kill "$sub_pid" 2>/dev/null || true
  sub_pid=
  broker_stop
else
  echo
  echo "(mosquitto is not installed: the MQTT bridge's part is left out)"
fi

run "Stop the service" net stop DADUDODI
echo
echo "== The state is kept across restarts in C:\\ProgramData\\ZARVO Remote\\state.txt"
for _ in $(seq 50); do grep -q 'by=heard' "$prefix/drive_c/ProgramData/ZARVO Remote/state.txt" 2>/dev/null && break; sleep 0.1; done
tr -d '\r' <"$prefix/drive_c/ProgramData/ZARVO Remote/state.txt" | sed 's/^/    /'
run "Remove the service" ./ZARVOSRV.exe -u
echo
echo "Done. The Wine prefix is in build/demo; its wineserver has been ended."
