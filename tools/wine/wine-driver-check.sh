#!/usr/bin/env bash
# Proves the simulated power-monitor driver under Wine, from an empty prefix:
#
#   1. build the driver package and the 32-bit probe;
#   2. create a 64-bit prefix (wineboot -i, wineserver -w), then keep a
#      persistent server (wineserver -p) so the driver stays loaded between
#      the short-lived programs below;
#   3. install the devices of a driver.ini;
#   4. run the probe: enumerate the interface class, open each interface as
#      the service does and send the four requests; compare with
#      <ini>.expected when it exists; check which Win32 codes round-trip;
#   5. remove one device while the probe holds handles: its handle must fail
#      with ERROR_DEVICE_NOT_CONNECTED (1167) and it must leave the list;
#   6. restart Wine: the remaining devices must come back, counters reset;
#   7. wineserver -k.
#
# Usage: wine-driver-check.sh [DRIVER.INI]    (default: check-driver.ini here)
# Environment:
#   WINEPREFIX      prefix to use; must be empty or absent (default: a temp one)
#   TARNPWR_REMOVE  instance number of the device to remove (default 0000)
#   KEEP_WORK=1     keep the temp folder (logs, binaries, prefix) afterwards
# Fails loudly, with Wine's output, when a step does not hold.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ini="$(realpath "${1:-$here/check-driver.ini}")"
expected="${ini%.ini}.expected"
remove_instance="${TARNPWR_REMOVE:-0000}"
echo_codes="1,2,5,6,8,13,21,31,50,87,122,1117,1167,1168,1460,32767,65535"

work="$(mktemp -d /tmp/tarnpwr-check.XXXXXX)"
bin="$work/bin"
logs="$work/logs"
WINEPREFIX="${WINEPREFIX:-$work/prefix}"
# shellcheck source-path=SCRIPTDIR source=wine-common.sh
source "$here/wine-common.sh"

started_at=$(date +%s.%N)
step_started_at=$started_at

cleanup() {
  local status=$?
  if ((wine_server_started)); then wineserver -k >/dev/null 2>&1 || true; fi
  if [[ "${KEEP_WORK:-0}" == 1 ]]; then
    echo "wine-driver-check: kept $work"
  else
    rm -rf "$work"
  fi
  exit $status
}
trap cleanup EXIT
wine_setup

step "build into $bin"
wine_build

step "create the 64-bit prefix $WINEPREFIX"
wine_create_prefix
wine_start

step "install the devices of $ini"
wine_install_devices "$ini"
device_count=$(grep -c -i -E '^[[:space:]]*\[device\]' "$ini")

# Services start the driver in the background; waits until N interfaces are present.
wait_for_interfaces() {
  local wanted="$1" deadline=$((SECONDS + 20))
  while :; do
    run count wine tarnpwr-probe.exe --reads 0 || fail "tarnpwr-probe" "$logs/count.out"
    grep -q "^count $wanted\$" "$logs/count.out" && return 0
    ((SECONDS < deadline)) || fail "expected $wanted interfaces within 20 s" "$logs/count.out"
    sleep 0.2
  done
}

# Device lines sorted by path, so the comparison does not depend on enumeration order.
sorted_devices() { grep -E '^(count|device) ' "$1" | sort; }

compare_with_expected() {
  local actual="$1" wanted="$2" label="$3"
  if ! diff <(sorted_devices "$wanted") <(sorted_devices "$actual") >"$logs/$label.diff"; then
    echo "---- expected (<) and actual (>) for $label" >&2
    cat "$logs/$label.diff" >&2
    fail "the probe's answers differ from $wanted" "$actual"
  fi
}

step "probe every interface as the service does"
run probe wine tarnpwr-probe.exe --reads 2 --echo-errors "$echo_codes" || fail "tarnpwr-probe" "$logs/probe.out"
cat "$logs/probe.out"
grep -q "^count $device_count\$" "$logs/probe.out" || fail "the probe did not find $device_count interfaces" "$logs/probe.out"
if [[ -f "$expected" ]]; then
  compare_with_expected "$logs/probe.out" "$expected" probe
  echo "    answers match $(basename "$expected")"
fi
mismatched=$(awk '$1 == "echo" && $2 != $4' "$logs/probe.out")
[[ -z "$mismatched" ]] || fail "Win32 codes that do not round-trip: $mismatched" "$logs/probe.out"
echo "    Win32 codes that round-trip: $echo_codes"

step "remove ROOT\\TARNPWR\\$remove_instance while its handle is open"
removed_path="\\\\?\\root#tarnpwr#${remove_instance}#{45bd8344-7ed6-49cf-a440-c276c933b053}"
run removal wine tarnpwr-probe.exe --reads 1 --during "tarnpwr-install.exe remove $remove_instance" ||
  fail "tarnpwr-probe --during remove" "$logs/removal.out"
cat "$logs/removal.out"
grep -q -F "removed ROOT\\TARNPWR\\$remove_instance" "$logs/removal.out" ||
  fail "the installer did not remove ROOT\\TARNPWR\\$remove_instance" "$logs/removal.out"
grep -q '^during exit=0$' "$logs/removal.out" || fail "tarnpwr-install remove failed" "$logs/removal.out"
grep -q -F "after $removed_path read=error:1167" "$logs/removal.out" ||
  fail "the open handle of the removed device did not fail with 1167" "$logs/removal.out"
if grep -F "after " "$logs/removal.out" | grep -v -F "$removed_path" | grep -q 'read=error:1167'; then
  fail "a device that was not removed reports 1167" "$logs/removal.out"
fi
if grep -q -F "present $removed_path" "$logs/removal.out"; then
  fail "the removed interface is still enumerated" "$logs/removal.out"
fi
grep -q "^present-count $((device_count - 1))\$" "$logs/removal.out" ||
  fail "expected $((device_count - 1)) interfaces after the removal" "$logs/removal.out"
run list "$wine64_loader" tarnpwr-install.exe list || fail "tarnpwr-install list" "$logs/list.out"
if grep -q -F "ROOT\\TARNPWR\\$remove_instance" "$logs/list.out"; then
  fail "the removed devnode is still listed" "$logs/list.out"
fi

step "restart Wine: the remaining devices come back"
wine_stop
wine_start
wait_for_interfaces $((device_count - 1))
run restart wine tarnpwr-probe.exe --reads 2 || fail "tarnpwr-probe after the restart" "$logs/restart.out"
cat "$logs/restart.out"
grep -q "^count $((device_count - 1))\$" "$logs/restart.out" ||
  fail "expected $((device_count - 1)) interfaces after the restart" "$logs/restart.out"
if [[ -f "$expected" ]]; then
  grep -v -F "$removed_path" "$expected" | sed "s/^count $device_count\$/count $((device_count - 1))/" \
    >"$logs/restart.expected"
  compare_with_expected "$logs/restart.out" "$logs/restart.expected" restart
  echo "    answers match $(basename "$expected") without the removed device"
fi

step "stop Wine"
wine_stop
echo "    ($(elapsed "$step_started_at") s)"
echo "PASSED in $(elapsed "$started_at") s"
