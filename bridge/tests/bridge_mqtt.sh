#!/usr/bin/env bash
# The MQTT bridge against a real broker, under Wine's service manager, beside
# ZARVO Remote and the simulated transceivers: installing and configuring it
# (-i, -config, the service SID), its topics coming online, the transceivers'
# discovery configs arriving with ZARVO Remote's greeting (its ready line), a
# light's discovery config, commands on `set` reaching the transceiver as
# frames, telegrams the transceiver hears (a switch's event and state, a
# sensor's readings, a sensor named in devices.ini that keeps its entities
# when it is heard with a new id), Home Assistant's birth message, a broker
# that is killed and restarted, ZARVO Remote stopped and started, an events
# pipe not owned by LocalSystem (served by pipe-probe feed-events), retained
# and garbage commands, a wrong password, the stop, and -forget. The broker
# is mosquitto on 127.0.0.1 with a password file and no anonymous access;
# mosquitto_sub and mosquitto_pub are its other clients.
source "$ZARVO_SOURCE/tests/wine/lib.sh"
source "$ZARVO_SOURCE/tests/wine/broker.sh"

dir=$(scenario_dir bridge_mqtt ZARVOMQTT.exe svcctl.exe pipe-probe.exe)
cd "$dir" || exit 1
prefix_sh=$ZARVO_SOURCE/tests/wine/prefix.sh

# The service manager's standard error carries the event log channel: the
# events the bridge writes are read from there.
"$prefix_sh" down "$WINEPREFIX" >/dev/null
# A persistent server again: without one, Wine shuts its services down as
# soon as no program of ours runs between two steps.
wineserver -p
WINEDEBUG=-all,+eventlog wine cmd /c exit 2>events.log >/dev/null </dev/null
inserts() { tr -d '\r' <events.log | sed -n 's/.*:ReportEventW L"\(.*\)"$/\1/p'; }
# event_said TEXT: an event's insert holds TEXT.
event_said() { inserts | grep -qF -- "$1"; }

ctl() { win "$dir/ctl.out" "$dir/svcctl.exe" "$@"; tr -d '\r' <"$dir/ctl.out"; }
mqtt() { win "$dir/mqtt.out" "$dir/ZARVOMQTT.exe" "$@"; }
# after MARK FILE: FILE's lines after the first MARK bytes.
after() { tail -c +$(($1 + 1)) "$2" | tr -d '\r'; }
size() { stat -c %s "$1" 2>/dev/null || echo 0; }
# wait_after MARK FILE PATTERN [TENTHS]
wait_after() {
  local i
  for i in $(seq "${4:-100}"); do
    after "$1" "$2" | grep -Eq -- "$3" && return 0
    sleep 0.1
  done
  return 1
}

base=zarvo/test
switch=810C04020101A001CD0900003A4F  # house code 4142 1132, address 1111, on-last-for-timer 60 s
seq=0
sim() {
  local extra=${1:-}
  sim_config "$dir" "device serial=EL000123 hearseq=$seq$extra" "device serial=EL000777 pid=0xE0E8 hearseq=$seq"
}
hear() { seq=$((seq + 1)); sim " hear=$1"; }
# frame PAYLOAD...: a telegram as the transceiver forwards it, 81 LL 04 CS
# and the payload bytes (hex), CS their sum.
frame() {
  local b sum=0
  for b in "$@"; do sum=$(( (sum + 0x$b) & 255 )); done
  printf '81%02X04%02X' $(( $# + 2 )) "$sum"
  printf '%s' "$@"
}

cleanup() {
  kill "${sub_pid:-}" 2>/dev/null
  touch "$dir/stop"
  wine net stop ZARVOMQTT >/dev/null 2>&1 </dev/null
  wine net stop DADUDODI >/dev/null 2>&1 </dev/null
  broker_stop
}
trap cleanup EXIT

broker_start "$dir/broker" || exit 1
echo "broker on 127.0.0.1:$broker_port"
sim
win list.out ./ZARVOSRV.exe -l
first=$(tr -d '\r' <list.out | awk '$3 == "0" { print $1 }')
# ZARVO Remote is installed now and started once the bridge is online.
win install.out ./ZARVOSRV.exe -i

echo "--- install and configure"
mqtt -i; rc=$?
cat mqtt.out
check "-i exits 0 ($rc)" [ "$rc" -eq 0 ]
config=$(ctl config ZARVOMQTT)
echo "$config"
check "runs as LocalService" grep -qi "account=NT AUTHORITY\\\\LocalService" <<<"$config"
check "started by hand while no broker is set (3)" grep -q "start=3 " <<<"$config"
mqtt -config broker=127.0.0.1:$broker_port user=zarvo "password=$broker_password" node=test; rc=$?
cat mqtt.out
check "-config exits 0 ($rc)" [ "$rc" -eq 0 ]
check "and never echoes the password" bash -c "! grep -qF 's3cret' mqtt.out"
mqtt -config bogus=1; rc=$?
check "an unknown key is refused ($rc)" [ "$rc" -eq 1 ]
mqtt -config node=Not_Valid; rc=$?
check "a bad node name is refused ($rc)" bash -c "[ $rc -eq 1 ] && grep -q 'Nothing was changed' mqtt.out"
mqtt -config; rc=$?
cat mqtt.out
check "-config prints the settings ($rc)" bash -c "[ $rc -eq 0 ] && grep -q '127.0.0.1:$broker_port' mqtt.out"
check "and the service SID" grep -Eq 'S-1-5-80(-[0-9]+){5}' mqtt.out
check "but not the password" bash -c "! grep -qF 's3cret' mqtt.out && grep -q '(set)' mqtt.out"
sid=$(grep -Eo 'S-1-5-80(-[0-9]+){5}' mqtt.out)
key_sddl=$(ctl key-sddl 'SOFTWARE\ZARVO Remote\MQTT')
echo "the settings key: $key_sddl"
check "the settings key: only SYSTEM, Administrators and the bridge's SID, nothing inherited" \
  bash -c "[[ '$key_sddl' =~ ^D:P ]] && grep -q ';;;SY)' <<<'$key_sddl' && grep -q ';;;BA)' <<<'$key_sddl' &&
           grep -q ';;;$sid)' <<<'$key_sddl' && [ \$(grep -o '(A;' <<<'$key_sddl' | wc -l) -eq 3 ]"
# A test shortens the minute the bridge waits after a refusal.
wine reg add 'HKLM\SOFTWARE\ZARVO Remote\MQTT' /v RefusedRetryMs /t REG_DWORD /d 1500 /f /reg:64 >/dev/null 2>&1 </dev/null

# Where devices.ini goes; the bridge watches the folder from its start.
ini_dir="$WINEPREFIX/drive_c/ProgramData/ZARVO Remote"
mkdir -p "$ini_dir"
# write_ini LINES...: replaces devices.ini in one step, as an editor saves.
write_ini() { printf '%s\r\n' "$@" >"$ini_dir/devices.ini.new" && mv "$ini_dir/devices.ini.new" "$ini_dir/devices.ini"; }

sub all.log "$base/#" 'homeassistant/#'
wait_for "$broker_dir/mosquitto.log" "New client connected .* as auto" 50
began=$(now_ms)
wine net start ZARVOMQTT >net-start.out 2>&1 </dev/null
# Generous: a loaded machine starts a Wine process slowly.
status=$(ctl wait ZARVOMQTT 4 60)
check "the bridge runs" grep -q "^state=4" <<<"$status"
if ! grep -q "^state=4" <<<"$status"; then
  # Everything after depends on it: say what there is and stop here.
  echo "$status"; tr -d '\r' <net-start.out; inserts | tail -n 5
  finish
fi

echo "--- online, before ZARVO Remote runs"
check "status online, retained" wait_for all.log "^1 $base/status online$" 100
echo "online $(( $(now_ms) - began )) ms after net start"
check "service offline, retained" wait_for all.log "^1 $base/service offline$" 100
check "connected as client zarvo-test" has "$broker_dir/mosquitto.log" "as zarvo-test "
check "the bridge's own discovery config" wait_for all.log "^1 homeassistant/binary_sensor/test_bridge[^ ]*/config \{" 100
check "no transceiver's config yet" bash -c "! grep -q '^1 homeassistant/binary_sensor/test_transceiver_' all.log"

echo "--- ZARVO Remote starts: its greeting"
# The bridge is connected to the broker before the greeting comes, so the
# transceivers' discovery configs can only go out at the greeting's ready
# line (a greeting's presents wait for it), not at a connect.
mark=$(size all.log)
wine net start DADUDODI >/dev/null 2>&1 </dev/null
ctl wait DADUDODI 4 20 >/dev/null
check "service online, retained" wait_after "$mark" all.log "^1 $base/service online$" 150
check "transceiver $first present with its instance number" \
  wait_after "$mark" all.log "^1 $base/transceiver/$first/state \{\"present\":true,\"instance\":0\}$"
check "the greeting's ready line" wait_after "$mark" all.log "^0 $base/line .* - - ready$"
check "transceiver $first's discovery config with it" \
  wait_after "$mark" all.log "^1 homeassistant/binary_sensor/test_transceiver_$first/config \{" 50
check "on the bridge's first connection to the broker" [ "$(grep -c "as zarvo-test " "$broker_dir/mosquitto.log")" -eq 1 ]

echo "--- a command on set"
frame_mark=$(size ftd2xx-sim.log)
mark=$(size all.log)
began=$(now_ms)
pub -q 1 -t "$base/fs20/12341111-1111/set" -m '{"state":"ON"}'
check "the frame reaches transceiver 0: house code 1B 00, address 00, command 11" \
  wait_after "$frame_mark" ftd2xx-sim.log "^$first write 0 81 09 04 [0-9A-F]{2} 02 01 01 1B 00 00 11$"
echo "frame written $(( $(now_ms) - began )) ms after the publish"
check "the result is the service's reply" wait_after "$mark" all.log "^0 $base/fs20/12341111-1111/result OK$"
check "the sent line goes out on line" wait_after "$mark" all.log "^0 $base/line .* sent hc=12341111 addr=1111 cmd=11 name=on "
light=$(after "$mark" all.log | grep -m1 "^1 homeassistant/light/test_fs20_12341111_1111[^ ]*/config " | cut -d' ' -f3-)
echo "light config: $light"
jq_has() { python3 -c "import json,sys; d=json.loads(sys.argv[1]); sys.exit(0 if eval(sys.argv[2]) else 1)" "$light" "$1"; }
check "a light's discovery config, retained" [ -n "$light" ]
check "with its unique_id" jq_has "d['unique_id'].startswith('zarvo_')"
check "a device linked to the bridge" jq_has "'identifiers' in d['device'] and 'via_device' in d['device']"
check "availability of status and service, all" \
  jq_has "d['availability_mode'] == 'all' and [a['topic'] for a in d['availability']] == ['$base/status', '$base/service']"
check "command and state topics" \
  jq_has "d['command_topic'] == '$base/fs20/12341111-1111/set' and d['state_topic'] == '$base/fs20/12341111-1111/state'"
check "brightness scale 16 with the JSON schema" jq_has "d['schema'] == 'json' and d['brightness_scale'] == 16"
frame_mark=$(size ftd2xx-sim.log)
pub -q 1 -t "$base/fs20/12341111-1111/set" -m '{"state":"ON","brightness":8}'
check "brightness 8 writes command 08" wait_after "$frame_mark" ftd2xx-sim.log "^$first write 0 81 09 04 [0-9A-F]{2} 02 01 01 1B 00 00 08$"

echo "--- garbage and retained commands send nothing"
mark=$(size all.log)
frame_mark=$(size ftd2xx-sim.log)
pub -q 1 -t "$base/fs20/12341111-1111/set" -m 'blink twice'
check "garbage gets a result saying why" wait_after "$mark" all.log "^0 $base/fs20/12341111-1111/result .*[Nn]othing was sent"
pub -q 1 -t "$base/fs20/12341111-1112/set" -m "$(head -c 300 /dev/zero | tr '\0' x)"
check "so does an oversized one" wait_after "$mark" all.log "^0 $base/fs20/12341111-1112/result .*[Nn]othing was sent"
check "the first refusal is a warning event" event_said "fs20/12341111-1111/set was refused"
check "and no frame went out for either" bash -c "! tail -c +$((frame_mark + 1)) ftd2xx-sim.log | grep -q ' write '"

echo "--- a heard telegram"
mark=$(size all.log)
hear "$switch"
check "its event" wait_after "$mark" all.log "^0 $base/fs20/41421132-1111/event \{\"event_type\":\"on-last-for-timer\"\}$"
check "and its line" wait_after "$mark" all.log "^0 $base/line .* heard kind=fs20 hc=41421132 addr=1111 cmd=3A "
check "ZARVO Remote's state line for it" \
  wait_after "$mark" all.log "^0 $base/line .* - - state kind=fs20 hc=41421132 addr=1111 level=16 .*by=heard via=EL000123 "
check "the switch's state: on at 16 for the timer, heard" \
  wait_after "$mark" all.log "^1 $base/fs20/41421132-1111/state \{\"state\":\"ON\",\"brightness\":16,\"level\":16,.*\"by\":\"heard\""

echo "--- Home Assistant comes online"
mark=$(size all.log)
began=$(now_ms)
pub -t homeassistant/status -m online
check "the discovery comes again within 6 s" wait_after "$mark" all.log "^1 homeassistant/light/test_fs20_12341111_1111[^ ]*/config " 60
echo "discovery again $(( $(now_ms) - began )) ms after Home Assistant's online"

echo "--- the broker killed and restarted"
kill "$sub_pid" 2>/dev/null
broker_stop
sleep 1
broker_restart || exit 1
began=$(now_ms)
mark=$(size all.log)
sub all.log "$base/#" 'homeassistant/#'
check "status online again within 10 s" wait_after "$mark" all.log "^1 $base/status online$" 100
check "the discovery again" wait_after "$mark" all.log "^1 homeassistant/light/test_fs20_12341111_1111[^ ]*/config " 20
check "the transceivers' states again" wait_after "$mark" all.log "^1 $base/transceiver/$first/state " 20
check "and their discovery configs" wait_after "$mark" all.log "^1 homeassistant/binary_sensor/test_transceiver_$first/config \{" 20
echo "back $(( $(now_ms) - began )) ms after the broker's restart"
frame_mark=$(size ftd2xx-sim.log)
pub -q 1 -t "$base/fs20/12341111-1111/set" -m OFF
check "and commands work again" wait_after "$frame_mark" ftd2xx-sim.log "^$first write 0 81 09 04 [0-9A-F]{2} 02 01 01 1B 00 00 00$"

echo "--- ZARVO Remote stopped and started"
mark=$(size all.log)
began=$(now_ms)
wine net stop DADUDODI >/dev/null 2>&1 </dev/null
check "service offline within 5 s" wait_after "$mark" all.log "^1 $base/service offline$" 50
echo "service offline $(( $(now_ms) - began )) ms after net stop"
check "the transceivers not present" wait_after "$mark" all.log "^1 $base/transceiver/$first/state \{\"present\":false"
pub -q 1 -t "$base/fs20/12341111-1111/set" -m ON
check "a command meanwhile is answered that nothing was sent" \
  wait_after "$mark" all.log "^0 $base/fs20/12341111-1111/result ZARVO Remote is not connected"
check "the loss is an event" event_said "the service ended the connection"
mark=$(size all.log)
wine net start DADUDODI >/dev/null 2>&1 </dev/null
check "service online again" wait_after "$mark" all.log "^1 $base/service online$" 100
check "and the states again" wait_after "$mark" all.log "^1 $base/transceiver/$first/state \{\"present\":true" 50

echo "--- a pipe not owned by LocalSystem is refused"
# ZARVO Remote stopped, pipe-probe serves its events pipe from a file with
# Wine's default security: an impostor's greeting.
mark=$(size all.log)
wine net stop DADUDODI >/dev/null 2>&1 </dev/null
ctl wait DADUDODI 1 30 >/dev/null
check "service offline" wait_after "$mark" all.log "^1 $base/service offline$" 50
sleep 2
mark=$(size all.log)
feed=$dir/feed.txt
stamp=2026-12-08T10:15:00
printf '%s\r\n' "$stamp.000Z - - format id=zarvo-events version=1" "$stamp.000Z 0 EL000123 present" \
  "$stamp.010Z - - ready" >"$feed"
rm -f stop
wine pipe-probe.exe feed-events "$(winpath "$feed")" "$(winpath "$dir/stop")" impostor >impostor.out 2>&1 </dev/null &
feeder=$!
check "the refusal is an event" wait_for events.log 'ReportEventW L".*pipe.*doraruzoz-events"$' 100
sleep 1
check "and the service stays offline" bash -c "! tail -c +$((mark + 1)) all.log | grep -q '^1 $base/service online'"
touch stop
wait "$feeder"
rm -f stop
mark=$(size all.log)
open_mark=$(size ftd2xx-sim.log)
wine net start DADUDODI >/dev/null 2>&1 </dev/null
check "ZARVO Remote itself again" wait_after "$mark" all.log "^1 $base/service online$" 100
# The service runs before its transceivers are open; a telegram given to a
# transceiver before its open is never heard.
check "with EL000123 open" wait_after "$open_mark" ftd2xx-sim.log "^EL000123 open 0$" 100

echo "--- a sensor heard"
# 21.2 degrees C and 33.0 %: payload 05 10 A0 01 47 3A 00 00 00 12 02 33,
# temperature and humidity in decimal digits, id 473A.
mark=$(size all.log)
hear "$(frame 05 10 A0 01 47 3A 00 00 00 12 02 33)"
check "its heard line" wait_after "$mark" all.log "^0 $base/line .* heard kind=hms id=473A sensor=temp-hum type=0 battery=ok .*temp=21.2 hum=33.0 "
check "the sensor's 21.2 degrees C and 33.0 %" \
  wait_after "$mark" all.log "^1 $base/sensor/473A-temp-hum/state \{.*\"temp\":21.2,\"hum\":33.0,"
check "the sensor's entities, by its radio id" \
  wait_after "$mark" all.log "^1 homeassistant/sensor/test_sensor_temphum_id_473A_temperature/config \{"
sensor_config() { after "$mark" all.log | grep "^1 homeassistant/sensor/test_sensor_temphum_name_Wohnzimmer_temperature/config {" | tail -1 | cut -d' ' -f3-; }

echo "--- a sensor named in devices.ini keeps its entities when it is heard with a new id"
mark=$(size all.log)
write_ini "# Notepad's UTF-8" "[sensor temp-hum Wohnzimmer]" "id = 473A"
check "its entities by name" \
  wait_after "$mark" all.log "^1 homeassistant/sensor/test_sensor_temphum_name_Wohnzimmer_temperature/config \{" 50
check "the ones by id cleared" \
  wait_after "$mark" all.log "^1 homeassistant/sensor/test_sensor_temphum_id_473A_temperature/config ?$" 20
named=$(sensor_config)
echo "named: $named"
json() { python3 -c "import json,sys; d=json.loads(sys.argv[1]); print(d$2)" "$1"; }
unique=$(json "$named" "['unique_id']")
check "reading the sensor's state" [ "$(json "$named" "['state_topic']")" = "$base/sensor/473A-temp-hum/state" ]
# New batteries: the sensor is heard with its new id 5B01 (20.5 degrees C,
# 40.0 %, V1's new-battery flag 0x40) and shows up as a new sensor, until
# the new id is put into its section.
mark=$(size all.log)
hear "$(frame 05 10 A0 01 5B 01 00 00 40 05 02 40)"
check "the new id's state" \
  wait_after "$mark" all.log "^1 $base/sensor/5B01-temp-hum/state \{.*\"temp\":20.5,\"hum\":40.0,\"battery\":\"new\"" 50
check "as a new sensor, by its id" \
  wait_after "$mark" all.log "^1 homeassistant/sensor/test_sensor_temphum_id_5B01_temperature/config \{" 20
mark=$(size all.log)
write_ini "[sensor temp-hum Wohnzimmer]" "id = 5B01"
check "the same entities, now reading the new id" \
  wait_after "$mark" all.log "^1 homeassistant/sensor/test_sensor_temphum_name_Wohnzimmer_temperature/config \{.*5B01-temp-hum/state" 50
check "the old id's retained state cleared" wait_after "$mark" all.log "^1 $base/sensor/473A-temp-hum/state ?$" 20
check "the new id's own entities cleared" \
  wait_after "$mark" all.log "^1 homeassistant/sensor/test_sensor_temphum_id_5B01_temperature/config ?$" 20
renamed=$(sensor_config)
check "with the same unique_id ($unique)" [ "$(json "$renamed" "['unique_id']")" = "$unique" ]
kept=$(retained 'homeassistant/+/+/config' | grep -c "test_sensor_temphum_id_")
check "no entities by id left on the broker ($kept)" [ "$kept" -eq 0 ]
write_ini "# nothing named"

echo "--- a retained command is never acted on"
began=$(now_ms)
wine net stop ZARVOMQTT >/dev/null 2>&1 </dev/null
ctl wait ZARVOMQTT 1 20 >/dev/null
took=$(( $(now_ms) - began ))
echo "the bridge stopped $took ms after net stop"
check "within 5 s" [ "$took" -le 5000 ]
check "its status offline, retained" wait_for all.log "^1 $base/status offline$"
# The broker logs how the connection ended once it has read that far, which
# may be a moment after the subscriber got the status: "disconnected" after
# a DISCONNECT, "closed its connection" or a socket error without one (the
# will then says offline).
ended='Client zarvo-test (disconnected\.|closed its connection)|Socket error on client zarvo-test'
wait_for "$broker_dir/mosquitto.log" "$ended" 50
grep -E "$ended" "$broker_dir/mosquitto.log" | tail -n 1
check "said with its goodbye, not by the will" \
  bash -c "grep -E '$ended' '$broker_dir/mosquitto.log' | tail -n 1 | grep -qF 'Client zarvo-test disconnected.'"
pub -q 1 -r -t "$base/fs20/12341111-1111/set" -m ON
frame_mark=$(size ftd2xx-sim.log)
mark=$(size all.log)
wine net start ZARVOMQTT >/dev/null 2>&1 </dev/null
check "the bridge is back" wait_after "$mark" all.log "^1 $base/status online$"
sleep 2
check "and sent nothing for the stored command" bash -c "! tail -c +$((frame_mark + 1)) ftd2xx-sim.log | grep -q write"
pub -q 1 -r -t "$base/fs20/12341111-1111/set" -n

echo "--- a wrong password"
mark=$(size all.log)
log_mark=$(size "$broker_dir/mosquitto.log")
mqtt -config password=wrong; rc=$?
check "-config tells the running bridge" has mqtt.out "The running bridge was told"
check "the refusal is an event" wait_for events.log "not authori[sz]ed|bad user name or password" 100
sleep 4
attempts=$(after "$log_mark" "$broker_dir/mosquitto.log" | grep -c "disconnected, not authorised")
echo "$attempts connection attempts in 4 s after the refusal"
check "it retries" [ "$attempts" -ge 2 ]
check "and keeps running" grep -q "^state=4" <(ctl query ZARVOMQTT)
mqtt -config "password=$broker_password"
check "the right password brings it back" wait_after "$mark" all.log "^1 $base/status online$" 100

echo "--- -forget"
wine net stop ZARVOMQTT >/dev/null 2>&1 </dev/null
ctl wait ZARVOMQTT 1 20 >/dev/null
before=$(retained "$base/#" 'homeassistant/+/+/config' | grep -c "^$base/\|test_")
echo "$before retained topics of ours before -forget"
mqtt -forget; rc=$?
cat mqtt.out
check "-forget exits 0 ($rc)" [ "$rc" -eq 0 ]
left=$(retained "$base/#" 'homeassistant/+/+/config' | grep "^$base/\|/test_")
check "no retained topic of ours is left" [ -z "$left" ]
echo "$left" | head -5

echo "--- removal"
mqtt -u; rc=$?
check "-u exits 0 ($rc)" [ "$rc" -eq 0 ]
check "the service is gone" grep -q "OpenServiceW failed" <(ctl query ZARVOMQTT)

finish
