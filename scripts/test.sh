#!/usr/bin/env bash
# Builds and runs every test: once in a plain build and once with AddressSanitizer and
# UndefinedBehaviorSanitizer, each inside a private test session (scripts/test-env.sh); then
# builds the fuzz targets with clang and runs each for a fixed number of executions over its seed
# corpus (scripts/fuzz-long.sh runs them for longer).
# Usage: scripts/test.sh [plain|sanitize|fuzz]...   (all three when none is given)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" test

configurations=("$@")
[ ${#configurations[@]} -gt 0 ] || configurations=(plain sanitize fuzz)
jobs=$(nproc)

for configuration in "${configurations[@]}"; do
    if [ "$configuration" = fuzz ]; then
        build="$top/build/fuzz"
        echo "== fuzz build" >&2
        cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
              -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVIRELON_FUZZ=ON \
              -DVIRELON_BUILD_TESTS=OFF -DVIRELON_BUILD_BENCHMARKS=OFF >/dev/null
        cmake --build "$build" -j "$jobs" --target fuzzers
        echo "== fuzz runs" >&2
        (cd "$build/fuzz" && ctest --output-on-failure -j "$jobs")
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
    (cd "$build" && ASAN_OPTIONS=detect_leaks=1 \
        LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$top/scripts/test-env.sh" ctest --output-on-failure -j "$jobs" --timeout 120)
done
