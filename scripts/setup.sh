#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian machine, as root.
# Idempotent: packages already present are skipped, and apt is not touched at all
# when everything is there.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# The x86_64 toolchain and wine64: the 64-bit test build, for machines that
# run no 32-bit code (see scripts/test.sh).
# llvm: its llvm-symbolizer turns fuzzer and sanitizer reports into file:line.
# wixl and msitools: build and inspect the Windows Installer package.
# nlohmann-json3-dev: the header-only JSON library of the MQTT bridge.
# mosquitto and mosquitto-clients: the broker the bridge's tests and demo run
# against, and its command-line clients.
for p in cmake ninja-build g++ clang libclang-rt-14-dev llvm googletest unzip \
         g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine32:i386 \
         g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 \
         wixl msitools nlohmann-json3-dev mosquitto mosquitto-clients; do
  have_pkg "$p" || need+=("$p")
done

if [ ${#need[@]} -eq 0 ]; then
  echo "setup: everything needed is installed"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "setup: installing ${need[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
echo "setup: done"
