#!/usr/bin/env bash
# Builds the 32-bit Windows executables with MinGW-w64 (and tarn.msi, see
# tools/windows/build-msi.sh) and runs, under Wine:
#   1. the portable test suite (ctest), against the real Win32 functions;
#   2. tools/wine/service-check.sh: tarnsvc.exe under Wine's service control
#      manager, installed and removed with install.cmd and uninstall.cmd.
# Usage: tools/test-windows.sh [--fresh] [--no-service-check]
#   --fresh   makes the test prefix (build/wineprefix) anew; CI always does.
# Headless; needs no display. Ends every Wine process it started.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/wine/service-prefix.sh

fresh=0
service_check=1
for argument in "$@"; do
  case "$argument" in
    --fresh) fresh=1 ;;
    --no-service-check) service_check=0 ;;
    *) echo "usage: $0 [--fresh] [--no-service-check]" >&2; exit 2 ;;
  esac
done
[[ "${CI:-}" == "true" ]] && fresh=1

tools/install-build-deps.sh --windows
cmake --preset mingw-i686
cmake --build --preset mingw-i686

tarn_wine_environment
prefix="${TARN_TEST_PREFIX:-$PWD/build/wineprefix}"
boot_log="$PWD/build/mingw-i686/wineboot.log"
if ((fresh)); then
  tarn_wine_new_prefix "$prefix" "$boot_log"
else
  tarn_wine_prepare_prefix "$prefix" "$boot_log"
fi

# One server and one set of services for the whole suite: each test executable
# then starts in well under a second instead of bringing Wine's services up anew.
trap tarn_wine_stop_server EXIT
tarn_wine_exit_on_signals
tarn_wine_start_server "$PWD/build/mingw-i686/wine-services.log"
ctest --preset mingw-i686
tarn_wine_stop_server
trap - EXIT

if ((service_check)); then
  tools/wine/service-check.sh
fi
