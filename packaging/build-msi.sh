#!/usr/bin/env bash
# build-msi.sh OUT.msi VERSION ARCH FILES_DIR PRODUCT_NAME UPGRADE_CODE
#
# Builds the Windows Installer package from ZARVO-Remote.wxs with wixl
# (Debian's msitools). ARCH is x86 (the release: 32-bit programs, installed
# under "Program Files (x86)" on 64-bit Windows) or x64 (the 64-bit test
# build). FILES_DIR holds ZARVOSRV.exe, ZARVOMQTT.exe, ZARVOCTL.exe,
# ADMIN-GUIDE.txt and LICENSE as they are shipped.
#
# What wixl cannot express is put into the built database afterwards with
# msibuild. wixl has no file search, so the check for the transceivers'
# driver library is added that way: AppSearch sets
# DRIVERLIBRARY when FTD2XX.dll is in the system folder whose programs
# match the package's (SystemFolder for 32-bit, System64Folder for 64-bit).
set -eu
if [ $# -ne 6 ]; then
  echo "usage: build-msi.sh OUT.msi VERSION x86|x64 FILES_DIR PRODUCT_NAME UPGRADE_CODE" >&2
  exit 2
fi
out=$1 version=$2 arch=$3 files=$4 name=$5 upgrade=$6
here=$(dirname "$(realpath "$0")")
case $arch in
  x86) programs=ProgramFilesFolder win64=no system=SystemFolder ;;
  x64) programs=ProgramFiles64Folder win64=yes system=System64Folder ;;
  *) echo "build-msi.sh: unknown architecture '$arch' (x86 or x64)" >&2; exit 2 ;;
esac
for f in ZARVOSRV.exe ZARVOMQTT.exe ZARVOCTL.exe ADMIN-GUIDE.txt LICENSE; do
  [ -f "$files/$f" ] || { echo "build-msi.sh: $files/$f is missing" >&2; exit 1; }
done

# Built beside the target and renamed at the end: a failed build leaves no
# package that looks finished.
work="$(realpath -m "$out").partial"
mkdir -p "$(dirname "$work")"
rm -f "$work"
# wixl takes file sources relative to the working directory only.
(cd "$files" && wixl -a "$arch" -o "$work" \
  -D ProductName="$name" -D Manufacturer="$name" -D Version="$version" \
  -D UpgradeCode="$upgrade" -D ProgramFilesDir="$programs" -D Win64="$win64" \
  -D SourceDir=. "$here/ZARVO-Remote.wxs")
msibuild "$work" -q "CREATE TABLE \`DrLocator\` (\`Signature_\` CHAR(72) NOT NULL, \`Parent\` CHAR(72), \`Path\` CHAR(255), \`Depth\` SHORT PRIMARY KEY \`Signature_\`, \`Parent\`, \`Path\`)"
msibuild "$work" -q "INSERT INTO \`Signature\` (\`Signature\`, \`FileName\`) VALUES ('DriverLibrary', 'FTD2XX.dll')"
msibuild "$work" -q "INSERT INTO \`DrLocator\` (\`Signature_\`, \`Path\`, \`Depth\`) VALUES ('DriverLibrary', '[$system]', 0)"
msibuild "$work" -q "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('DRIVERLIBRARY', 'DriverLibrary')"
# wixl 0.101 drops IncludeMaximum: without it another build of the same
# version would install beside this one instead of being replaced.
# The attributes are part of the row's key, so the row is replaced whole.
msibuild "$work" -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'EARLIERVERSIONFOUND'"
msibuild "$work" -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMin\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('{$(echo "$upgrade" | tr a-f A-F)}', '0.0.0', '$version', 768, 'EARLIERVERSIONFOUND')"
# wixl 0.101 takes Execute="rollback" for an immediate action: make UndoSetup
# the rollback action it is meant to be (18 executable from the File table,
# 64 exit code ignored, 256 + 1024 rollback, 2048 without impersonation).
msibuild "$work" -q "UPDATE \`CustomAction\` SET \`Type\` = 3410 WHERE \`Action\` = 'UndoSetup' OR \`Action\` = 'BridgeUndoSetup'"
# The action that passes the bridge's password hides its target from the
# log (0x2000 on top of 3090); wixl drops HideTarget.
msibuild "$work" -q "UPDATE \`CustomAction\` SET \`Type\` = 11282 WHERE \`Action\` = 'BridgePassword'"
# Public properties a deferred action reads must be secure, or a managed
# (group policy) installation leaves them out.
msibuild "$work" -q "UPDATE \`Property\` SET \`Value\` = 'EARLIERVERSIONFOUND;LATERVERSIONFOUND;MQTT_BROKER;MQTT_USER;MQTT_PASSWORD;MQTT_PREFIX' WHERE \`Property\` = 'SecureCustomProperties'"
# Before LaunchConditions (100), in both sequences: a package started with a
# user interface runs the UI sequence's search, a silent one the other.
for sequence in InstallExecuteSequence InstallUISequence; do
  msibuild "$work" -q "INSERT INTO \`$sequence\` (\`Action\`, \`Sequence\`) VALUES ('AppSearch', 50)"
done
mv -f "$work" "$out"
echo "built $out"
