#!/usr/bin/env bash
# Builds Tarn for Linux (over the Win32 stand-in) and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-build-deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default
