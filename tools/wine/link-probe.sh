#!/usr/bin/env bash
# What Wine shows of the things the service's folder security relies on: the
# security descriptors it keeps on folders, reparse points for host symbolic
# links, and link counts of hard links. Builds tools/wine/probe/link_probe.cpp,
# runs it in a new prefix build/wine-link-probe with host links planted, prints
# its lines and checks the facts the service's checks under Wine rely on:
#   - a file with two names reports nNumberOfLinks 2;
#   - a host symbolic link to a folder reads as a reparse point;
#   - CreateDirectoryW with a protected DACL and SetNamedSecurityInfoW succeed.
# Last line: "link-probe: N passed, M failed". About 20 s.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# shellcheck source-path=SCRIPTDIR source=wine-lib.sh
source "$root/tools/wine/wine-lib.sh"
tarn_wine_choose_arch
out="$tarn_build/link-probe"
tarn_wine_environment
export WINEPREFIX="$root/build/wine-link-probe-$TARN_WINE_ARCH"
mkdir -p "$out"
trap tarn_wine_stop_server EXIT INT TERM

cmake --build "$tarn_build" --target link-probe >"$out/build.log"
[[ -d "$WINEPREFIX" ]] || tarn_wine_new_prefix "$WINEPREFIX" "$out/wineboot.log"
folder="$WINEPREFIX/drive_c/link-probe"
rm -rf "$folder"
mkdir -p "$folder/outside"
echo precious >"$folder/outside/target.txt"
ln -s "$folder/outside" "$folder/dirlink"
ln -s "$folder/outside/target.txt" "$folder/filelink.txt"
wine "$tarn_build/tools/wine/link-probe.exe" 'C:\link-probe' | tr -d '\r' | tee "$out/probe.out"

passed=0 failed=0
expect() {
  if grep -qx -- "$1" "$out/probe.out"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "link-probe: expected the line $1" >&2
  fi
}
expect 'hardlink.links=2'
expect 'host.dirlink.attributes=0x410'
expect 'sd.create=ok'
expect 'sd.set=ok'
[[ "$(cat "$folder/outside/target.txt")" == precious ]] && passed=$((passed + 1)) || failed=$((failed + 1))
echo "link-probe: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
