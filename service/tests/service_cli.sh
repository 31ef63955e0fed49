#!/usr/bin/env bash
# ZARVOSRV.exe from a console: banner, usage text, switches and exit codes.
source "$ZARVO_SOURCE/tests/wine/lib.sh"

# lacks FILE TEXT: FILE does not contain TEXT.
lacks() { ! grep -qF -- "$2" "$1"; }

dir=$(scenario_dir service_cli)
cd "$dir" || exit 1
cleanup() { wine "$dir/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null; }
trap cleanup EXIT
cleanup

usage_lines=(
  "Usage: ZARVOSRV <installoption>"
  "<installoption>   -i   install ZARVO Remote Service"
  "                  -u   uninstall ZARVO Remote Service"
  "                  -l   list the USB devices the service would use"
  "To start/stop ZARVO Remote Service use Windows Service Panel."
  "To start ZARVO Remote Service via command line, type NET START \"ZARVO Remote\""
  "To stop  ZARVO Remote Service via command line, type NET STOP  \"ZARVO Remote\""
)

prints_usage() {
  local line
  for line in "${usage_lines[@]}"; do has "$1" "$line" || return 1; done
}

echo "--- no argument: the dispatcher cannot connect"
win none.out ./ZARVOSRV.exe; rc=$?
tr -d '\r' <none.out
check "exit code is 1063 (39 modulo 256)" [ "$rc" -eq 39 ]
check "title line first" [ "$(tr -d '\r' <none.out | sed -n 2p)" = "ZARVOSRV - ZARVO Remote Service" ]
check "an empty line after the notice" [ -z "$(tr -d '\r' <none.out | sed -n 4p)" ]
check "usage follows the banner" prints_usage none.out

for arg in -install i / -x; do
  win other.out ./ZARVOSRV.exe "$arg"; rc=$?
  check "'$arg' exits 0" [ "$rc" -eq 0 ]
  check "'$arg' prints the usage" prints_usage other.out
done

echo "--- switches in either case and with a slash"
win i.out ./ZARVOSRV.exe /I extra words; rc=$?
check "/I installs and ignores what follows" [ "$rc" -eq 1 ]
check "/I prints the install text" has i.out "ZARVO Remote Service successfully installed."
source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\ZARVO Remote'
win source.out reg query "$source_key" /v EventMessageFile
check "/I registers the event source with the program's plain path" \
  has source.out "$(winpath "$dir/ZARVOSRV.exe")"
check "... without quotes" lacks source.out '"'
win types.out reg query "$source_key" /v TypesSupported
check "/I registers the event types: error, warning, information" has types.out "0x7"
check "/I prints nothing about the event source when it worked" lacks i.out "Event source"
win u.out ./ZARVOSRV.exe -U; rc=$?
check "-U removes" [ "$rc" -eq 1 ]
check "-U prints the removal text" has u.out "ZARVO Remote service successfully removed."
win gone.out reg query "$source_key"; rc=$?
check "-U removes the event source" [ "$rc" -ne 0 ]
win i2.out ./ZARVOSRV.exe -I; rc=$?
check "-I installs" [ "$rc" -eq 1 ]
win u2.out ./ZARVOSRV.exe /u; rc=$?
check "/u removes" [ "$rc" -eq 1 ]
win u3.out ./ZARVOSRV.exe -u; rc=$?
check "removing again fails with 0" [ "$rc" -eq 0 ]
check "and prints the failure text" has u3.out "Failed to remove ZARVO Remote service."

echo "--- an event source that cannot be registered changes nothing else"
# The message-file value is a list separated by ';': a program in a folder
# whose name holds one cannot be registered as the source's message file.
mkdir -p "$dir/semi;colon"
cp "$dir/ZARVOSRV.exe" "$dir/semi;colon/"
win i3.out "$dir/semi;colon/ZARVOSRV.exe" -i; rc=$?
tr -d '\r' <i3.out
check "-i still installs" [ "$rc" -eq 1 ]
check "and says so" has i3.out "ZARVO Remote Service successfully installed."
check "one line says the source was not registered" \
  [ "$(grep -c 'Event source "ZARVO Remote" not registered' i3.out)" -eq 1 ]
win none.reg.out reg query "$source_key"; rc=$?
check "no source was left half made" [ "$rc" -ne 0 ]
win u4.out "$dir/semi;colon/ZARVOSRV.exe" -u; rc=$?
check "-u removes" [ "$rc" -eq 1 ]
check "-u has nothing to say about a source that was never there" lacks u4.out "Event source"

finish
