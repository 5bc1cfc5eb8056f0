#!/usr/bin/env bash
# Launch benchmark: first frame and peak memory of the application next to an empty QMainWindow
# of the same size, both built in Release and run in turns on a virtual display inside a private
# session whose keychain holds the six legacy items (every launch is a first launch).
# Usage: scripts/bench-launch.sh [--later-launches] [--runs N] [--settle SECONDS]
# VIRELON_BENCH_BUILD=DIR uses an existing build folder as it is configured.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" test
build=${VIRELON_BENCH_BUILD:-}
if [ -z "$build" ]; then
    build="$top/build/bench"
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVIRELON_BUILD_TESTS=OFF \
          >/dev/null
fi
cmake --build "$build" --target virelon-voices launch_bench_empty_window
# shellcheck disable=SC1091
. "$build/identifiers.env"
"$top/scripts/test-env.sh" "$top/scripts/with-display.sh" python3 \
    "$top/bench/launch/launch_bench.py" \
    --app "$build/VirelonIOS/virelon-voices" \
    --baseline "$build/bench/launch/launch_bench_empty_window" \
    --keychain-service "$VIRELON_KEYCHAIN_SERVICE" \
    --keychain-access-group "$VIRELON_KEYCHAIN_ACCESS_GROUP" "$@"
