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
passed=0
failed=0
status=0

# Runs ctest with the given arguments, echoing its output and adding up its summary line
# ("100% tests passed, 0 tests failed out of 208").
count_ctest() {
  local out rc=0
  out=$(mktemp)
  ctest "$@" 2>&1 | tee "$out" || rc=$?
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$out" | tail -n 1 || true)
  if [[ -n "$line" ]]; then
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  elif ((rc != 0)); then
    failed=$((failed + 1))
  fi
  rm -f "$out"
  ((rc == 0)) || status=1
}

build_preset() {
  echo "=== $1 ==="
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}

build_preset linux
count_ctest --preset linux -j "$jobs" --output-on-failure -LE wine
if ((!quick)); then
  for preset in linux-asan linux-tsan; do
    build_preset "$preset"
    count_ctest --preset "$preset" -j "$jobs" --output-on-failure -LE wine
  done
  echo "=== wine ==="
  count_ctest --preset linux -L wine -V
fi

echo "total: $passed passed, $failed failed"
exit $status
