#!/bin/bash
# The project's shell scripts (tests, benchmarks, the demo and CI, the init
# scripts, the start step, the package's maintainer scripts) pass shellcheck
# with .shellcheckrc's settings.
# Usage: shellcheck_test.sh SOURCE_DIR
# Exit 77 (skipped) without shellcheck.
set -u
cd "$1" || exit 1
command -v shellcheck > /dev/null || { echo "skipped: shellcheck is not installed"; exit 77; }
mapfile -d '' scripts < <(find . -path ./build -prune -o -path ./.git -prune -o -type f \
    \( -name '*.sh' -o -path ./.ci/run -o -path ./dist/prepare-dirs -o -path './dist/*.init' -o -path './dist/deb/p*' \) -print0)
[ ${#scripts[@]} -gt 0 ] || { echo "FAIL: no scripts found under $1"; exit 1; }
shellcheck -x "${scripts[@]}" || { echo "FAIL: shellcheck found the above in ${#scripts[@]} scripts"; exit 1; }
echo "ok: ${#scripts[@]} scripts pass shellcheck"
