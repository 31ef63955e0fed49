#!/usr/bin/env bash
# check-msi.sh BUILD_DIR VERSION MSI_FILE ARCH UPGRADE_CODE
# Builds the release packages and checks the Windows Installer package's
# tables for what installing, upgrading and removing rely on, and that it
# holds exactly the files the ZIP holds.
set -u
build=$1 version=$2 file=$3 arch=$4 upgrade=$5
msi=$build/package/$file
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# row TABLE: the table's rows, tab-separated, without the three header lines.
rows() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d '\r'; }
# has_row TABLE ROW: the table holds exactly that row.
has_row() { rows "$1" | grep -qxF -- "$2" || fail "$1 lacks the row: $2"; }
# seq ACTION: the action's number in InstallExecuteSequence.
seq() { rows InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
before() {
  local a b; a=$(seq "$1"); b=$(seq "$2")
  [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ] || fail "$1 ($a) does not come before $2 ($b)"
}

rm -f "$msi"
cmake --build "$build" --target package >/dev/null || { echo "FAIL: package target"; exit 1; }
[ -f "$msi" ] || { echo "FAIL: no package at $msi"; exit 1; }

case $arch in
  x86) template="Intel;1033" programs=ProgramFilesFolder system=SystemFolder ;;
  x64) template="x64;1033" programs=ProgramFiles64Folder system=System64Folder ;;
esac
msiinfo suminfo "$msi" | grep -qxF "Template: $template" || fail "summary template is not $template"

echo "--- identity"
has_row Property "ProductName	ZARVO Remote"
has_row Property "ProductVersion	$version"
has_row Property "ALLUSERS	1"
rows Property | grep -qix "UpgradeCode	{$upgrade}" || fail "upgrade code is not {$upgrade}"
code=$(rows Property | awk -F'\t' '$1 == "ProductCode" { print $2 }')
again=$(mktemp -d)
mkdir "$again/stage"
cp "$build/bin/ZARVOSRV.exe" "$build/bin/ZARVOMQTT.exe" "$build/bin/ZARVOCTL.exe" "$build/package-text/ADMIN-GUIDE.txt" \
  "$build/package-text/LICENSE" "$again/stage/"
bash "$(dirname "$0")/../../packaging/build-msi.sh" "$again/again.msi" "$version" "$arch" \
  "$again/stage" "ZARVO Remote" "$upgrade" >/dev/null
other=$(msiinfo export "$again/again.msi" Property | awk -F'\t' '$1 == "ProductCode" { print $2 }')
[ -n "$code" ] && [ -n "$other" ] && [ "$code" != "$other" ] || fail "two builds share the product code $code"

echo "--- files: exactly the ZIP's, into ZARVO Remote under $programs"
has_row Directory "INSTALLDIR	$programs	ZARVO Remote"
got=$(rows File | cut -f3 | sort | tr '\n' ' ')
[ "$got" = "ADMIN-GUIDE.txt LICENSE ZARVOCTL.exe ZARVOMQTT.exe ZARVOSRV.exe " ] || fail "files are: $got"
(cd "$again" && msiextract "$msi" >/dev/null) || fail "msiextract"
zip=$build/package/ZARVO-Remote-$version-win32.zip
mkdir -p "$again/zip" && unzip -q -o "$zip" -d "$again/zip"
for f in ADMIN-GUIDE.txt LICENSE ZARVOCTL.exe ZARVOMQTT.exe ZARVOSRV.exe; do
  packed=$(find "$again" \( -path "$again/zip" -o -path "$again/stage" \) -prune -o -name "$f" -type f -print | head -1)
  cmp -s "$packed" "$again/zip/ZARVO-Remote-$version-win32/$f" || fail "$f differs from the ZIP's"
done
rm -rf "$again"

echo "--- upgrades: same or earlier version replaced, later one refused"
has_row Upgrade "{$upgrade}	0.0.0	$version		768		EARLIERVERSIONFOUND"
has_row Upgrade "{$upgrade}	$version			2		LATERVERSIONFOUND"
rows LaunchCondition | grep -q "^Installed OR NOT LATERVERSIONFOUND	" || fail "no refusal over a later version"
before InstallValidate RemoveExistingProducts
before RemoveExistingProducts InstallInitialize

echo "--- driver library required"
has_row Signature "DriverLibrary	FTD2XX.dll							"
has_row DrLocator "DriverLibrary		[$system]	0"
has_row AppSearch "DRIVERLIBRARY	DriverLibrary"
rows LaunchCondition | grep -q "^Installed OR DRIVERLIBRARY	.*USB driver.*first" ||
  fail "no launch condition for the driver library"
before AppSearch LaunchConditions
rows InstallUISequence | grep -q "^AppSearch	" || fail "the UI sequence does not search"

echo "--- the program writes the service's settings; the package starts and stops it"
# 3090: an executable from the File table, deferred, without impersonation,
# its exit code checked.
has_row CustomAction "Setup	3090	ZARVOSRV.exe	-setup	"
has_row CustomAction "Teardown	3090	ZARVOSRV.exe	-teardown	"
# 3410: the same as a rollback action whose exit code is ignored.
has_row CustomAction "UndoSetup	3410	ZARVOSRV.exe	-teardown	"
has_row InstallExecuteSequence "UndoSetup	NOT Installed	$(seq UndoSetup)"
has_row InstallExecuteSequence "Setup	NOT REMOVE=\"ALL\"	$(seq Setup)"
has_row InstallExecuteSequence "Teardown	REMOVE=\"ALL\" AND NOT UPGRADINGPRODUCTCODE	$(seq Teardown)"
before InstallInitialize StopServices
before StopServices Teardown
before Teardown RemoveFiles
before InstallFiles UndoSetup
before UndoSetup Setup
before Setup StartServices
before StartServices InstallFinalize
# Start on install, stop on install and removal (1 + 2 + 32); no removal
# bits: deleting the service is the program's job.
has_row ServiceControl "ServiceControl	DADUDODI	35		1	Service"
[ -z "$(rows ServiceInstall)" ] || fail "the package registers the service itself"

echo "--- the bridge: its program sets up its service, its settings come from properties"
has_row CustomAction "BridgeSetup	3090	ZARVOMQTT.exe	-setup	"
has_row CustomAction "BridgeTeardown	3090	ZARVOMQTT.exe	-teardown	"
has_row CustomAction "BridgeUndoSetup	3410	ZARVOMQTT.exe	-teardown	"
has_row CustomAction "BridgeBroker	3090	ZARVOMQTT.exe	-config \"broker=[MQTT_BROKER]\"	"
has_row CustomAction "BridgeUser	3090	ZARVOMQTT.exe	-config \"user=[MQTT_USER]\"	"
has_row CustomAction "BridgePrefix	3090	ZARVOMQTT.exe	-config \"prefix=[MQTT_PREFIX]\"	"
# 11282: 3090 and 0x2000, the target (the command line with the password)
# kept out of the log.
has_row CustomAction "BridgePassword	11282	ZARVOMQTT.exe	-config \"password=[MQTT_PASSWORD]\"	"
has_row Property "MsiHiddenProperties	MQTT_PASSWORD"
secure=$(rows Property | awk -F'\t' '$1 == "SecureCustomProperties" { print $2 }')
for p in MQTT_BROKER MQTT_USER MQTT_PASSWORD MQTT_PREFIX EARLIERVERSIONFOUND LATERVERSIONFOUND; do
  grep -q "\(^\|;\)$p\(;\|$\)" <<<"$secure" || fail "$p is not in SecureCustomProperties ($secure)"
done
for p in BROKER USER PASSWORD PREFIX; do
  a=$(tr 'A-Z' 'a-z' <<<"$p"); a=Bridge${a^}
  has_row InstallExecuteSequence "$a	MQTT_$p AND NOT REMOVE=\"ALL\"	$(seq "$a")"
  before BridgeUndoSetup "$a"
  before "$a" BridgeSetup
done
has_row InstallExecuteSequence "BridgeSetup	NOT REMOVE=\"ALL\"	$(seq BridgeSetup)"
has_row InstallExecuteSequence "BridgeTeardown	REMOVE=\"ALL\" AND NOT UPGRADINGPRODUCTCODE	$(seq BridgeTeardown)"
before InstallFiles BridgeUndoSetup
before BridgeSetup InstallFinalize
before StopServices BridgeTeardown
before BridgeTeardown RemoveFiles
# Stopped on install and removal (2 + 32), never started by the package:
# -setup starts it only once a broker is configured.
has_row ServiceControl "BridgeControl	ZARVOMQTT	34		1	Bridge"
[ -z "$(rows Registry)" ] || fail "the package writes registry values itself"

if [ "$failures" -eq 0 ]; then echo "PASS: $msi"; else echo "$failures failed"; exit 1; fi
