#!/usr/bin/env bash
# check-ftd2xx-ordinals.sh OBJDUMP PROGRAM.exe
# Passes when PROGRAM imports from FTD2XX.dll exactly the ordinals 2, 3, 4, 7,
# 8, 9, 14, 18, 19, 27 and 38, each by ordinal and none by name.
set -eu
objdump=$1 exe=$2
table=$("$objdump" -p "$exe" | awk '
  /DLL Name:/ { in_dll = (tolower($3) == "ftd2xx.dll"); next }
  in_dll && /^\s*$/ { in_dll = 0 }
  in_dll { print }')
if [ -z "$table" ]; then
  echo "FAIL: $exe imports nothing from FTD2XX.dll"; exit 1
fi
# An entry imported by ordinal reads "80000002    2  <none>" (64-bit:
# "8000000000000026  000000026  <none>", the ordinal in hex): the ordinal flag
# and the ordinal in the first column; one imported by name reads
# "<hint-name rva>  <hint>  <name>".
ordinals=$(printf '%s\n' "$table" | awk '$1 ~ /^8000[0-9a-fA-F]+$/ && $3 == "<none>" { print $1 }')
by_name=$(printf '%s\n' "$table" | awk 'NF >= 3 && $3 != "<none>" && $1 ~ /^[0-9a-fA-F]+$/ { print }')
printf '%s\n' "$table"
if [ -n "$by_name" ]; then
  echo "FAIL: imported by name:"; echo "$by_name"; exit 1
fi
got=$(for o in $ordinals; do printf '%d\n' "0x${o:1}"; done | sort -n | tr '\n' ' ')
want="2 3 4 7 8 9 14 18 19 27 38 "
if [ "$got" != "$want" ]; then
  echo "FAIL: ordinals imported: '$got', expected '$want'"; exit 1
fi
echo "PASS: $exe imports exactly the ordinals $want from FTD2XX.dll"
