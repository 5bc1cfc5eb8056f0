"""Launch with a service that is hung or missing: the window still appears, each wait stays within
its bound, and the screen works with what it has.

Each case starts the real application with one service broken on purpose and compares its first
frame with a launch where every service answers, measured in the same run:
  - a session bus that accepts connections and never answers (the launch's bus check gives up
    after 0.5 s; without it Qt's accessibility bridge would wait for ever);
  - a session bus that is missing (nothing may wait);
  - a keychain that never appears: a private bus whose org.freedesktop.secrets service is
    activatable but never takes its name (the legacy lookup gives up after 0.5 s);
  - a speech server that accepts connections and never answers (the voice listing gives up after
    2 s, after the first frame, and the list stays empty).

Usage (inside scripts/test-env.sh and scripts/with-display.sh):
    /usr/bin/python3 hung_services_test.py --app PATH --application-identifier ID
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from e2e_support import (Application, Failure, application_frame, check, children, do_action,
                         find_one, states, stored_settings, wait_for)

# Generous against a sanitizer build on two busy cores; the bounds themselves are far smaller.
FRAME_LIMIT = 5.0
SLACK = 1.0
KEYCHAIN_BOUND = 0.5
BUS_BOUND = 0.5
SPEECH_BOUND = 2.0
STEP_TIMEOUT = 20
NOT_LISTED = "The installed voices could not be listed. The fallback voice was kept."
VOICE_COUNT = 4


class SilentSocket:
    """A Unix socket that accepts every connection and never says a word."""

    def __init__(self, path):
        self.path = path
        self.connections = []
        self._server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._server.bind(path)
        self._server.listen(16)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                connection, _ = self._server.accept()
            except OSError:
                return
            self.connections.append(connection)

    def hung_up(self):
        """How many of the connections the client has closed (what it sent is read and dropped)."""
        closed = 0
        for connection in list(self.connections):
            try:
                while connection.recv(4096, socket.MSG_DONTWAIT):
                    pass
                closed += 1
            except (BlockingIOError, OSError):
                pass
        return closed

    def close(self):
        self._server.close()
        for connection in self.connections:
            connection.close()


class KeychainNeverAppears:
    """A private session bus on which org.freedesktop.secrets can be activated, but the program
    it starts never takes the name; the bus answers everything else."""

    def __init__(self, folder):
        services = os.path.join(folder, "services")
        os.makedirs(services)
        self.pid_file = os.path.join(folder, "keychain.pid")
        with open(os.path.join(services, "org.freedesktop.secrets.service"), "w") as file:
            file.write("[D-BUS Service]\nName=org.freedesktop.secrets\n"
                       "Exec=/bin/sh -c 'echo $$ > %s; exec /bin/sleep 60'\n" % self.pid_file)
        config = os.path.join(folder, "bus.conf")
        with open(config, "w") as file:
            file.write("""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%s</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%s</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""" % (folder, services))
        self.daemon = subprocess.Popen(
            ["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        self.address = self.daemon.stdout.readline().strip()
        check(self.address, "the private bus did not start")

    def activation_started(self):
        return os.path.exists(self.pid_file)

    def close(self):
        if self.activation_started():
            try:
                with open(self.pid_file) as file:
                    os.kill(int(file.read().strip()), signal.SIGTERM)
            except (OSError, ValueError):
                pass
        self.daemon.terminate()
        self.daemon.wait(timeout=10)


class Case:
    def __init__(self, options, name, scratch):
        self.options, self.name = options, name
        self.config_home = tempfile.mkdtemp(prefix="config.", dir=scratch)
        self.environment = dict(os.environ, XDG_CONFIG_HOME=self.config_home)
        self.app = None

    def launch(self):
        self.app = Application(self.options.app, self.environment)
        self.first_frame = self.app.wait_first_frame(FRAME_LIMIT + 30)
        check(self.first_frame <= FRAME_LIMIT, "%s: first frame after %.2f s (limit %.1f s)"
              % (self.name, self.first_frame, FRAME_LIMIT))
        return self.first_frame

    def stored(self):
        return stored_settings(self.config_home, self.options.application_identifier)

    def wait_voice_stored(self):
        """The launch task has listed the voices and stored the chosen one."""
        wait_for("%s: the chosen voice stored" % self.name,
                 lambda: self.stored().get("fallbackVoiceIdentifier"), STEP_TIMEOUT)

    def alive(self):
        check(self.app.process.poll() is None,
              "%s: the application ended (status %s)" % (self.name, self.app.process.poll()))

    def stop(self):
        if self.app:
            self.app.stop()


def combo_box(frame):
    return find_one(frame, "combo box")


def voice_items(combo):
    return [item for child in children(combo) if child.getRoleName() == "list"
            for item in children(child)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--application-identifier", required=True)
    options = parser.parse_args()

    scratch = tempfile.mkdtemp(prefix="hung_services.", dir=os.environ.get("XDG_CONFIG_HOME"))
    cases, closers, figures = [], [], []

    def case(name):
        made = Case(options, name, scratch)
        cases.append(made)
        return made

    try:
        # Every service answers: the reference for the delays below.
        reference = case("all services answer")
        reference_frame = reference.launch()
        frame = application_frame(reference.app.pid, STEP_TIMEOUT)
        combo = combo_box(frame)
        wait_for("the voices", lambda: len(voice_items(combo)) == VOICE_COUNT, STEP_TIMEOUT)
        reference.wait_voice_stored()
        figures.append((reference.name, reference_frame, 0.0, ""))
        reference.stop()

        def launched_within(broken, bound):
            """Launches with one service broken: the first frame comes within the service's
            bound of the reference, and the chosen voice is still stored."""
            delay = broken.launch() - reference_frame
            check(delay <= bound + SLACK, "%s: first frame %.2f s later than with every "
                  "service (bound %.1f s)" % (broken.name, delay, bound))
            broken.wait_voice_stored()
            broken.alive()
            figures.append((broken.name, broken.first_frame, delay, ""))
            broken.stop()

        # A session bus that never answers.
        bus = SilentSocket(os.path.join(scratch, "hung-bus.sock"))
        closers.append(bus)
        hung_bus = case("session bus never answers")
        hung_bus.environment["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus.path
        launched_within(hung_bus, BUS_BOUND)
        check(bus.connections, "nothing connected to the silent bus")
        # Nobody hears the change, but the launch task still lists and stores the voice.

        # No session bus at all: nothing to wait for.
        missing_bus = case("session bus missing")
        missing_bus.environment["DBUS_SESSION_BUS_ADDRESS"] = (
            "unix:path=" + os.path.join(scratch, "no-bus-here"))
        launched_within(missing_bus, 0.0)

        # A keychain that never appears, on a private bus that answers everything else. (Qt 6.4
        # ignores a directly named accessibility bus, so this screen is judged by what it stores.)
        keychain = KeychainNeverAppears(tempfile.mkdtemp(prefix="keychain.", dir=scratch))
        closers.append(keychain)
        hung_keychain = case("keychain never appears")
        hung_keychain.environment["DBUS_SESSION_BUS_ADDRESS"] = keychain.address
        launched_within(hung_keychain, KEYCHAIN_BOUND)
        check(keychain.activation_started(), "the keychain was never asked for")

        # A speech server that never answers: the voices are listed after the first frame, so
        # the frame is not held up; the list stays empty, the picker disabled, and the user is
        # told that the voices could not be listed.
        speech = SilentSocket(os.path.join(scratch, "hung-speech.sock"))
        closers.append(speech)
        hung_speech = case("speech server never answers")
        hung_speech.environment["SPEECHD_ADDRESS"] = "unix_socket:" + speech.path
        delay = hung_speech.launch() - reference_frame
        check(delay <= SLACK, "%s: first frame %.2f s later than with every service"
              % (hung_speech.name, delay))
        frame = application_frame(hung_speech.app.pid, STEP_TIMEOUT)
        combo = combo_box(frame)
        wait_for("the launch task to ask the speech server", lambda: speech.connections,
                 STEP_TIMEOUT)
        # The window answers while the listing waits on the server: nothing listed yet.
        check(not voice_items(combo) and "enabled" not in states(combo),
              "%s: combo box lists %d voices, states %s while the listing waits"
              % (hung_speech.name, len(voice_items(combo)), sorted(states(combo))))
        status = find_one(frame, "status bar")
        wait_for("the launch listing to give up and say so",
                 lambda: speech.hung_up() >= 1 and status.name == NOT_LISTED,
                 SPEECH_BOUND + STEP_TIMEOUT)
        # A refresh asks again; it is answered once the listing has given up.
        button = find_one(frame, "push button", "Refresh Virelon Voices")
        pressed = time.monotonic()
        do_action(button, "Press", "click")
        wait_for("the refresh's listing to give up", lambda: speech.hung_up() >= 2,
                 SPEECH_BOUND * 2 + STEP_TIMEOUT)
        refresh = time.monotonic() - pressed
        wait_for("the failure shown again", lambda: status.name == NOT_LISTED, STEP_TIMEOUT)
        check(len(speech.connections) >= 2, "the refresh did not ask the speech server")
        # At least most of the bound: the listing really waited for the silent server.
        check(SPEECH_BOUND * 0.75 <= refresh <= SPEECH_BOUND + SLACK,
              "%s: refresh took %.2f s (bound %.1f s)" % (hung_speech.name, refresh, SPEECH_BOUND))
        check(voice_items(combo) == [] and "enabled" not in states(combo),
              "%s: combo box lists %d voices, states %s"
              % (hung_speech.name, len(voice_items(combo)), sorted(states(combo))))
        check("fallbackVoiceIdentifier" not in hung_speech.stored(),
              "%s: stored %r" % (hung_speech.name, hung_speech.stored()))
        hung_speech.alive()
        figures.append((hung_speech.name, hung_speech.first_frame, delay,
                        "refresh answered after %.2f s" % refresh))
        hung_speech.stop()

        for name, first_frame, delay, note in figures:
            print("%-28s first frame %.3f s  (%+.3f s)  %s" % (name, first_frame, delay, note))
        print("hung services: all checks passed")
        return 0
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        return 1
    finally:
        for made in cases:
            made.stop()
        for closer in closers:
            closer.close()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
