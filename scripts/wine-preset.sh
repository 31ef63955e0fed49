# Sourced by the scripts that run the Windows programs outside ctest (the
# demo and the benchmarks): picks the build they run. The product is 32-bit;
# on a machine that runs no 32-bit code the 32-bit Wine cannot start, and
# they run the 64-bit build of the same sources (preset mingw64) in a 64-bit
# prefix instead. Sets `preset` and `bits`; call zarvo_wine_env after
# exporting WINEPREFIX.
preset=mingw bits=32
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  preset=mingw64 bits=64
  export ZARVO_WINEARCH=win64
fi
zarvo_wine_env() { source "$(dirname "${BASH_SOURCE[0]}")/../tests/wine/env.sh"; }
