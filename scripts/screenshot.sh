#!/usr/bin/env bash
# Takes the pictures in docs/: the settings window as it first appears with the test session's
# voices, in English (docs/screenshot.png) and in German (docs/screenshot-de.png). Runs the
# application inside a private session (scripts/test-env.sh) on a virtual display
# (scripts/with-display.sh) and captures the window alone.
# Usage: scripts/screenshot.sh [PATH-TO-virelon-voices]   (builds it when no path is given)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${VIRELON_SCREENSHOT_INNER:-}" ]; then
    "$top/scripts/install-deps.sh" test
    if [ $# -ge 1 ]; then
        app=$(realpath "$1")
    else
        cmake -S "$top" -B "$top/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
              -DVIRELON_BUILD_TESTS=OFF -DVIRELON_BUILD_BENCHMARKS=OFF >/dev/null
        cmake --build "$top/build/release" --target virelon-voices
        app="$top/build/release/VirelonIOS/virelon-voices"
    fi
    mkdir -p "$top/docs"
    VIRELON_SCREENSHOT_INNER=1 exec "$top/scripts/test-env.sh" "$top/scripts/with-display.sh" \
        "$0" "$app" "$top/docs"
fi

# Inside the session, with DISPLAY set.
app=$1
out=$2

# Polls up to $1 tenths of a second for the command after it to succeed.
poll() {
    local tries=$1
    shift
    for _ in $(seq "$tries"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# voice_stored CONFIG-HOME: the settings file there holds a fallback voice.
voice_stored() {
    local database
    for database in "$1"/group.*/preferences.db; do
        [ -f "$database" ] && [ -n "$(sqlite3 "file:$database?mode=ro" \
            "SELECT value FROM preferences WHERE key = 'fallbackVoiceIdentifier'" 2>/dev/null)" ] &&
            return 0
    done
    return 1
}

# shot LANG FILE: one launch with its own settings, so that every control shows its default.
shot() {
    local lang=$1 file=$2 config pid window previous="" current
    config=$(mktemp -d "$VIRELON_TEST_ROOT/screenshot.XXXXXX")
    LANG=$lang LC_ALL='' LANGUAGE='' XDG_CONFIG_HOME=$config "$app" &
    pid=$!
    # The window is up once it is mapped; the voices once the chosen one has been stored (the
    # launch task stores it in the update that fills the list).
    window=$(poll 300 xdotool search --onlyvisible --pid "$pid" | head -n 1) ||
        { echo "screenshot.sh: no window for $lang" >&2; kill "$pid" 2>/dev/null; return 1; }
    poll 300 voice_stored "$config" ||
        { echo "screenshot.sh: no voices for $lang" >&2; kill "$pid" 2>/dev/null; return 1; }
    # Capture until two pictures in a row agree: the last repaint has then reached the screen.
    for _ in $(seq 50); do
        import -window "$window" "$file.tmp.png"
        current=$(md5sum <"$file.tmp.png")
        [ "$current" = "$previous" ] && break
        previous=$current
        sleep 0.1
    done
    mv "$file.tmp.png" "$file"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    echo "wrote $file ($(identify -format '%wx%h' "$file"))"
}

shot en_US.UTF-8 "$out/screenshot.png"
shot de_DE.UTF-8 "$out/screenshot-de.png"
