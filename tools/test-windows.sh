#!/usr/bin/env bash
# Builds both Windows builds with MinGW-w64, the 32-bit product (mingw-i686, with
# tarn.msi) and the 64-bit one beside it (mingw-x86_64, with tarn-x64.msi), and
# checks them under Wine's 64-bit loader, as on 64-bit Windows: the 32-bit build
# in WoW64 mode, the 64-bit one natively (tools/wine/wine-lib.sh). For each build
# in turn, the product first:
#   1. the portable test suite (ctest), against the real Win32 functions;
#   2. tools/wine/service-check.sh: tarnsvc.exe under Wine's service control
#      manager, installed and removed with install.cmd and uninstall.cmd;
#   3. tools/wine/link-probe.sh: what the folder checks rely on;
#   4. tools/wine/wine-driver-check.sh: the simulated kernel driver;
#   5. tools/wine/service-e2e.sh: the service sampling that driver;
#   6. tools/wine/msi-check.sh: the build's package installed, upgraded, refused
#      beside the other build's, and removed with msiexec.
# Where WoW64 mode cannot run a 32-bit program, one line says so and only the
# 64-bit build is checked; TARN_WINE_ARCH=x86|x64 checks that build alone.
# Usage: tools/test-windows.sh [--fresh] [--suites-only]
#   --fresh        makes the suites' prefix (build/wineprefix-ARCH) anew; CI always does.
#   --suites-only  runs step 1 and 2 only.
# The last line names the builds that ran under Wine and the mode of each.
# Headless; needs no display. Ends every Wine process it started.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/wine/wine-lib.sh

fresh=0
suites_only=0
for argument in "$@"; do
  case "$argument" in
    --fresh) fresh=1 ;;
    --suites-only) suites_only=1 ;;
    *) echo "usage: $0 [--fresh] [--suites-only]" >&2; exit 2 ;;
  esac
done
[[ "${CI:-}" == "true" ]] && fresh=1

tools/install-build-deps.sh --windows
for preset in mingw-i686 mingw-x86_64; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done

# portable_suites: the build's ctest suites in one prefix, with one server and
# one set of services: each test executable then starts in well under a second
# instead of bringing Wine's services up anew.
portable_suites() {
  local prefix="${TARN_TEST_PREFIX:-$PWD/build/wineprefix-$TARN_WINE_ARCH}"
  tarn_wine_environment
  if ((fresh)) || [[ ! -f "$prefix/system.reg" ]]; then
    tarn_wine_fresh_prefix "$prefix" "$tarn_build/wineboot.log"
  else
    # A persistent server that an interrupted run left behind is ended first:
    # waiting for it would never end.
    export WINEPREFIX="$prefix"
    tarn_wine_stop_server
  fi
  trap tarn_wine_stop_server EXIT
  tarn_wine_exit_on_signals
  tarn_wine_start_server "$tarn_build/wine-services.log"
  ctest --preset "$tarn_preset"
  tarn_wine_stop_server
  trap - EXIT
  unset WINEPREFIX
}

tarn_wine_choose_builds
ran=()
for arch in $tarn_wine_builds; do
  export TARN_WINE_ARCH=$arch
  tarn_wine_choose_arch
  echo "== Windows: the $(tarn_wine_describe_arch) build: portable suites under Wine"
  portable_suites
  tools/wine/service-check.sh
  if ((!suites_only)); then
    tools/wine/link-probe.sh
    tools/wine/wine-driver-check.sh
    tools/wine/service-e2e.sh --no-build
    tools/wine/msi-check.sh
  fi
  ran+=("$(tarn_wine_describe_arch)")
done
summary=$(printf '%s; ' "${ran[@]}")
echo "== Windows builds run under Wine: ${summary%; }"
