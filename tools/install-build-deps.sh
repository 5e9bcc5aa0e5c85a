#!/usr/bin/env bash
# Installs what building and testing Tarn needs on a fresh Debian machine, and
# nothing that is already there. Usage: tools/install-build-deps.sh [--windows]
#   (no option)  compiler, CMake, Ninja, GoogleTest/GoogleMock, and Debian's
#                numpy, matplotlib, Dask (dask, distributed), pytest and Hypothesis for
#                tarnlog (analysis/), chromium, in which the tests load
#                tarnlog's HTML report, shellcheck and clang-format for lint.sh
#   --windows    also the MinGW-w64 cross compilers (i686 and x86_64), 64-bit
#                Wine, msitools with wixl (tarn.msi, tarn-x64.msi), and the i386
#                Windows DLLs of that Wine, for its WoW64 mode: downloaded from
#                libwine:i386 and unpacked, never installed, into
#                build/wine-i386/VERSION (no 32-bit package is installed)
# A registry's bad moment: apt-get update is tried three times; indexes that
# still fail are reported in one line and tolerated, and it is the installs and
# downloads, each tried three times too, that fail the script, with apt's own
# error, when a package cannot be had.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
export DEBIAN_FRONTEND=noninteractive

packages=()
need() { dpkg -s "$1" >/dev/null 2>&1 || packages+=("$1"); }

# three_tries COMMAND...: the command, tried again after a short pause when it
# fails; its output and exit code are those of the last try.
three_tries() {
  local try
  for try in 1 2 3; do
    "$@" && return 0
    ((try < 3)) && sleep 5
  done
  return 1
}

updated=0
apt_update() {
  ((updated)) && return 0
  updated=1
  local try output failed
  for try in 1 2 3; do
    output=$(apt-get update 2>&1) && ! grep -q '^E: ' <<<"$output" && return 0
    ((try < 3)) && sleep 5
  done
  failed=$(grep -E '^(E|W): Failed to fetch' <<<"$output" | sed -E 's/^(E|W): Failed to fetch ([^ ]*).*/\2/' |
    paste -sd ' ' -)
  echo "install-build-deps: apt-get update could not fetch some indexes after 3 tries," \
    "going on with those it has: ${failed:-$(grep '^E: ' <<<"$output" | head -n 1)}" >&2
}

for p in g++ cmake ninja-build googletest libgtest-dev libgmock-dev \
         python3-numpy python3-matplotlib python3-dask python3-distributed python3-pytest python3-hypothesis \
         chromium shellcheck clang-format; do need "$p"; done
windows=0
if [[ "${1:-}" == "--windows" ]]; then
  windows=1
  for p in g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 msitools wixl; do need "$p"; done
fi

if ((${#packages[@]})); then
  apt_update
  three_tries apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

# The i386 Windows DLLs of the installed Wine, the same version as its 64-bit part.
i386_dlls() {
  local version folder download
  version=$(dpkg-query -W -f='${Version}' libwine:amd64)
  folder="$repo/build/wine-i386/$version"
  [[ -d "$folder/usr/lib/i386-linux-gnu/wine/i386-windows" ]] && return 0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    updated=0
  fi
  download=$(mktemp -d)
  # apt downloads as its own user, who must be able to write there.
  if id _apt >/dev/null 2>&1; then chown _apt "$download"; fi
  if ! apt-cache show "libwine:i386=$version" >/dev/null 2>&1; then apt_update; fi
  (cd "$download" && three_tries apt-get download -qq "libwine:i386=$version")
  rm -rf "$folder"
  mkdir -p "$folder"
  dpkg-deb -x "$download"/libwine_*_i386.deb "$folder"
  # The 32-bit Unix side cannot serve the 64-bit loader; only the PE DLLs are used.
  rm -rf "$folder/usr/lib/i386-linux-gnu/wine/i386-unix" "$download"
  echo "install-build-deps: the i386 Windows DLLs of Wine $version are in $folder"
}
((windows)) && i386_dlls
exit 0
