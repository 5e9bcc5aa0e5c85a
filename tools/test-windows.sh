#!/usr/bin/env bash
# Builds both Windows builds with MinGW-w64, the 32-bit product (mingw-i686, with
# tarn.msi) and the 64-bit one beside it (mingw-x86_64, with tarn-x64.msi), and
# runs, under Wine, for the build this machine can run (tools/wine/wine-lib.sh,
# tarn_wine_choose_arch; TARN_WINE_ARCH=x86|x64 forces it):
#   1. the portable test suite (ctest), against the real Win32 functions;
#   2. tools/wine/service-check.sh: tarnsvc.exe under Wine's service control
#      manager, installed and removed with install.cmd and uninstall.cmd.
# Usage: tools/test-windows.sh [--fresh] [--no-service-check]
#   --fresh   makes the test prefix (build/wineprefix-ARCH) anew; CI always does.
# Headless; needs no display. Ends every Wine process it started.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/wine/wine-lib.sh

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
for preset in mingw-i686 mingw-x86_64; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done

tarn_wine_choose_arch
echo "== portable suites under Wine: the $(tarn_wine_describe_arch) build"
tarn_wine_environment
prefix="${TARN_TEST_PREFIX:-$PWD/build/wineprefix-$TARN_WINE_ARCH}"
boot_log="$tarn_build/wineboot.log"
if ((fresh)) || [[ ! -f "$prefix/system.reg" ]]; then
  tarn_wine_fresh_prefix "$prefix" "$boot_log"
else
  # A persistent server that an interrupted run left behind is ended first:
  # waiting for it would never end.
  export WINEPREFIX="$prefix"
  tarn_wine_stop_server
fi

# One server and one set of services for the whole suite: each test executable
# then starts in well under a second instead of bringing Wine's services up anew.
trap tarn_wine_stop_server EXIT
tarn_wine_exit_on_signals
tarn_wine_start_server "$tarn_build/wine-services.log"
ctest --preset "$tarn_preset"
tarn_wine_stop_server
trap - EXIT

if ((service_check)); then
  tools/wine/service-check.sh
fi
