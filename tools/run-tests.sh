#!/usr/bin/env bash
# Every test: installs what is missing, then builds and runs the suites in the normal,
# the ASan+UBSan and the TSan builds, and the Windows builds under Wine.
#   tools/run-tests.sh            all of it
#   tools/run-tests.sh --quick    the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[[ "${1:-}" == "--quick" ]] && quick=1

if ((quick)); then tools/install-deps.sh; else tools/install-deps.sh --with-wine; fi

jobs=$(nproc)
run_preset() {
  local preset=$1; shift
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" --output-on-failure "$@"
}

status=0
run_preset linux -LE wine || status=1
if ((!quick)); then
  run_preset linux-asan -LE 'wine|slow' || status=1
  run_preset linux-tsan -LE 'wine|slow' || status=1
  echo "=== wine ==="
  ctest --preset linux -L wine --output-on-failure || status=1
fi
exit $status
