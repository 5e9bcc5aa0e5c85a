#!/usr/bin/env bash
# Builds Tarn for Linux (over the Win32 stand-in) and runs the whole test suite,
# then the tests of tarnlog and of the crash-state checker with Debian's Python,
# which has their packages.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-build-deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default
/usr/bin/python3 -m pytest -q -p no:cacheprovider analysis/tests
/usr/bin/python3 -m pytest -q -p no:cacheprovider tools/crashcheck/tests
