#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan, libraries instrumented)
# in $FUZZ_BUILD_DIR (default build/fuzz) and runs each for a bounded time on a
# copy of its seed corpus, so that the committed corpus does not grow. Exits 1
# when a target crashes; its input is kept under the build's fuzz-artifacts/.
# Usage: fuzz/run_fuzzers.sh [seconds per target, default 30] [target...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30} targets=("${@:2}")
[ ${#targets[@]} -gt 0 ] || targets=(parse_url serialize_config decode_message sip_message config_file xml_check)
build=${FUZZ_BUILD_DIR:-$top/build/fuzz} status=0
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
      -DAPC_BUILD_TESTS=OFF -DAPC_FUZZ=ON -DAPC_SANITIZE=address \
      "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link" \
      > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}" > "$build/build.log" 2>&1 \
  || { grep -E "error|Error" -A3 "$build/build.log"; exit 1; }

for t in "${targets[@]}"; do
  work=$(mktemp -d)
  cp -r "$top/fuzz/corpus/$t" "$work/corpus"
  # -timeout: one input taking longer counts as a hang; the outer timeout is a
  # last bound should the fuzzer itself not stop.
  if timeout $(( seconds + 120 )) "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
       -artifact_prefix="$artifacts/$t-" "$work/corpus" > "$work/log" 2>&1; then
    echo "ok: $t ($(grep -oE '^#[0-9]+' "$work/log" | tail -1 | tr -d '#') runs in ${seconds} s)"
  else
    echo "FAIL: $t crashed; input and log under $artifacts"
    cp "$work/log" "$artifacts/$t.log"
    grep -E "ERROR|SUMMARY|Test unit written" "$work/log" || tail -20 "$work/log"
    status=1
  fi
  rm -rf "$work"
done
exit $status
