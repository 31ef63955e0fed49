#!/usr/bin/env bash
# check-package.sh BUILD_DIR VERSION: builds the release ZIP and checks that it
# holds exactly the programs, the guide and the licence.
set -eu
build=$1 version=$2
cmake --build "$build" --target package >/dev/null
zip=$build/package/ZARVO-Remote-$version-win32.zip
[ -f "$zip" ] || { echo "FAIL: no package at $zip"; exit 1; }
got=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
want=$(printf '%s\n' ADMIN-GUIDE.txt LICENSE ZARVOCTL.exe ZARVOMQTT.exe ZARVOSRV.exe | sed "s|^|ZARVO-Remote-$version-win32/|" | sort)
echo "$got"
if [ "$got" != "$want" ]; then
  echo "FAIL: expected exactly:"; echo "$want"; exit 1
fi
echo "PASS: $zip"
