#!/usr/bin/env bash
# Runs one Windows program under Wine in the given prefix and passes on its
# output and exit code. The output goes through a file: Wine's background
# processes inherit the standard handles of the program that started them, and
# a pipe would then never see its end. The file is passed on as it grows, so
# that when ctest ends a program that ran out of time, what it printed until
# then is still in the test's output.
#   run.sh PREFIX PROGRAM [ARGS...]   (PREFIX "-": the one in $WINEPREFIX)
set -u
prefix=$1; shift
[ "$prefix" = - ] && prefix=$WINEPREFIX
prefix=$(realpath -m "$prefix")
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
source "$(dirname "$0")/env.sh"
[ -d "$prefix" ] || "$(dirname "$0")/prefix.sh" up "$prefix" >/dev/null
out=$(mktemp)
wine "$@" >"$out" 2>&1 </dev/null &
program=$!
printed=0
# Prints what the program wrote since the last time, exactly once.
pass_on() {
  local size
  size=$(stat -c %s "$out" 2>/dev/null || echo 0)
  if [ "$size" -gt "$printed" ]; then
    tail -c +$((printed + 1)) "$out" | head -c $((size - printed))
    printed=$size
  fi
}
while kill -0 "$program" 2>/dev/null; do
  pass_on
  sleep 0.2
done
wait "$program"
rc=$?
pass_on
rm -f "$out"
exit $rc
