#!/usr/bin/env bash
# isolated.sh TEMPLATE DIR COMMAND [ARGS...]
# Runs COMMAND with a Wine prefix of its own: a fresh clone of TEMPLATE in
# DIR/prefix, with a wineserver of its own that is ended afterwards, also
# when COMMAND failed or ctest ended it for its time-out. Whatever the
# command left running in its prefix (a service, a program holding a pipe
# name, a driver call that never returned) ends with that server, so no test
# meets what another left behind, and tests may run side by side.
#
# COMMAND finds the prefix in WINEPREFIX, and the template in
# ZARVO_WINE_TEMPLATE (for scenarios that make further prefixes of their own).
# DIR/prefix is removed when COMMAND passed and kept when it failed.
set -u
template=$(realpath -m "$1") dir=$(realpath -m "$2")
shift 2
wine_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export ZARVO_WINE_TEMPLATE=$template WINEPREFIX=$dir/prefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$dir"
rm -rf "$WINEPREFIX"

end_server() { "$wine_dir/prefix.sh" down "$WINEPREFIX" >/dev/null 2>&1; }
# ctest ends a test that ran out of time with SIGTERM.
trap 'kill "$child" 2>/dev/null; end_server; exit 143' TERM INT
child=
"$wine_dir/prefix.sh" up "$WINEPREFIX" >/dev/null || { echo "FAIL: no Wine prefix in $WINEPREFIX"; exit 1; }
"$@" &
child=$!
wait "$child"
rc=$?
end_server
if [ "$rc" -eq 0 ]; then
  rm -rf "$WINEPREFIX" "$WINEPREFIX.log"
else
  echo "the test's prefix is kept in $WINEPREFIX"
fi
exit "$rc"
