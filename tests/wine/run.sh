#!/usr/bin/env bash
# Runs one Windows program under Wine in the given prefix and passes on its
# output and exit code. The output goes through a file: Wine's background
# processes inherit the standard handles of the program that started them, and
# a pipe would then never see its end.
set -u
prefix=$(realpath -m "$1"); shift
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
source "$(dirname "$0")/env.sh"
[ -d "$prefix" ] || "$(dirname "$0")/prefix.sh" up "$prefix" >/dev/null
out=$(mktemp)
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc
