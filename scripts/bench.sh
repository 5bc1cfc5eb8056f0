#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them inside a private session: the settings path, then
# the same paths next to dconf (its service is started on the session's private bus).
# Usage: scripts/bench.sh [--quick]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" test
cmake -S "$top" -B "$top/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DVIRELON_BUILD_TESTS=OFF >/dev/null
cmake --build "$top/build/bench"
"$top/scripts/test-env.sh" "$top/build/bench/bench/settings_bench" "$@"
"$top/scripts/test-env.sh" "$top/build/bench/bench/dconf_comparison" "$@"
