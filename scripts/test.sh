#!/usr/bin/env bash
# Builds and runs every test: once in a plain build and once with AddressSanitizer and
# UndefinedBehaviorSanitizer, each inside a private test session (scripts/test-env.sh).
# Usage: scripts/test.sh [plain|sanitize]...   (both when none is given)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" test

configurations=("$@")
[ ${#configurations[@]} -gt 0 ] || configurations=(plain sanitize)
jobs=$(nproc)

for configuration in "${configurations[@]}"; do
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
