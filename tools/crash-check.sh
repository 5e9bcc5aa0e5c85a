#!/usr/bin/env bash
# Power cut at any moment: records a run of the real service on a simulated machine
# (rotations, retention, hand-overs, a drop folder that comes and goes, a stop),
# builds every state a power cut may leave after each file operation, and starts the
# real service on each to check its files (see RELIABILITY.md).
#
#   tools/crash-check.sh [--smoke] [--no-build] [--json FILE] [--seconds N]
#
# --smoke checks a few states after every kind of operation (under three minutes).
# Exit status 1 when any state fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build=1
args=()
for arg in "$@"; do
  if [[ $arg == --no-build ]]; then build=0; else args+=("$arg"); fi
done
if ((build)); then
  cmake --preset default >/dev/null
  cmake --build --preset default --target tarnsvc tarn-sc
fi
PYTHONPATH=$PWD/tools/crashcheck:$PWD/analysis exec /usr/bin/python3 -m crashcheck "${args[@]}"
