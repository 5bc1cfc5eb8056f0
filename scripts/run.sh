#!/usr/bin/env bash
# Builds and starts the application. Usage: scripts/run.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" run
cmake -S "$top" -B "$top/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DVIRELON_BUILD_TESTS=OFF -DVIRELON_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$top/build/release" --target virelon-voices
exec "$top/build/release/VirelonIOS/virelon-voices" "$@"
