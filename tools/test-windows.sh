#!/usr/bin/env bash
# Builds the 32-bit Windows executables with MinGW-w64 and runs the portable
# test suite under Wine, against the real Win32 functions.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-build-deps.sh --windows
cmake --preset mingw-i686
cmake --build --preset mingw-i686

export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
unset DISPLAY TZ
wineboot -i >/dev/null 2>&1 || true
wineserver -w
ctest --preset mingw-i686
wineserver -k || true
