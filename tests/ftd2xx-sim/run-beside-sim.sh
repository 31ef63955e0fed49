#!/usr/bin/env bash
# run-beside-sim.sh PREFIX DIR PROGRAM.exe FTD2XX.dll [args...]
# (PREFIX "-": the one in $WINEPREFIX)
# Runs a Windows test program under Wine from a directory of its own, with a
# fresh copy of the simulated driver library beside it: the program finds the
# DLL there first, and its ftd2xx-sim.txt and ftd2xx-sim.log are its own.
# The directory is made afresh for every run; it is removed when the program
# passed and kept, with the simulator's log, when it failed.
set -u
prefix=$1 dir=$2 exe=$3 dll=$4
shift 4
rm -rf "$dir"
mkdir -p "$dir" || exit 1
cp "$exe" "$dll" "$dir"/ || exit 1
"$(dirname "$0")/../wine/run.sh" "$prefix" "$dir/$(basename "$exe")" "$@"
rc=$?
if [ $rc -eq 0 ]; then
  rm -rf "$dir"
else
  echo "kept for inspection: $dir"
fi
exit $rc
