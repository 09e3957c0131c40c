#!/usr/bin/env bash
# Builds with ThreadSanitizer and runs the tests of the threaded paths (the log, the upload
# workers, the version check, cross-thread commands). On demand; not part of the test command.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --tests
build=build/tsan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVO_TSAN=ON >/dev/null
cmake --build "$build" --target tarvo_unit_tests
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
"$build/tests/tarvo_unit_tests" --gtest_filter="${1:-LogFile.*:Upload*:VersionCheck*:Settings*}"
