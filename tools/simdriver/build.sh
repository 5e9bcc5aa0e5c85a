#!/usr/bin/env bash
# Builds the simulated power-monitor driver package for 64-bit Windows/Wine:
#   OUT/tarnpwr.sys          the kernel driver
#   OUT/tarnpwr.inf          its INF (installs tarnpwr.sys for root\tarnpwr)
#   OUT/tarnpwr-install.exe  the installer (install / remove / list)
# Usage: build.sh [OUT]   (default: <repo>/build/simdriver)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
tools="$(dirname "$here")"
out="${1:-$(dirname "$tools")/build/simdriver}"
mkdir -p "$out"

cc=x86_64-w64-mingw32-gcc
command -v "$cc" >/dev/null || { echo "build.sh: $cc not found" >&2; exit 1; }

warnings=(-Wall -Wextra -Werror)

# The driver: no C runtime, native subsystem, entry point DriverEntry.
"$cc" -std=gnu11 -O2 "${warnings[@]}" -mno-red-zone -fno-stack-protector -fno-builtin \
  -I"$here" \
  -shared -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,DriverEntry \
  -o "$out/tarnpwr.sys" "$here/tarnpwr.c" "$here/simdev_model.c" -lntoskrnl -lhal
cp "$here/tarnpwr.inf" "$out/tarnpwr.inf"

# The installer: a 64-bit console program, so the driver service it creates is a native one.
"$cc" -std=gnu11 -O2 "${warnings[@]}" -municode -DUNICODE -D_UNICODE \
  -I"$here" -I"$tools/simdriver-install" \
  -o "$out/tarnpwr-install.exe" "$tools/simdriver-install/tarnpwr_install.c" \
  "$tools/simdriver-install/driver_ini.c" "$here/simdev_model.c" \
  -static -lsetupapi -lnewdev -ladvapi32

echo "$out"
