#!/usr/bin/env bash
# Inside a test session (scripts/test-env.sh): starts a virtual X display (Xvfb) and the
# accessibility bus, then runs the command with DISPLAY set and Qt's AT-SPI bridge on, as a
# screen reader would find the desktop. Usage: scripts/with-display.sh COMMAND [ARGS...]
set -euo pipefail
: "${VIRELON_BUS_SERVICES:?run this inside scripts/test-env.sh}"

# Xvfb picks a free display number and writes it to the given descriptor.
exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
# Waits for the server to be gone: one started right after would otherwise be given the same
# display number and lose its socket when this one's exit removes it.
trap 'kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true' EXIT
read -r -t 10 -u "$displayfd" number || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$number"

# The accessibility bus is activated on the private session bus; Qt only turns its bridge on when
# org.a11y.Bus exists. Enabling accessibility through the bus needs dconf, hence the variable.
cp /usr/share/dbus-1/services/org.a11y.Bus.service "$VIRELON_BUS_SERVICES/"
gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.ReloadConfig >/dev/null
gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
    --method org.a11y.Bus.GetAddress >/dev/null
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb
unset QT_ACCESSIBILITY_DISABLED

status=0
"$@" || status=$?
exit "$status"
