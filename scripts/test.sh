#!/usr/bin/env bash
# Installs the build dependencies, then builds and runs the whole suite in four
# variants: normal, ASan+UBSan, TSan and the PowerPC cross build under qemu-ppc,
# then runs each fuzz target for a bounded time (FUZZ_SECONDS, default 30).
# Usage: scripts/test.sh [variant...]   (default: normal asan tsan ppc fuzz)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh

jobs=$(nproc)
variants=("$@")
[ ${#variants[@]} -gt 0 ] || variants=(normal asan tsan ppc fuzz)

run_variant() {
  local name=$1; shift
  local dir=build/$name
  echo "=== $name: configure and build"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  if ! cmake --build "$dir" -j "$jobs" > "$dir.build.log" 2>&1; then
    grep -E -A3 "error|Error" "$dir.build.log" | head -80
    echo "=== $name: build failed (log: $dir.build.log)"
    return 1
  fi
  echo "=== $name: tests"
  (cd "$dir" && ${CTEST_PREFIX:-} ctest --output-on-failure -j "$jobs" --timeout 600)
}

status=0
mkdir -p build
for v in "${variants[@]}"; do
  case $v in
    normal) run_variant normal || status=1 ;;
    asan)   run_variant asan -DAPC_SANITIZE=address || status=1 ;;
    # ThreadSanitizer needs an address layout without the newest randomisation.
    tsan)   CTEST_PREFIX="setarch $(uname -m) -R" run_variant tsan -DAPC_SANITIZE=thread || status=1 ;;
    ppc)    run_variant ppc -DCMAKE_TOOLCHAIN_FILE="$top/cmake/powerpc-linux-gnu.cmake" || status=1 ;;
    # A crash the fuzzers find is reported with its input kept under
    # build/fuzz/fuzz-artifacts; it fails the run only with FUZZ_STRICT=1, so
    # that a new find does not hold back an unrelated change.
    fuzz)   echo "=== fuzz"
            if ! bash fuzz/run_fuzzers.sh "${FUZZ_SECONDS:-30}"; then
              echo "=== fuzz: CRASH FOUND, fix it and add its input to fuzz/corpus"
              [ "${FUZZ_STRICT:-0}" = 1 ] && status=1
            fi ;;
    *) echo "unknown variant $v"; status=1 ;;
  esac
done
exit $status
