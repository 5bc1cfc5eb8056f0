#!/usr/bin/env bash
# Runs every fuzz target for long (ten million executions each unless told otherwise), one after
# the other, each from its seed corpus plus what earlier long runs of this build folder found, then
# prints one line per target: executions, seconds, coverage (cov: edges, ft: features), corpus
# size and crashes. Crashing inputs are kept in <build>/fuzz/long/<target>/crashes/.
# Usage: scripts/fuzz-long.sh [EXECUTIONS]   (VIRELON_FUZZ_BUILD chooses the build folder)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-10000000}
build=${VIRELON_FUZZ_BUILD:-$top/build/fuzz}
"$top/scripts/install-deps.sh" test
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DVIRELON_FUZZ=ON -DVIRELON_BUILD_TESTS=OFF \
      -DVIRELON_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target fuzzers

status=0
summary=()
for seeds in "$top"/fuzz/corpus/*/; do
    target=$(basename "$seeds")
    work="$build/fuzz/long/$target"
    mkdir -p "$work/corpus" "$work/crashes"
    echo "== $target: $runs executions" >&2
    start=$(date +%s)
    "$build/fuzz/$target" -runs="$runs" -print_final_stats=1 -artifact_prefix="$work/crashes/" \
        "$work/corpus" "$seeds" >"$work/log" 2>&1 || status=1
    seconds=$(($(date +%s) - start))
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$work/log" | tail -1)
    coverage=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
    features=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
    corpus=$(sed -n 's/.*corp: \([^ ]*\).*/\1/p' <<<"$last")
    crashes=$(find "$work/crashes" -type f | wc -l)
    summary+=("$(printf '%-24s %10s executions %6s s  cov %5s  ft %6s  corpus %-12s crashes %s' \
        "$target" "${executed:-?}" "$seconds" "${coverage:-?}" "${features:-?}" "${corpus:-?}" \
        "$crashes")")
done
printf '%s\n' "${summary[@]}"
exit "$status"
