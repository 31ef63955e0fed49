#!/usr/bin/env bash
# prefix.sh template DIR [REGFILE...]
#                    makes DIR a Wine prefix to copy from (once per Wine
#                    version): wineboot, the null display driver, the given
#                    registry files. No wineserver is left running for it, so
#                    its files stay as they are while others copy them.
# prefix.sh clone TEMPLATE DIR
#                    makes DIR a fresh copy of TEMPLATE, in a fraction of a
#                    second: the system folders (hundreds of megabytes that
#                    Wine only reads) are hard links, everything else a copy.
# prefix.sh up DIR [REGFILE...]
#                    prepares DIR (a clone of $ZARVO_WINE_TEMPLATE when that
#                    is set, else made afresh with wineboot), loads the given
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

# What a template was made with: another Wine would update the prefix on its
# first start, and an update writes through the clones' hard links into the
# template's files.
wine_stamp() { wine --version 2>/dev/null; }

load_registry() {
  local reg
  for reg in "$@"; do
    wine regedit /S "Z:$(realpath "$reg" | sed 's|/|\\|g')" >>"$log" 2>&1 </dev/null
  done
}

make_fresh() {
  rm -rf "$prefix"
  mkdir -p "$prefix"
  wineboot -i >"$log" 2>&1 </dev/null || { cat "$log"; return 1; }
  # The null display driver: no program waits for a desktop.
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >>"$log" 2>&1 </dev/null
  load_registry "$@"
  wineserver -w
  [ "${ZARVO_WINEARCH:-}" = win64 ] && touch "$prefix/.zarvo-win64"
  wine_stamp >"$prefix/.zarvo-ready"
}

# clone_from TEMPLATE: $prefix becomes a copy of TEMPLATE. Hidden files come
# too: without .update-timestamp Wine would update the clone, writing into
# the linked files.
clone_from() {
  local template=$1 entry
  rm -rf "$prefix"
  mkdir -p "$prefix/drive_c/windows"
  (cd "$template" && find . -mindepth 1 -maxdepth 1 ! -name drive_c -exec cp -a {} "$prefix/" \;) || return 1
  (cd "$template/drive_c" && find . -mindepth 1 -maxdepth 1 ! -name windows -exec cp -a {} "$prefix/drive_c/" \;) || return 1
  for entry in "$template"/drive_c/windows/* "$template"/drive_c/windows/.[!.]*; do
    [ -e "$entry" ] || continue
    case $(basename "$entry") in
      system32|syswow64|winsxs) cp -al "$entry" "$prefix/drive_c/windows/" ;;
      *) cp -a "$entry" "$prefix/drive_c/windows/" ;;
    esac || return 1
  done
}

case $action in
  template)
    if [ "$(cat "$prefix/.zarvo-ready" 2>/dev/null)" != "$(wine_stamp)" ]; then
      make_fresh "$@" || exit 1
    fi
    # A server left by an older run would keep writing the registry files.
    wineserver -k >/dev/null 2>&1 || true
    echo "wine template ready: $prefix"
    ;;
  clone)
    template=$(realpath -m "$prefix") prefix=$(realpath -m "$1")
    [ -f "$template/.zarvo-ready" ] || { echo "no template in $template" >&2; exit 1; }
    clone_from "$template" || { echo "could not copy $template to $prefix" >&2; exit 1; }
    ;;
  up)
    if [ ! -f "$prefix/.zarvo-ready" ]; then
      if [ -n "${ZARVO_WINE_TEMPLATE:-}" ] && [ -f "$ZARVO_WINE_TEMPLATE/.zarvo-ready" ]; then
        clone_from "$ZARVO_WINE_TEMPLATE" || exit 1
        wineserver -p >>"$log" 2>&1 </dev/null
        load_registry "$@"
      else
        make_fresh "$@" || exit 1
      fi
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
    echo "usage: prefix.sh template|clone|up|down DIR ..." >&2
    exit 2
    ;;
esac
