#!/usr/bin/env bash
# Soak benchmark (prints figures; passes or fails nothing): the service's own
# threads in one process (service-soak.exe: the real pipe server, control
# handler and transceiver threads, beside the simulated FTD2XX.dll) serve
# a million requests from four clients while a transceiver is plugged in and
# pulled out ten thousand times. Prints the process's handles, threads and
# private bytes after a warm-up and at the end (target: flat within 1 %).
# Takes many minutes: run it by hand, not in CI.
#
#   bash scripts/bench-soak.sh [REQUESTS [CYCLES]]
#
# Runs under Wine in a private prefix (build/<preset>/bench-soak-wineprefix)
# and ends that prefix's wineserver, also on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/wine-preset.sh
prefix=$root/build/$preset/bench-soak-wineprefix
work=$root/build/$preset/bench-soak-run

bash scripts/setup.sh >/dev/null
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target service-soak ftd2xx_sim >/dev/null

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
zarvo_wine_env
trap '"$root/tests/wine/prefix.sh" down "$prefix" >/dev/null' EXIT
"$root/tests/wine/prefix.sh" up "$prefix" >/dev/null

rm -rf "$work"
mkdir -p "$work"
cp build/$preset/bin/service-soak.exe build/$preset/bin/FTD2XX.dll "$work/"
cd "$work"
wine service-soak.exe "$@" >soak.out 2>&1 </dev/null || true
tr -d '\r' <soak.out
