#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine. Idempotent: does
# nothing when everything is present. Pass --with-wine for the Windows cross builds and
# Wine (both halves).
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
for pkg in cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev python3; do
  have "$pkg" || need+=("$pkg")
done
if [[ "${1:-}" == "--with-wine" ]]; then
  for pkg in g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 xvfb; do
    have "$pkg" || need+=("$pkg")
  done
fi

SUDO=""
[[ $(id -u) -eq 0 ]] || SUDO="sudo"
if ((${#need[@]})); then
  echo "installing: ${need[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
fi
if [[ "${1:-}" == "--with-wine" ]] && ! have wine32:i386; then
  echo "installing: wine32:i386"
  $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends wine32:i386
fi
