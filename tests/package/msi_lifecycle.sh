#!/usr/bin/env bash
# msi_lifecycle.sh VERSION ARCH UPGRADE_CODE
# The Windows Installer package under Wine's msiexec, end to end, in a Wine
# prefix of this scenario's own: refused without the driver library;
# installed into "Program Files\ZARVO Remote" with the service registered by
# its quoted path and running; a device switched with the installed client;
# upgraded to a later version (the service runs the new program, the
# administrator's PipeSecurity and the other published pipes untouched); an
# earlier version refused; removed (files, service and our pipe entry gone,
# the rest left). The MQTT bridge beside it: installed without a broker it
# is left stopped, to be started by hand; the upgrade that gives
# MQTT_BROKER, MQTT_USER, MQTT_PASSWORD and MQTT_PREFIX configures it (the
# password nowhere in the log) and starts it against a real broker; a later
# upgrade without them keeps its settings. ARCH is the build's: x86 or x64.
source "$ZARVO_SOURCE/tests/wine/lib.sh"
source "$ZARVO_SOURCE/tests/wine/broker.sh"
version=$1 arch=$2 upgrade=$3

dir=$(realpath -m "$ZARVO_BIN/../scenarios/msi_lifecycle")
rm -rf "$dir"
mkdir -p "$dir/stage" || exit 1
cd "$dir" || exit 1
export WINEPREFIX=$dir/prefix
# A 64-bit build runs in a 64-bit prefix with the 64-bit loader (env.sh).
if [ "$arch" = x64 ]; then export ZARVO_WINEARCH=win64; fi
source "$ZARVO_SOURCE/tests/wine/env.sh"
# Only this prefix's wineserver, also when a check failed.
trap 'broker_stop; "$ZARVO_SOURCE/tests/wine/prefix.sh" down "$WINEPREFIX" >/dev/null' EXIT
trap 'exit 1' TERM INT
"$ZARVO_SOURCE/tests/wine/prefix.sh" up "$WINEPREFIX" "$ZARVO_SOURCE/tests/fixtures/usb-devices.reg" ||
  { echo "FAIL: no Wine prefix"; exit 1; }
cp "$ZARVO_BIN/svcctl.exe" "$dir/"

case $arch in
  x64) programs="Program Files" system=system32 view=/reg:64 ;;
  *) programs="Program Files (x86)" view=/reg:32
     system=system32; [ -d "$WINEPREFIX/drive_c/windows/syswow64" ] && system=syswow64 ;;
esac
installed="$WINEPREFIX/drive_c/$programs/ZARVO Remote"
quoted="\"C:\\$programs\\ZARVO Remote\\ZARVOSRV.exe\""
sysdir="$WINEPREFIX/drive_c/windows/$system"

ctl() { win "$dir/ctl.out" "$dir/svcctl.exe" "$@"; tr -d '\r' <"$dir/ctl.out"; }
# msi LOGNAME ARGS...: runs msiexec silently, its log in LOGNAME.log.
msi() {
  local log=$dir/$1.log; shift
  win "$dir/msiexec.out" msiexec "$@" /qn /l*v "$(winpath "$log")"
}
client() { win "$dir/req.out" "C:\\$programs\\ZARVO Remote\\ZARVOCTL.exe" "$@"; }
pipe_security() {
  wine reg query 'HKLM\SOFTWARE\ZARVO Remote' /v PipeSecurity $view 2>/dev/null </dev/null |
    tr -d '\r' | awk '$1 == "PipeSecurity" { print $3 }'
}
# How many products of that name Windows Installer has registered.
products() {
  rm -f "$dir/uninstall.reg"
  wine reg export 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
    "$(winpath "$dir/uninstall.reg")" /y $view >/dev/null 2>&1 </dev/null
  iconv -f UTF-16LE -t UTF-8 "$dir/uninstall.reg" 2>/dev/null | tr -d '\r' |
    grep -c '^"DisplayName"="ZARVO Remote"$'
}

# The packages: this build's programs and texts as the release ships them,
# once at this version, once at the next patch level with a marker appended
# to the service program, so that the upgraded file can be told apart from
# the first, and once more at the patch level after that.
cp "$ZARVO_BIN/ZARVOSRV.exe" "$ZARVO_BIN/ZARVOMQTT.exe" "$ZARVO_BIN/ZARVOCTL.exe" \
  "$ZARVO_BIN/../package-text/ADMIN-GUIDE.txt" "$ZARVO_BIN/../package-text/LICENSE" "$dir/stage/"
IFS=. read -r major minor patch <<<"$version"
next="$major.$minor.$((patch + 1))"
build_msi() { bash "$ZARVO_SOURCE/packaging/build-msi.sh" "$dir/$1" "$2" "$arch" "$dir/stage" "ZARVO Remote" "$upgrade" >/dev/null; }
build_msi first.msi "$version" || { echo "FAIL: building the first package"; exit 1; }
marker="upgraded-to-$next"
printf '%s' "$marker" >>"$dir/stage/ZARVOSRV.exe"
build_msi second.msi "$next" || { echo "FAIL: building the second package"; exit 1; }
last="$major.$minor.$((patch + 2))"
build_msi third.msi "$last" || { echo "FAIL: building the third package"; exit 1; }

broker_password=msi-s3cret
broker_start "$dir/broker" || exit 1
bridge_setting() {
  wine reg query 'HKLM\SOFTWARE\ZARVO Remote\MQTT' /v "$1" $view 2>/dev/null </dev/null |
    tr -d '\r' | awk -v v="$1" '$1 == v { print $3 }'
}
# The bridge's status as the broker keeps it, under the prefix "home".
bridge_online() {
  local i
  for i in $(seq 100); do
    retained 'home/+/status' | grep -q " online$" && return 0
    sleep 0.1
  done
  return 1
}

sddl="O:SYG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFW;;;AU)(A;;FRFW;;;AN)"
wine reg add 'HKLM\SOFTWARE\ZARVO Remote' /v PipeSecurity /t REG_SZ /d "$sddl" /f $view >/dev/null 2>&1 </dev/null
ctl pipes-set 'COMNAP|SQL\QUERY' >/dev/null
check "PipeSecurity set up" [ "$(pipe_security)" = "$sddl" ]

echo "--- without the driver library the package refuses to install"
msi no-driver /i "$(winpath "$dir/first.msi")"; rc=$?
check "msiexec fails ($rc)" [ "$rc" -ne 0 ]
check "at the launch conditions" has "$dir/no-driver.log" "LaunchConditions. Return value 0"
check "nothing installed" [ ! -e "$installed/ZARVOSRV.exe" ]
check "no service" grep -q "OpenServiceW failed" <(ctl query DADUDODI)

echo "--- a driver library that does not load: the service cannot start"
echo "not a library" >"$sysdir/FTD2XX.dll"
msi broken-driver /i "$(winpath "$dir/first.msi")"; rc=$?
check "msiexec fails ($rc)" [ "$rc" -ne 0 ]
# Wine's log names a deferred action once when it is scheduled and once
# when it runs: a rollback action that ran shows twice.
starts() { grep -ac "Action start .*: $1\." "$dir/broken-driver.log"; }
check "-setup ran" [ "$(starts Setup)" -eq 2 ]
check "and was rolled back with -teardown" [ "$(starts UndoSetup)" -eq 2 ]
check "no service left" grep -q "OpenServiceW failed" <(ctl query DADUDODI)
check "pipe list as it was" [ "$(ctl pipes-get)" = "type=7 size=36 entries=COMNAP|SQL\\QUERY|" ]
check "no files left" [ ! -e "$installed/ZARVOSRV.exe" ]

echo "--- install"
cp "$ZARVO_BIN/FTD2XX.dll" "$sysdir/"
# The two transceivers the registry fixture lists.
sim_config "$sysdir" "device serial=EL000123" "device serial=EL000777 pid=0xE0E8"
msi install /i "$(winpath "$dir/first.msi")"; rc=$?
check "msiexec /i exits 0 ($rc)" [ "$rc" -eq 0 ]
check "and no rollback ran" [ "$(grep -ac "Action start .*: UndoSetup\." "$dir/install.log")" -eq 1 ]
for f in ZARVOSRV.exe ZARVOCTL.exe ADMIN-GUIDE.txt LICENSE; do
  check "$f installed" [ -f "$installed/$f" ]
done
config=$(ctl config DADUDODI)
echo "$config"
check "registered with the quoted path" grep -qF "path=$quoted account=" <<<"$config"
check "own process, auto start, normal errors" grep -q "type=16 start=2 error=1 " <<<"$config"
check "description set" grep -q "^description=.*FS20" <(ctl description DADUDODI)
status=$(ctl wait DADUDODI 4 30)
echo "$status"
check "running after installation" grep -q "^state=4" <<<"$status"
check "pipe published after the other entries" \
  [ "$(ctl pipes-get)" = "type=7 size=56 entries=COMNAP|SQL\\QUERY|doraruzoz|" ]
check "one product registered" [ "$(products)" -eq 1 ]

echo "--- the bridge without a broker: installed, set to start by hand, stopped"
check "ZARVOMQTT.exe installed" [ -f "$installed/ZARVOMQTT.exe" ]
config=$(ctl config ZARVOMQTT)
echo "$config"
check "registered with its quoted path, as LocalService" grep -qiF "path=\"C:\\$programs\\ZARVO Remote\\ZARVOMQTT.exe\" account=NT AUTHORITY\\LocalService" <<<"$config"
check "started by hand" grep -q "type=16 start=3 " <<<"$config"
check "and stopped" grep -q "^state=1 " <(ctl query ZARVOMQTT)
check "no broker set" [ -z "$(bridge_setting broker)" ]

echo "--- a request through the installed client"
client . 0 1234 1111 1111 17
cat "$dir/req.out"
check "answered OK" has "$dir/req.out" "OK"
# Slot 0 is the first the walk found; each transceiver opens on its own
# thread, so the driver's log may list the opens in another order.
win list.out "$installed/ZARVOSRV.exe" -l
first=$(tr -d '\r' <list.out | awk '$3 == "0" { print $1 }')
check "transceiver 0 ($first) received the frame" \
  grep -q "^$first write 0 81 09 04 30 02 01 01 1B 00 00 11$" <(tr -d '\r' <"$sysdir/ftd2xx-sim.log")

echo "--- the installer's switches are idempotent"
# Windows Installer keeps the service over an upgrade, so -setup then finds
# it registered and running (Wine's installer removes it first).
win setup.out "$installed/ZARVOSRV.exe" -setup; rc=$?
check "-setup over a running service exits 0 ($rc)" [ "$rc" -eq 0 ]
check "and updates it" has setup.out "ZARVO Remote Service updated."
check "pipe still listed once" \
  [ "$(ctl pipes-get)" = "type=7 size=56 entries=COMNAP|SQL\\QUERY|doraruzoz|" ]
check "still running" grep -q "^state=4" <(ctl query DADUDODI)
first_pid=$(ctl pid DADUDODI)

echo "--- upgrade to $next, configuring the bridge"
msi upgrade /i "$(winpath "$dir/second.msi")" MQTT_BROKER=127.0.0.1:$broker_port MQTT_USER=zarvo \
  MQTT_PASSWORD=$broker_password MQTT_PREFIX=home; rc=$?
check "msiexec /i of the later version exits 0 ($rc)" [ "$rc" -eq 0 ]
check "the new program is installed" grep -qaF "$marker" "$installed/ZARVOSRV.exe"
status=$(ctl wait DADUDODI 4 30)
check "running after the upgrade" grep -q "^state=4" <<<"$status"
second_pid=$(ctl pid DADUDODI)
echo "service process before: $first_pid, after: $second_pid"
check "the service was started anew from the new file" [ "$second_pid" != "$first_pid" ]
check "still registered with the quoted path" grep -qF "path=$quoted account=" <(ctl config DADUDODI)
check "PipeSecurity untouched" [ "$(pipe_security)" = "$sddl" ]
check "pipe list: the others untouched, ours once" \
  [ "$(ctl pipes-get)" = "type=7 size=56 entries=COMNAP|SQL\\QUERY|doraruzoz|" ]
check "the old product replaced, not kept beside" [ "$(products)" -eq 1 ]
client . 0 1234 1111 1111 16
check "the upgraded service answers OK" has "$dir/req.out" "OK"
check "the bridge's settings stored" \
  bash -c "[ '$(bridge_setting broker)' = '127.0.0.1:$broker_port' ] && [ '$(bridge_setting user)' = zarvo ] && [ '$(bridge_setting prefix)' = home ]"
check "the password stored" [ "$(bridge_setting password)" = "$broker_password" ]
# Wine's msiexec ignores MsiHiddenProperties and prints every property at
# the end (release_msi_tables checks what Windows hides); no other line may
# hold the password, such as the command line of the action that passes it.
check "and in the installer's log only in Wine's property dump" \
  bash -c "! grep -aF '$broker_password' '$dir/upgrade.log' | grep -qv '^Property(S): MQTT_PASSWORD = '"
check "the bridge runs" grep -q "^state=4" <(ctl wait ZARVOMQTT 4 30)
check "and starts with Windows now" grep -q "type=16 start=2 " <(ctl config ZARVOMQTT)
check "it is online at the broker" bridge_online

echo "--- an earlier version is refused"
msi downgrade /i "$(winpath "$dir/first.msi")"; rc=$?
check "msiexec fails ($rc)" [ "$rc" -ne 0 ]
check "at the launch conditions" has "$dir/downgrade.log" "LaunchConditions. Return value 0"
check "the later version stays" grep -qaF "$marker" "$installed/ZARVOSRV.exe"
check "and keeps running" grep -q "^state=4" <(ctl query DADUDODI)

echo "--- upgrade to $last without the bridge's properties"
msi keep /i "$(winpath "$dir/third.msi")"; rc=$?
check "msiexec /i exits 0 ($rc)" [ "$rc" -eq 0 ]
check "the bridge keeps its broker" [ "$(bridge_setting broker)" = "127.0.0.1:$broker_port" ]
check "and its password" [ "$(bridge_setting password)" = "$broker_password" ]
check "runs again" grep -q "^state=4" <(ctl wait ZARVOMQTT 4 30)
check "online at the broker again" bridge_online

echo "--- remove"
msi remove /x "$(winpath "$dir/third.msi")"; rc=$?
check "msiexec /x exits 0 ($rc)" [ "$rc" -eq 0 ]
check "the bridge's service gone" grep -q "OpenServiceW failed" <(ctl query ZARVOMQTT)
check "its settings left for a later installation" [ "$(bridge_setting broker)" = "127.0.0.1:$broker_port" ]
for f in ZARVOSRV.exe ZARVOMQTT.exe ZARVOCTL.exe ADMIN-GUIDE.txt LICENSE; do
  check "$f removed" [ ! -e "$installed/$f" ]
done
check "service gone" grep -q "OpenServiceW failed" <(ctl query DADUDODI)
check "our pipe withdrawn, the others left" \
  [ "$(ctl pipes-get)" = "type=7 size=36 entries=COMNAP|SQL\\QUERY|" ]
check "PipeSecurity left for a later installation" [ "$(pipe_security)" = "$sddl" ]
check "no product registered" [ "$(products)" -eq 0 ]
win teardown.out "$dir/stage/ZARVOSRV.exe" -teardown; rc=$?
check "-teardown with nothing installed exits 0 ($rc)" [ "$rc" -eq 0 ]
check "and leaves the list alone" [ "$(ctl pipes-get)" = "type=7 size=36 entries=COMNAP|SQL\\QUERY|" ]

finish
