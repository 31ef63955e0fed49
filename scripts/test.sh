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

for preset in native native-sanitize mingw; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset"
done

echo "=== fuzz: every target for 20 s"
bash scripts/fuzz.sh 20
