#!/usr/bin/env bash
# Builds and runs every test: once in a plain build and once with AddressSanitizer and
# UndefinedBehaviorSanitizer, each inside a private test session (scripts/test-env.sh); then
# builds the fuzz targets with clang and runs each for a fixed number of executions over its seed
# corpus (scripts/fuzz-long.sh runs them for longer). Ends with one summary of every build's tests,
# its last line "all: N passed, M failed"; the status is non-zero when any test failed.
# Usage: scripts/test.sh [plain|sanitize|fuzz]...   (all three when none is given)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" test

configurations=("$@")
[ ${#configurations[@]} -gt 0 ] || configurations=(plain sanitize fuzz)
jobs=$(nproc)

# Runs ctest in the folder with the given arguments, showing its output, and adds the counts of
# its closing line ("97% tests passed, 2 tests failed out of 70") to the summary. A ctest that
# fails without such a line, or with one that says nothing failed, counts as one failure.
summary=() passed=0 failed=0
run_tests() {
    local name=$1 folder=$2 log status=0 counts bad total
    shift 2
    log=$(mktemp)
    (cd "$folder" && "$@") | tee "$log" || status=$?
    counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests* failed out of \([0-9]*\)$/\1 \2/p' "$log")
    rm -f "$log"
    read -r bad total <<<"${counts:-0 0}"
    if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then
        summary+=("$name: ctest failed with status $status")
        failed=$((failed + 1))
        return
    fi
    summary+=("$name: $((total - bad)) passed, $bad failed")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
}

for configuration in "${configurations[@]}"; do
    if [ "$configuration" = fuzz ]; then
        build="$top/build/fuzz"
        echo "== fuzz build" >&2
        cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
              -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVIRELON_FUZZ=ON \
              -DVIRELON_BUILD_TESTS=OFF -DVIRELON_BUILD_BENCHMARKS=OFF >/dev/null
        cmake --build "$build" -j "$jobs" --target fuzzers
        echo "== fuzz runs" >&2
        run_tests fuzz "$build/fuzz" ctest --output-on-failure -j "$jobs"
        continue
    fi
    case "$configuration" in
    plain) options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    sanitize) options=(-DCMAKE_BUILD_TYPE=Debug -DVIRELON_SANITIZE=ON) ;;
    *) echo "unknown configuration: $configuration" >&2; exit 2 ;;
    esac
    build="$top/build/$configuration"
    echo "== $configuration build" >&2
    cmake -S "$top" -B "$build" -G Ninja "${options[@]}" >/dev/null
    cmake --build "$build" -j "$jobs"
    echo "== $configuration tests" >&2
    run_tests "$configuration" "$build" env ASAN_OPTIONS=detect_leaks=1 \
        LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$top/scripts/test-env.sh" ctest --output-on-failure -j "$jobs" --timeout 120
done

line=$(printf '%s; ' "${summary[@]}")
printf '\n%s\nall: %d passed, %d failed\n' "${line%; }" "$passed" "$failed"
[ "$failed" -eq 0 ]
