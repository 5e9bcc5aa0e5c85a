#!/usr/bin/env bash
# Prepares a 64-bit Wine prefix with the simulated power-monitor devices of a
# driver.ini, for running the service (or any other client) against them:
# builds the driver package and the probe into C:\tarnpwr, creates the
# prefix, starts a persistent Wine server and installs the devices.
#
# Usage: WINEPREFIX=/path/to/new/prefix prepare-prefix.sh DRIVER.INI
#
# The prefix must be empty or absent. The Wine server keeps running so the
# driver stays loaded; end it with: WINEPREFIX=... wineserver -k
# Afterwards, in the prefix:
#   C:\tarnpwr\tarnpwr-install.exe  list | remove ... | install --replace ...  (run with wine64)
#   C:\tarnpwr\tarnpwr-probe.exe    the 32-bit probe
#   C:\tarnpwr\logs\services.log    the driver's DbgPrint lines
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
[[ $# -eq 1 && -n "${WINEPREFIX:-}" ]] || {
  echo "usage: WINEPREFIX=/path/to/new/prefix $(basename "$0") DRIVER.INI" >&2
  exit 2
}
ini="$(realpath "$1")"
[[ -f "$ini" ]] || { echo "$(basename "$0"): $ini not found" >&2; exit 2; }
WINEPREFIX="$(realpath -m "$WINEPREFIX")"
bin="$WINEPREFIX/drive_c/tarnpwr"
logs="$(mktemp -d /tmp/tarnpwr-prepare.XXXXXX)"  # moved into the prefix once it exists
# shellcheck source-path=SCRIPTDIR source=wine-common.sh
source "$here/wine-common.sh"

on_exit() {
  local status=$?
  # A failed preparation leaves no server behind; a good one keeps it running.
  if ((status != 0 && wine_server_started)); then wineserver -k >/dev/null 2>&1 || true; fi
  exit $status
}
trap on_exit EXIT

wine_setup
wine_create_prefix
final_logs="$bin/logs"
mkdir -p "$final_logs"
cp -a "$logs"/. "$final_logs"/ && rm -rf "$logs"
logs="$final_logs"
services_log="$logs/services.log"
wine_build
wine_start
wine_install_devices "$ini"
echo "prefix $WINEPREFIX ready: programs in $bin, driver log in $services_log"
