#!/usr/bin/env bash
# ZARVOSRV -l in a prefix of its own, whose machine shows the registry
# fixture's three devices and four more: a serial number that does not begin
# with "EL", a second device with a serial number already taken, a third
# transceiver, and a device of another vendor.
source "$ZARVO_SOURCE/tests/wine/lib.sh"

# lacks FILE TEXT: FILE does not contain TEXT.
lacks() { ! grep -qF -- "$2" "$1"; }

dir=$(scenario_dir service_list)
cd "$dir" || exit 1

# usb_device VID PID SERIAL: the registry keys through which SetupAPI lists
# one USB device interface, as in tests/fixtures/usb-devices.reg.
usb_device() {
  local id="USB\\VID_$1&PID_$2\\$3" name="##?#USB#VID_$1&PID_$2#$3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
  local class='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}'
  printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\%s]\n' "$id"
  printf '"ClassGUID"="{36FC9E60-C465-11CF-8056-444553540000}"\n\n'
  printf '[%s\\%s]\n"DeviceInstance"="%s"\n\n' "$class" "$name" "${id//\\/\\\\}"
  printf '[%s\\%s\\#]\n"SymbolicLink"="\\\\\\\\?\\\\USB#VID_%s&PID_%s#%s#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"\n\n' \
    "$class" "$name" "$1" "$2" "$3"
  printf '[%s\\%s\\#\\Control]\n"Linked"=dword:00000001\n\n' "$class" "$name"
}
{
  printf 'REGEDIT4\n\n'
  usb_device 0403 F06F XY000001
  usb_device 0403 E0E8 EL000123
  usb_device 0403 F06F EL000555
  usb_device 046D C52B 5A3C1D
} >more-devices.reg

export WINEPREFIX=$dir/prefix
"$ZARVO_SOURCE/tests/wine/prefix.sh" up "$WINEPREFIX" "$ZARVO_SOURCE/tests/fixtures/usb-devices.reg" \
  more-devices.reg >/dev/null || { echo "FAIL: prefix not made"; exit 1; }
trap '"$ZARVO_SOURCE/tests/wine/prefix.sh" down "$WINEPREFIX" >/dev/null' EXIT

echo "--- ZARVOSRV -l"
win list.out ./ZARVOSRV.exe -l; rc=$?
tr -d '\r' <list.out
check "exit code 1: it listed" [ "$rc" -eq 1 ]
check "the banner first" has list.out "ZARVOSRV - ZARVO Remote Service"
check "a heading" has list.out "Serial number    Product id  Instance number at start"
check "the guide's example has the same heading" \
  has "$ZARVO_SOURCE/docs/ADMIN-GUIDE.txt" "$(grep '^Serial number' list.out | tr -d '\r')"

# The device lines: serial number, product id, number or reason.
tr -d '\r' <list.out | awk 'NR > 1 && /^[^ ]+ +[0-9A-Fa-f?]+ +/ && $1 != "Serial" && $1 != "ZARVOSRV"' >lines.txt
line_of() { grep "^$1 " lines.txt; }
check "six devices of vendor 0403 listed" [ "$(wc -l <lines.txt)" -eq 6 ]
check "the other vendor's device is not listed" lacks list.out 5A3C1D
check "another product id" [ "$(line_of A9K2XQ1P | awk '{print $2}')" = 6001 ]
check "... is ignored with why" has <(line_of A9K2XQ1P) "ignored: another product id"
check "a serial number not beginning with EL" \
  has <(line_of XY000001) 'ignored: serial number does not begin with "EL"'
check "the second EL000123 is ignored" \
  has <(line_of EL000123) "ignored: same serial number as an earlier transceiver"
# The transceivers are numbered 0, 1, 2 in the order they are listed, as the
# service numbers them at start.
numbers=$(awk '$3 ~ /^[0-9]+$/ {print $1 "=" $3}' lines.txt | tr '\n' ' ')
echo "numbered: $numbers"
check "three transceivers numbered 0 1 2 in listed order" \
  [ "$(awk '$3 ~ /^[0-9]+$/ {print $3}' lines.txt | tr '\n' ' ')" = "0 1 2 " ]
for serial in EL000123 EL000777 EL000555; do
  check "$serial has a number" grep -qE "(^| )$serial=[0-9]" <<<"$numbers"
done

echo "--- /L and -L work as the other switches do; what follows is ignored"
win upper.out ./ZARVOSRV.exe /L more; rc=$?
check "/L exits 1" [ "$rc" -eq 1 ]
check "/L lists the same" diff <(tr -d '\r' <list.out) <(tr -d '\r' <upper.out)
win dash.out ./ZARVOSRV.exe -L; rc=$?
check "-L exits 1" [ "$rc" -eq 1 ]
check "-L lists the same" diff <(tr -d '\r' <list.out) <(tr -d '\r' <dash.out)

finish
