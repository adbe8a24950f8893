#!/usr/bin/env bash
# Runs a subset of the end-to-end transcripts with the executable under valgrind's memcheck:
# any invalid read or write, or a definite leak, fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build --preset default >/dev/null
cases=(spine_unknown_lines spine_end_of_input script_nested_three_deep script_exit_nested
       script_sleep_spellings ext_load_and_call ext_callbacks ext_results ext_free_reload
       ext_load_failures)
paths=()
for c in "${cases[@]}"; do paths+=("tests/e2e/cases/$c.case"); done
python3 tests/e2e/run_e2e.py --exe build/invokemodule --testext build/testext --timeout 300 \
  --runner "valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite" \
  "${paths[@]}"
