#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build/fuzz) and runs each for the given seconds
# (default 600), starting from the seed corpora in fuzz/corpus/. A crash, a sanitizer report
# or a broken round trip stops with a non-zero status and leaves the input in build/fuzz/.
#   ./scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(fuzz_regfile fuzz_desktop_entry fuzz_version fuzz_annotation fuzz_token
  fuzz_server_request)
build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTARVO_FUZZ=ON -DTARVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]}"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# One target per processor at a time; each writes its own log.
run() {
  local t=$1 work="$build/corpus/$1"
  mkdir -p "$work" "$build/findings/$t"
  # The seeds are read, never written; new inputs go to the work corpus.
  if "$build/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -artifact_prefix="$build/findings/$t/" "$work" "fuzz/corpus/$t" 2>"$build/$t.log"; then
    echo "== $t: ${seconds} s, $(grep -oE '^stat::number_of_executed_units: [0-9]+' "$build/$t.log" | cut -d' ' -f2) runs, no finding"
  else
    tail -n 60 "$build/$t.log" >&2
    echo "$t: FAILED (input in $build/findings/$t/)" >&2
    return 1
  fi
}
jobs_at_once=$(nproc)
pids=()
status=0
for t in "${targets[@]}"; do
  run "$t" &
  pids+=($!)
  if ((${#pids[@]} >= jobs_at_once)); then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
exit $status
