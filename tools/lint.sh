#!/usr/bin/env bash
# Static checks of the project's shell scripts: shellcheck over every script git
# tracks (settings in .shellcheckrc). Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v shellcheck >/dev/null || tools/install-build-deps.sh
mapfile -t scripts < <(git ls-files | grep -E '\.sh$|^\.ci/run$|^tools/tarnlog$')
shellcheck -x "${scripts[@]}"
echo "lint: shellcheck found nothing in ${#scripts[@]} scripts"
