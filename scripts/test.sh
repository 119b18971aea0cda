#!/usr/bin/env bash
# Sets up, builds with AddressSanitizer and UndefinedBehaviorSanitizer, and runs every test.
# With --tsan: builds with ThreadSanitizer instead and runs the engine and end-to-end tests.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --tests
export QT_QPA_PLATFORM=offscreen
if [ "${1:-}" = --tsan ]; then
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_TSAN=ON -DTARNWICK_TESTS=ON >/dev/null
    cmake --build build-tsan --parallel "$(nproc)"
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(pwd)/scripts/tsan.supp"
    # Every test of the engine, the record writer and the end-to-end runs, by folder, so that a new
    # test there is covered without naming it here.
    exec ctest --test-dir build-tsan --no-tests=error --output-on-failure --timeout 600 -j 2 -L '^(engine|logging|e2e)$'
fi
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON -DTARNWICK_TESTS=ON >/dev/null
cmake --build build-test --parallel "$(nproc)"
ctest --test-dir build-test --output-on-failure --timeout 300 -j 2
