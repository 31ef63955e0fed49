#!/usr/bin/env bash
# ZARVOSRV.exe from a console: banner, usage text, switches and exit codes.
source "$ZARVO_SOURCE/tests/wine/lib.sh"

dir=$(scenario_dir service_cli)
cd "$dir" || exit 1
cleanup() { wine "$dir/ZARVOSRV.exe" -u >/dev/null 2>&1 </dev/null; }
trap cleanup EXIT
cleanup

usage_lines=(
  "Usage: ZARVOSRV <installoption>"
  "<installoption>   -i   install ZARVO Remote Service"
  "                  -u   uninstall ZARVO Remote Service"
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
win u.out ./ZARVOSRV.exe -U; rc=$?
check "-U removes" [ "$rc" -eq 1 ]
check "-U prints the removal text" has u.out "ZARVO Remote service successfully removed."
win i2.out ./ZARVOSRV.exe -I; rc=$?
check "-I installs" [ "$rc" -eq 1 ]
win u2.out ./ZARVOSRV.exe /u; rc=$?
check "/u removes" [ "$rc" -eq 1 ]
win u3.out ./ZARVOSRV.exe -u; rc=$?
check "removing again fails with 0" [ "$rc" -eq 0 ]
check "and prints the failure text" has u3.out "Failed to remove ZARVO Remote service."

finish
