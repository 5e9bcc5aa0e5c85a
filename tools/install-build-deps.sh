#!/usr/bin/env bash
# Installs what building and testing Tarn needs on a fresh Debian machine, and
# nothing that is already there. Usage: tools/install-build-deps.sh [--windows]
#   (no option)  compiler, CMake, Ninja, GoogleTest/GoogleMock, and Debian's
#                numpy, matplotlib, Dask (dask, distributed), pytest and Hypothesis for
#                tarnlog (analysis/), chromium, in which the tests load
#                tarnlog's HTML report, shellcheck and clang-format for lint.sh
#   --windows    also the MinGW-w64 cross compilers (i686 and x86_64), Wine (32-
#                and 64-bit; the 32-bit part installs also where the kernel cannot
#                run it, and the Wine checks then use the 64-bit build) and
#                msitools with wixl (tarn.msi, tarn-x64.msi)
set -euo pipefail

packages=()
need() { dpkg -s "$1" >/dev/null 2>&1 || packages+=("$1"); }

for p in g++ cmake ninja-build googletest libgtest-dev libgmock-dev \
         python3-numpy python3-matplotlib python3-dask python3-distributed python3-pytest python3-hypothesis \
         chromium shellcheck clang-format; do need "$p"; done
if [[ "${1:-}" == "--windows" ]]; then
  for p in g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 msitools wixl; do need "$p"; done
  dpkg --print-foreign-architectures | grep -qx i386 || { dpkg --add-architecture i386; packages+=(wine32:i386); }
  need wine32:i386
fi

if ((${#packages[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi
