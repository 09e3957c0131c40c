#!/usr/bin/env bash
# Installs what is missing, builds Tarvo with AddressSanitizer and UndefinedBehaviorSanitizer
# (warnings are errors), checks the sources (layers, format, clang-tidy), and runs every test:
# unit, widget (offscreen), service, package and desktop (own Xvfb, tray host, D-Bus, servers
# and browser on 127.0.0.1 or private sockets, all started and stopped by the tests), then
# each fuzz target briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --tests
build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVO_SANITIZE=ON -DTARVO_WERROR=ON >/dev/null
cmake --build "$build"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The source checks first: they take seconds locally and fail before a long test run.
bash scripts/lint.sh "$build"
ctest --test-dir "$build" --output-on-failure -j2 "$@"
# Each fuzz target briefly (a crash or a broken round trip fails the run); skipped when only
# some tests were asked for.
if [[ $# -eq 0 ]] && command -v clang++ >/dev/null 2>&1; then
  ./scripts/fuzz.sh "${TARVO_FUZZ_SECONDS:-20}"
fi
