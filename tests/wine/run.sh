#!/usr/bin/env bash
# Runs one Windows program under Wine in the given prefix and passes on its
# output and exit code. The output goes through a file: Wine's background
# processes inherit the standard handles of the program that started them, and
# a pipe would then never see its end. The file is passed on as it grows, so
# that when ctest ends a program that ran out of time, what it printed until
# then is still in the test's output.
set -u
prefix=$(realpath -m "$1"); shift
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
source "$(dirname "$0")/env.sh"
[ -d "$prefix" ] || "$(dirname "$0")/prefix.sh" up "$prefix" >/dev/null
out=$(mktemp)
wine "$@" >"$out" 2>&1 </dev/null &
program=$!
# Ends by itself once the program has ended and the rest is printed.
tail --pid="$program" -s 0.1 -n +1 -f "$out"
wait "$program"
rc=$?
rm -f "$out"
exit $rc
