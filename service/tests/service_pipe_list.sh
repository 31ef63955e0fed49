#!/usr/bin/env bash
# Publishing the pipe in the registry's "NullSessionPipes" list on install
# and withdrawing it on removal, for the shapes that list takes.
source "$ZARVO_SOURCE/tests/wine/lib.sh"

dir=$(scenario_dir service_pipe_list svcctl.exe)
cd "$dir" || exit 1
pipes() { win "$dir/ctl.out" "$dir/svcctl.exe" "$@"; tr -d '\r' <"$dir/ctl.out"; }
install() { win "$dir/i.out" "$dir/ZARVOSRV.exe" -i; }
remove() { win "$dir/u.out" "$dir/ZARVOSRV.exe" -u; }
cleanup() { remove; pipes pipes-delete >/dev/null; }
trap cleanup EXIT
cleanup

# entries LIST: what pipes-get prints for a list of entries (| separated).
entries() {
  local list=$1 units=1
  local IFS='|'
  local e
  for e in $list; do units=$((units + ${#e} + 1)); done
  [ -z "$list" ] && units=1
  echo "type=7 size=$((units * 2)) entries=${list:+$list|}"
}

echo "--- no value at all: installation succeeds and creates none"
pipes pipes-delete >/dev/null
install; rc=$?
check "install exits 1 without a list" [ "$rc" -eq 1 ]
check "no list created" [ "$(pipes pipes-get)" = "absent" ]
remove

echo "--- only the closing empty string"
pipes pipes-set "" >/dev/null
check "empty list as set" [ "$(pipes pipes-get)" = "$(entries "")" ]
install
check "the name becomes the only entry" [ "$(pipes pipes-get)" = "$(entries doraruzoz)" ]
remove
check "and leaves again" [ "$(pipes pipes-get)" = "$(entries "")" ]

echo "--- the name present in other letter case"
pipes pipes-set "COMNAP|DORARUZOZ|SQL\\QUERY" >/dev/null
install
check "install writes nothing" [ "$(pipes pipes-get)" = "$(entries "COMNAP|DORARUZOZ|SQL\\QUERY")" ]
remove
check "removal takes that entry out" [ "$(pipes pipes-get)" = "$(entries "COMNAP|SQL\\QUERY")" ]

echo "--- the name in the middle of longer names"
pipes pipes-set "doraruzozzz|xdoraruzoz|doraruzoz|doraruzoz2" >/dev/null
remove_target=$(entries "doraruzozzz|xdoraruzoz|doraruzoz2")
install  # already there: nothing written
remove
check "only the exact name leaves, the rest keep their order" [ "$(pipes pipes-get)" = "$remove_target" ]

echo "--- the name twice"
pipes pipes-set "doraruzoz|A|doraruzoz" >/dev/null
install
remove
check "removal takes out the first only" [ "$(pipes pipes-get)" = "$(entries "A|doraruzoz")" ]

echo "--- a list too long for the 1024-byte buffer"
long=$(printf 'PIPE%03d|' $(seq 1 80)); long=${long%|}
pipes pipes-set "$long" >/dev/null
before=$(pipes pipes-get)
install; rc=$?
check "install still succeeds" [ "$rc" -eq 1 ]
check "the long list is left as it was" [ "$(pipes pipes-get)" = "$before" ]
remove; rc=$?
check "removal still succeeds" [ "$rc" -eq 1 ]
check "the long list is still as it was" [ "$(pipes pipes-get)" = "$before" ]

echo "--- a list that would overflow only once the name is added"
# 1024 bytes minus a little: the name (20 bytes) no longer fits.
near=$(printf 'P%05d|' $(seq 1 72)); near=${near%|}   # 72 * 7 + 1 = 505 units = 1010 bytes
pipes pipes-set "$near" >/dev/null
before=$(pipes pipes-get)
install
check "the name is not added and the list is not cut" [ "$(pipes pipes-get)" = "$before" ]
remove

finish
