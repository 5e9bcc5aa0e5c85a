#!/usr/bin/env bash
# Prepares a 64-bit Wine prefix with the simulated power-monitor devices of a
# driver.ini, for running the service (or any other client) against them:
# builds the driver package and the probe into C:\tarnpwr, creates the
# prefix, starts a persistent Wine server and installs the devices. The probe
# is that of the product, run in WoW64 mode, where that mode runs here, else of
# the 64-bit build (tools/wine/wine-lib.sh; TARN_WINE_ARCH=x86|x64 forces it), whose preset must be configured.
#
# Usage: WINEPREFIX=/path/to/new/prefix prepare-prefix.sh DRIVER.INI
#
# The prefix must be empty or absent. The Wine server keeps running so the
# driver stays loaded; end it with: WINEPREFIX=... wineserver -k
# Afterwards, in the prefix:
#   C:\tarnpwr\tarnpwr-install.exe  list | remove ... | install --replace ...  (run with wine64)
#   C:\tarnpwr\tarnpwr-probe.exe    the probe, of the Windows build chosen
#   C:\tarnpwr\logs\services.log    the driver's DbgPrint lines
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source-path=SCRIPTDIR source=wine-lib.sh
source "$here/wine-lib.sh"
[[ $# -eq 1 && -n "${WINEPREFIX:-}" ]] || {
  echo "usage: WINEPREFIX=/path/to/new/prefix $(basename "$0") DRIVER.INI" >&2
  exit 2
}
ini="$(realpath "$1")"
[[ -f "$ini" ]] || { echo "$(basename "$0"): $ini not found" >&2; exit 2; }
tarn_wine_choose_arch || exit 2
prefix="$(realpath -m "$WINEPREFIX")"
bin="$prefix/drive_c/tarnpwr"
logs="$(mktemp -d /tmp/tarnpwr-prepare.XXXXXX)"
services_log="$logs/services.log"
check_name="prepare-prefix"
# A failed preparation leaves no server behind (finish ends it); a good one
# keeps it running.
tarn_check_begin

tarn_wine_new_prefix "$prefix" "$logs/wineboot.out" || abort "a new prefix" "$logs/wineboot.out"
tarn_wine_build_driver "$bin" "$logs/build.out" || abort "building the driver package and the probe" "$logs/build.out"
mkdir -p "$bin/logs"
cp -a "$logs"/. "$bin/logs"/ && rm -rf "$logs"
logs="$bin/logs"
services_log="$logs/services.log"
tarn_wine_start_server "$services_log"
tarn_wine_install_devices "$ini"
trap - EXIT
echo "prefix $prefix ready: programs in $bin, driver log in $services_log"
