#!/usr/bin/env bash
# The main job in one command: builds the BRIXEN ASIO driver and the host tool, then lets
# the tool load the driver as an ASIO host does and stream through the simulated device
# (tools/asiohost/brixen-default.sim: 48000 Hz, 2 in / 2 out, loopback), checking every
# sample; then runs it once more with no device connected.
#   tools/run-demo.sh [asiohost options]    e.g. --buffer 32 --seconds 10, --rate 96000, --json
set -euo pipefail
cd "$(dirname "$0")/.."

[[ -x tools/install-deps.sh ]] && tools/install-deps.sh

if [[ -f CMakePresets.json ]]; then
  cmake --preset linux >/dev/null
  cmake --build --preset linux --target asiohost
  build=build/linux
else
  cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build/linux --target asiohost
  build=build/linux
fi
host="$build/tools/asiohost/asiohost"

echo
echo "=== BRIXEN on the simulated device (NXKD_SIM=tools/asiohost/brixen-default.sim) ==="
status=0
NXKD_SIM=tools/asiohost/brixen-default.sim "$host" --seconds 3 "$@" || status=$?

echo
echo "=== no device connected (NXKD_SIM names an empty configuration) ==="
empty="$build/no-device.sim"
: >"$empty"
NXKD_SIM="$empty" "$host" --no-stream || status=$?
exit $status
