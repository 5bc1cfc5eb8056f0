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
    # The session has no dconf: the settings of GLib programs (the accessibility bus launcher)
    # live in memory, instead of failing to be written.
    export GSETTINGS_BACKEND=memory
    unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
    # The bus and the services it starts (the accessibility bus, its registry) write to a log of
    # the session, shown only when the command fails: on a passing run their activations and
    # reloads are noise. The command keeps the caller's output, passed on as descriptors 3 and 4.
    status=0
    dbus-run-session --config-file="$root/bus.conf" -- "$0" "$@" 3>&1 4>&2 >"$root/bus.log" 2>&1 ||
        status=$?
    if [ "$status" -ne 0 ] && grep -qv 'Failed to set fd limit' "$root/bus.log"; then
        echo "test-env.sh: the session bus and the services it started said:" >&2
        grep -v 'Failed to set fd limit' "$root/bus.log" >&2
    fi
    exit "$status"
fi
exec 1>&3 2>&4 3>&- 4>&-

# Inside the session: start the keyring and wait until its bus name is owned, so that no client
# activates a second one.
eval "$(printf 'test' | gnome-keyring-daemon --unlock --components=secrets --daemonize)"
export GNOME_KEYRING_CONTROL
gdbus wait --session --timeout 10 org.freedesktop.secrets

# A speech-dispatcher of its own, with a private configuration (any AddModule line turns
# autodetection off) and a known voice list: "testvoices", whose "Kate+Loud" is Kate with a
# variant, named the way espeak-ng names variants, and a module named after the application
# identifier (read from the build folder's identifiers.env when run there), as the speech engine
# registers itself.
# Sound goes to libao's null driver: with no sound card a message would never end and the server
# would then ignore SIGTERM. The configuration path on its command line (and on its modules')
# lies in the folder made above, so the clean-up ends them. VIRELON_TEST_ESPEAK_NG=1 adds
# espeak-ng (13,362 voices and variants) for benchmarks; tests expect the list without it.
if [ -f identifiers.env ]; then
    # shellcheck disable=SC1091
    . ./identifiers.env
fi
app_module="${VIRELON_APPLICATION_IDENTIFIER:-org.virelon.voices.ios}"
speechd_config="$XDG_CONFIG_HOME/speech-dispatcher"
speechd_socket="$XDG_RUNTIME_DIR/speech-dispatcher/speechd.sock"
speechd_log="$VIRELON_TEST_ROOT/speech-dispatcher.log"
mkdir -p "$speechd_config/modules"
printf 'default_driver=null\n' >"$HOME/.libao"
{
    echo 'AudioOutputMethod "libao"'
    echo 'AddModule "testvoices" "sd_generic" "testvoices.conf"'
    echo "AddModule \"$app_module\" \"sd_generic\" \"$app_module.conf\""
    if [ -n "${VIRELON_TEST_ESPEAK_NG:-}" ]; then
        cp /etc/speech-dispatcher/modules/espeak-ng.conf "$speechd_config/modules/"
        echo 'AddModule "espeak-ng" "sd_espeak-ng" "espeak-ng.conf"'
    fi
    echo 'DefaultModule "testvoices"'
} >"$speechd_config/speechd.conf"
cat >"$speechd_config/modules/testvoices.conf" <<'SPEECHD'
GenericExecuteSynth "true"
AddVoice "en-GB" "FEMALE1" "Kate"
AddVoice "en-GB" "FEMALE2" "Kate+Loud"
AddVoice "de-DE" "MALE1" "Jonas"
AddVoice "fr-FR" "FEMALE3" "Amélie"
AddVoice "es-419" "MALE2" "Diego"
SPEECHD
cat >"$speechd_config/modules/$app_module.conf" <<'SPEECHD'
GenericExecuteSynth "true"
AddVoice "en-US" "FEMALE1" "Ava"
AddVoice "en-GB" "MALE1" "Oliver"
SPEECHD
if ! speech-dispatcher -d -t 0 -C "$speechd_config" >"$speechd_log" 2>&1; then
    echo "test-env.sh: speech-dispatcher did not start:" >&2
    cat "$speechd_log" >&2
    exit 1
fi
for _ in $(seq 100); do
    [ -S "$speechd_socket" ] && break
    sleep 0.1
done
if [ ! -S "$speechd_socket" ]; then
    echo "test-env.sh: no speech-dispatcher socket at $speechd_socket" >&2
    exit 1
fi

exec "$@"
