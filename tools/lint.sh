#!/usr/bin/env bash
# Static checks of the sources, failing on any finding:
#   - clang-format over every C and C++ file git tracks (style in .clang-format),
#     as a dry run: a file that formatting would change is named with the lines;
#   - shellcheck over every shell script git tracks (settings in .shellcheckrc).
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v shellcheck >/dev/null || ! command -v clang-format >/dev/null; then tools/install-build-deps.sh; fi

mapfile -t sources < <(git ls-files '*.c' '*.h' '*.cpp')
clang-format --dry-run -Werror "${sources[@]}"
echo "lint: clang-format would change none of ${#sources[@]} C and C++ files"

mapfile -t scripts < <(git ls-files | grep -E '\.sh$|^\.ci/run$|^tools/tarnlog$')
shellcheck -x "${scripts[@]}"
echo "lint: shellcheck found nothing in ${#scripts[@]} scripts"
