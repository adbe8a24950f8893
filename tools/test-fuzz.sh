#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time over its seed
# corpus (new inputs go to the build tree, never to the sources).
#   tools/test-fuzz.sh            about a minute per target (CI)
#   FUZZ_SECONDS=14400 tools/test-fuzz.sh command_line   four hours on one target, by hand
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(array_parser command_line script_text)

cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DINVOKEMODULE_FUZZERS=ON -DINVOKEMODULE_TESTS=OFF >/dev/null
cmake --build build-fuzz -j2 --target "${targets[@]/%/_fuzzer}"

for target in "${targets[@]}"; do
  work=build-fuzz/corpus-$target
  mkdir -p "$work"
  echo "--- $target: ${seconds} s"
  build-fuzz/fuzz/${target}_fuzzer -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/ "$work" "fuzz/corpus/$target" 2>&1 \
    | grep -E "stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb|ERROR|SUMMARY|Done" || true
  # libFuzzer exits non-zero on a finding; the pipeline above hides it, so check for crash files.
  found=$(ls build-fuzz/crash-* build-fuzz/leak-* build-fuzz/timeout-* build-fuzz/oom-* 2>/dev/null || true)
  if [ -n "$found" ]; then
    echo "fuzzer $target found a failing input: $found"
    # Run it once more so the log shows what broke: the invariant's words or the report.
    for input in $found; do
      build-fuzz/fuzz/${target}_fuzzer "$input" 2>&1 | grep -v "^INFO:" | tail -n 40 || true
      echo "input, escaped: $(od -An -c "$input" | head -n 20 | tr -s ' ')"
    done
    exit 1
  fi
done
