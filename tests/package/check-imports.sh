#!/usr/bin/env bash
# check-imports.sh OBJDUMP PROGRAM.exe [ALLOWED-EXTRA.dll...]
# Passes when the program imports only DLLs that every 32-bit or 64-bit
# Windows has (plus the named extras): no MinGW runtime DLL, nothing else.
set -eu
objdump=$1 exe=$2; shift 2
system="kernel32.dll advapi32.dll user32.dll setupapi.dll msvcrt.dll"
allowed=" $system $(echo "$*" | tr 'A-Z' 'a-z') "
dlls=$("$objdump" -p "$exe" | awk '/DLL Name:/ { print tolower($3) }' | sort -u)
bad=""
for d in $dlls; do
  case "$allowed" in *" $d "*) ;; *) bad="$bad $d" ;; esac
done
echo "$(basename "$exe") imports:" $dlls
if [ -n "$bad" ]; then
  echo "FAIL: imports DLLs that a stock Windows does not have:$bad"; exit 1
fi
echo "PASS"
