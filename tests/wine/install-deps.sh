#!/usr/bin/env bash
# Installs what the Wine suite (run-wine-suite.sh) needs on a Debian machine: the mingw-w64
# cross compilers, Wine with both halves (wine32:i386 for the 32-bit driver), Xvfb, and the
# build tools. Idempotent: installs only what is missing and touches nothing otherwise.
set -euo pipefail

SUDO=""
[[ $(id -u) -eq 0 ]] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

need=()
for pkg in cmake ninja-build binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 \
           g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 xvfb; do
  have "$pkg" || need+=("$pkg")
done
have wine32:i386 || need+=("wine32:i386")

if ((${#need[@]} == 0)); then
  echo "wine suite dependencies present"
  exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
echo "installing: ${need[*]}"
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${need[@]}"
