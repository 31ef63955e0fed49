#!/usr/bin/env bash
# prefix.sh up DIR [REGFILE...]
#                    prepares a private Wine prefix (once), loading the given
#                    registry files into it, and starts one persistent
#                    wineserver for it;
# prefix.sh down DIR ends that wineserver, and only that one.
set -u
action=$1 prefix=$(realpath -m "$2")
shift 2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
log=$prefix.log
# ZARVO_WINEARCH=win64 makes (and marks) a 64-bit prefix; see env.sh.
source "$(dirname "$0")/env.sh"

case $action in
  up)
    if [ ! -f "$prefix/.zarvo-ready" ]; then
      rm -rf "$prefix"
      mkdir -p "$prefix"
      wineboot -i >"$log" 2>&1 </dev/null || { cat "$log"; exit 1; }
      # The null display driver: no program waits for a desktop.
      wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >>"$log" 2>&1 </dev/null
      # Registry fixtures, e.g. the USB devices SetupAPI is to list.
      for reg in "$@"; do
        wine regedit /S "Z:$(realpath "$reg" | sed 's|/|\\|g')" >>"$log" 2>&1 </dev/null
      done
      wineserver -w
      [ "${ZARVO_WINEARCH:-}" = win64 ] && touch "$prefix/.zarvo-win64"
      touch "$prefix/.zarvo-ready"
    fi
    wineserver -p >>"$log" 2>&1 </dev/null
    # Warm-up: without it, a service installed by the first program of a fresh
    # server could not be started.
    wine cmd /c exit >>"$log" 2>&1 </dev/null
    echo "wine prefix ready: $prefix"
    ;;
  down)
    wineserver -k >/dev/null 2>&1 || true
    echo "wineserver of $prefix ended"
    ;;
  *)
    echo "usage: prefix.sh up|down DIR" >&2
    exit 2
    ;;
esac
