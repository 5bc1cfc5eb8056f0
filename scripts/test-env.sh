#!/usr/bin/env bash
# Runs a command inside a private desktop session made for tests:
#  - its own HOME, XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME and XDG_RUNTIME_DIR (mode 0700);
#  - a private session bus that auto-starts nothing installed on the machine;
#  - an unlocked gnome-keyring holding the Secret Service (org.freedesktop.secrets).
# Everything is removed again when the command ends. Usage: scripts/test-env.sh COMMAND [ARGS...]
# The command sees VIRELON_TEST_ROOT (the session's folder) and VIRELON_BUS_SERVICES (the bus's
# service folder, empty unless a test puts a service file there).
set -euo pipefail

if [ -z "${VIRELON_TEST_ENV_INNER:-}" ]; then
    root=$(mktemp -d "${TMPDIR:-/tmp}/virelon-test.XXXXXX")
    mkdir -p "$root"/{home,config,data,cache,runtime,bus-services}
    chmod 700 "$root/runtime"
    cat >"$root/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir=$root/runtime</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$root/bus-services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
    cleanup() {
        # Services started inside the session carry its folder in their environment.
        pkill -f -- "$root" 2>/dev/null || true
        rm -rf "$root"
    }
    trap cleanup EXIT
    export HOME="$root/home" XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data"
    export XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/runtime"
    export VIRELON_TEST_ROOT="$root" VIRELON_BUS_SERVICES="$root/bus-services"
    export VIRELON_TEST_ENV_INNER=1
    unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
    status=0
    dbus-run-session --config-file="$root/bus.conf" -- "$0" "$@" 2> >(grep -v 'Failed to set fd limit' >&2) || status=$?
    exit "$status"
fi

# Inside the session: start the keyring and wait until its bus name is owned, so that no client
# activates a second one.
eval "$(printf 'test' | gnome-keyring-daemon --unlock --components=secrets --daemonize)"
export GNOME_KEYRING_CONTROL
gdbus wait --session --timeout 10 org.freedesktop.secrets

exec "$@"
