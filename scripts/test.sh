#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and tests the
# platform-free code natively (plain and under ASan/UBSan) and the Windows
# programs under Wine; then fuzzes the parsers and editors for 20 s each.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Whatever happens, end the wineserver of our own prefixes (and only those):
# every Wine test runs in a prefix of its own under build/<preset>/testdirs/,
# and ends its server itself; this catches one that ctest could not end.
# (A server that is not running makes wineserver -k fail: under set -e that
# must not become the script's exit code.)
end_wineservers() {
  local p
  for p in "$root"/build/mingw*/wineprefix "$root"/build/mingw*/testdirs/*/prefix \
           "$root"/build/mingw*/testdirs/*/*/prefix "$root"/build/mingw*/scenarios/*/prefix; do
    [ -d "$p" ] && WINEPREFIX="$p" wineserver -k >/dev/null 2>&1 || true
  done
}
trap end_wineservers EXIT

bash scripts/setup.sh

# The product is 32-bit. Where this machine runs no 32-bit code (its kernel
# refuses i386 programs, so the 32-bit Wine cannot start), the 32-bit build
# is still built and checked without running it, and the Wine tests run
# against the 64-bit build of the same sources under 64-bit Wine.
runs=(native native-sanitize mingw)
wine_tests=mingw
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "=== this machine runs no 32-bit code: Wine tests use the 64-bit build"
  runs+=(mingw64)
  wine_tests=mingw64
fi

passed=0 failed=0
results=$(mktemp)
for preset in "${runs[@]}"; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  rc=0
  select=()
  case $preset in mingw|mingw64) [ "$preset" = "$wine_tests" ] || select=(-LE wine) ;; esac
  ctest --preset "$preset" "${select[@]}" | tee "$results" || rc=$?
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
