#!/usr/bin/env bash
# Benchmark of the pipe server (prints figures; passes or fails nothing):
# requests/s and p50/p99 round-trip latency with 1 and 4 clients, on one
# persistent connection and with one connection per request, through the
# real pipe server (pipe-host.exe, one simulated transceiver that answers at
# once) and, side by side in the same run, through a bare overlapped pipe
# server that answers every request with a fixed reply.
#
#   bash scripts/bench-pipe.sh [--seconds S] [--rounds R]
#
# Runs under Wine in a private prefix (build/<preset>/bench-wineprefix) and ends
# that prefix's wineserver, also on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/wine-preset.sh
prefix=$root/build/$preset/bench-wineprefix
work=$root/build/$preset/bench-run
bench_args=("$@")
[ ${#bench_args[@]} -gt 0 ] || bench_args=(--seconds 0.5 --rounds 6)

bash scripts/setup.sh >/dev/null
cmake --preset $preset >/dev/null
cmake --build --preset $preset --target pipe-host bare-pipe-server pipe-bench >/dev/null

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
zarvo_wine_env
finish() {
  touch "$work/stop" 2>/dev/null || true
  sleep 0.5
  "$root/tests/wine/prefix.sh" down "$prefix" >/dev/null
}
trap finish EXIT
"$root/tests/wine/prefix.sh" up "$prefix" >/dev/null

rm -rf "$work"
mkdir -p "$work"
cp build/$preset/bin/{pipe-host,bare-pipe-server,pipe-bench}.exe "$work/"
cd "$work"

bare='\\.\pipe\zarvo-bench-bare'
wine pipe-host.exe 1 3600 stop >host.out 2>&1 </dev/null &
wine bare-pipe-server.exe "$bare" stop >bare.out 2>&1 </dev/null &
for _ in $(seq 600); do
  grep -q "pipe server ready" host.out 2>/dev/null && grep -q "bare server ready" bare.out 2>/dev/null && break
  sleep 0.05
done
grep -q "pipe server ready" host.out || { echo "pipe-host did not start:"; cat host.out; exit 1; }
grep -q "bare server ready" bare.out || { echo "bare server did not start:"; cat bare.out; exit 1; }

wine pipe-bench.exe "${bench_args[@]}" '\\.\pipe\doraruzoz' "$bare" >bench.out 2>&1 </dev/null || true
tr -d '\r' <bench.out
