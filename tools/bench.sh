#!/usr/bin/env bash
# Builds the benchmark preset (build-bench/, Release) and prints every benchmark figure beside
# the baselines measured in the same run and the goals. Extra arguments go to
# bench/run_benchmarks.py (--quick, --repeat N).
set -euo pipefail
cd "$(dirname "$0")/.."

log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "Building the bench preset..."
if ! { cmake --preset bench && cmake --build --preset bench --target invokemodule \
         invokemodule_bench_host invokemodule_bench_values invokemodule_bench_extensions \
         bench_extension bench_floor bench_split_floor bench_heavy_debug; } >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
# The coverage-guided search's figures, where the build found libFuzzer.
cmake --build --preset bench --target bench_guided >"$log" 2>&1 ||
  echo "(bench_guided not built: no coverage-guided figures)"
exec python3 bench/run_benchmarks.py "$@"
