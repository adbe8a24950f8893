#!/usr/bin/env bash
# ThreadSanitizer build: the callback tests and stress test (extension threads calling back
# while the main thread prints), the end-to-end transcripts (callbacks during exit among them)
# and the stream tests (signals, failed writes).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset tsan >/dev/null
cmake --build --preset tsan --target invokemodule invokemodule_tests testext_all demo_extension
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
ctest --preset tsan -R 'Callback|Stress|Concurren|Thread|e2e_transcripts'
