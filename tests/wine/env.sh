# Sourced by the Wine helpers: selects the Wine that fits the prefix in
# $WINEPREFIX. A prefix made for the 64-bit test build (see prefix.sh) is
# marked, and is run with the 64-bit loader; every other prefix with the
# system's `wine`.
zarvo_wine_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ "${ZARVO_WINEARCH:-}" = win64 ] || [ -f "${WINEPREFIX:-/nonexistent}/.zarvo-win64" ]; then
  case ":$PATH:" in
    *":$zarvo_wine_dir/bin64:"*) ;;
    *) PATH="$zarvo_wine_dir/bin64:$PATH" ;;
  esac
  export PATH WINEARCH=win64 ZARVO_WINEARCH=win64
fi
