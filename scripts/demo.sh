#!/usr/bin/env bash
# The main job. Today the service host is not built yet: this sets up the
# machine, builds the platform-free core natively and the Windows build, and
# shows the FS20 frame the service would send for house code 1234 1111,
# address 1111, command 17.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null
cmake --preset mingw >/dev/null
cmake --build --preset mingw >/dev/null
echo "Built the platform-free core and the Windows test programs."
echo "The service and client programs are not built yet; run 'bash scripts/test.sh' to test what exists."
