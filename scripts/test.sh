#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and tests the
# platform-free code natively (plain and under ASan/UBSan) and the Windows
# programs under Wine; then fuzzes the parsers and editors for 20 s each.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Whatever happens, end the wineserver of our own prefix (and only that one).
trap 'WINEPREFIX="$root/build/mingw/wineprefix" wineserver -k >/dev/null 2>&1 || true' EXIT

bash scripts/setup.sh

passed=0 failed=0
results=$(mktemp)
for preset in native native-sanitize mingw; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  rc=0
  ctest --preset "$preset" | tee "$results" || rc=$?
  counts=$(sed -nE 's/.* tests passed, ([0-9]+) tests failed out of ([0-9]+)$/\1 \2/p' "$results")
  [ -n "$counts" ] || counts="1 1"
  set -- $counts
  failed=$((failed + $1)) passed=$((passed + $2 - $1))
  [ "$rc" -eq 0 ] || { echo "total: $passed passed, $failed failed"; exit 1; }
done
rm -f "$results"

echo "=== fuzz: every target for 20 s"
bash scripts/fuzz.sh 20
passed=$((passed + 1))
echo "total: $passed passed, $failed failed"
