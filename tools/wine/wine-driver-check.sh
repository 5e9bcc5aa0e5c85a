#!/usr/bin/env bash
# Proves the simulated power-monitor driver under Wine, from an empty prefix:
#
#   1. build the driver package and the probe, of the architecture of the
#      Windows build chosen (tools/wine/wine-lib.sh chooses;
#      TARN_WINE_ARCH=x86|x64 forces it);
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
# Fails loudly, with Wine's output, when a step does not hold; the last line
# reads "wine-driver-check: N passed, M failed".
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source-path=SCRIPTDIR source=wine-lib.sh
source "$here/wine-lib.sh"
tarn_wine_choose_arch || exit 2
ini="$(realpath "${1:-$here/check-driver.ini}")"
expected="${ini%.ini}.expected"
remove_instance="${TARNPWR_REMOVE:-0000}"
echo_codes="1,2,5,6,8,13,21,31,50,87,122,1117,1167,1168,1460,32767,65535"

tarn_check_work tarnpwr-check
check_name="wine-driver-check"

# After a failure: what the programs printed to their error output, and the
# driver's lines and Wine's errors from the services' log.
tarn_report_failure() {
  local log
  for log in "$logs"/*.err "$services_log"; do
    [[ -s "$log" ]] || continue
    echo "---- $log (driver lines and errors)"
    grep -a -E 'tarnpwr|err:' "$log" | grep -v -E 'nodrv_CreateWindow|systray|explorer process' | tail -40 || true
  done
}
tarn_check_begin
echo "== the simulated driver under Wine, probed by the $(tarn_wine_describe_arch) build"

step "build into $bin"
tarn_wine_build_driver "$bin" "$logs/build.out" || abort "building the driver package and the probe" "$logs/build.out"
pass "the driver package and the probe built"

step "create the 64-bit prefix $prefix"
tarn_wine_new_prefix "$prefix" "$logs/wineboot.out" || abort "a new prefix" "$logs/wineboot.out"
tarn_wine_start_server "$services_log"
pass "prefix and server ready"

step "install the devices of $ini"
tarn_wine_install_devices "$ini"
device_count=$(grep -c -i -E '^[[:space:]]*\[device\]' "$ini")
pass "$device_count devices installed"

# Services start the driver in the background; waits until N interfaces are present.
wait_for_interfaces() {
  local wanted="$1" deadline=$((SECONDS + 20))
  while :; do
    run count wine tarnpwr-probe.exe --reads 0 || abort "tarnpwr-probe" "$logs/count.out"
    grep -q "^count $wanted\$" "$logs/count.out" && return 0
    ((SECONDS < deadline)) || abort "expected $wanted interfaces within 20 s" "$logs/count.out"
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
    abort "the probe's answers differ from $wanted" "$actual"
  fi
}

step "probe every interface as the service does"
run probe wine tarnpwr-probe.exe --reads 2 --echo-errors "$echo_codes" || abort "tarnpwr-probe" "$logs/probe.out"
cat "$logs/probe.out"
grep -q "^count $device_count\$" "$logs/probe.out" || abort "the probe did not find $device_count interfaces" "$logs/probe.out"
if [[ -f "$expected" ]]; then
  compare_with_expected "$logs/probe.out" "$expected" probe
  pass "answers match $(basename "$expected")"
fi
mismatched=$(awk '$1 == "echo" && $2 != $4' "$logs/probe.out")
[[ -z "$mismatched" ]] || abort "Win32 codes that do not round-trip: $mismatched" "$logs/probe.out"
pass "Win32 codes that round-trip: $echo_codes"

step "remove ROOT\\TARNPWR\\$remove_instance while its handle is open"
removed_path="\\\\?\\root#tarnpwr#${remove_instance}#{45bd8344-7ed6-49cf-a440-c276c933b053}"
run removal wine tarnpwr-probe.exe --reads 1 --during "tarnpwr-install.exe remove $remove_instance" ||
  abort "tarnpwr-probe --during remove" "$logs/removal.out"
cat "$logs/removal.out"
grep -q -F "removed ROOT\\TARNPWR\\$remove_instance" "$logs/removal.out" ||
  abort "the installer did not remove ROOT\\TARNPWR\\$remove_instance" "$logs/removal.out"
grep -q '^during exit=0$' "$logs/removal.out" || abort "tarnpwr-install remove failed" "$logs/removal.out"
grep -q -F "after $removed_path read=error:1167" "$logs/removal.out" ||
  abort "the open handle of the removed device did not fail with 1167" "$logs/removal.out"
if grep -F "after " "$logs/removal.out" | grep -v -F "$removed_path" | grep -q 'read=error:1167'; then
  abort "a device that was not removed reports 1167" "$logs/removal.out"
fi
if grep -q -F "present $removed_path" "$logs/removal.out"; then
  abort "the removed interface is still enumerated" "$logs/removal.out"
fi
grep -q "^present-count $((device_count - 1))\$" "$logs/removal.out" ||
  abort "expected $((device_count - 1)) interfaces after the removal" "$logs/removal.out"
run list "$tarn_wine64_loader" tarnpwr-install.exe list || abort "tarnpwr-install list" "$logs/list.out"
if grep -q -F "ROOT\\TARNPWR\\$remove_instance" "$logs/list.out"; then
  abort "the removed devnode is still listed" "$logs/list.out"
fi
pass "the removed device's open handle fails with 1167, and it leaves the lists"

step "restart Wine: the remaining devices come back"
tarn_wine_stop_server
tarn_wine_start_server "$services_log"
wait_for_interfaces $((device_count - 1))
run restart wine tarnpwr-probe.exe --reads 2 || abort "tarnpwr-probe after the restart" "$logs/restart.out"
cat "$logs/restart.out"
grep -q "^count $((device_count - 1))\$" "$logs/restart.out" ||
  abort "expected $((device_count - 1)) interfaces after the restart" "$logs/restart.out"
if [[ -f "$expected" ]]; then
  grep -v -F "$removed_path" "$expected" | sed "s/^count $device_count\$/count $((device_count - 1))/" \
    >"$logs/restart.expected"
  compare_with_expected "$logs/restart.out" "$logs/restart.expected" restart
  pass "answers match $(basename "$expected") without the removed device"
fi

pass "the remaining devices answer after the restart"
finish
