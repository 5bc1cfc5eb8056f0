# The settings screen over AT-SPI, for what Orca's speech does not show (orca_test.py hears the
# rest): the rows that take no focus, the status line and the whole voice list with every
# service answering; then launches with one service hung or missing, where the window still
# appears and the screen works with what it has:
#   - a session bus that accepts connections and never answers (without the launch's bus check
#     Qt's accessibility bridge would wait for ever), and no session bus at all;
#   - a keychain that never appears: org.freedesktop.secrets is activatable on a private bus but
#     never takes its name (D-Bus holds the request 25 s; the legacy lookup gives up sooner);
#   - a speech server that accepts connections and never answers: the voice listing gives up,
#     the list stays empty and the user is told, at launch and on a refresh.
# Usage (inside scripts/test-env.sh and scripts/with-display.sh):
#     /usr/bin/python3 hung_services_test.py --app PATH --application-identifier ID --version TEXT

import os
import socket
import subprocess
import sys
import tempfile
import threading

import pyatspi

from e2e_support import (Failure, application_frame, check, children, find_all, find_one, launch,
                         states, stop, stored_settings, wait_for)

LIMIT = 15  # did not hang: far above every bound, far below D-Bus's 25 s
NOT_LISTED = "The installed voices could not be listed. The fallback voice was kept."
VOICES = ["English (United Kingdom), Kate", "French (France), Amélie", "German (Germany), Jonas",
          "Spanish (Latin America), Diego"]  # "Kate+Loud" (a variant) and Virelon's own left out
SLIDERS = ["Intonation", "Head size", "Voicing", "Word pause", "Phrase pause"]


class SilentSocket:
    """A Unix socket that accepts every connection and never says a word."""

    def __init__(self, path):
        self.path, self.connections = path, []
        self._server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._server.bind(path)
        self._server.listen(16)
        threading.Thread(target=lambda: self.connections.extend(iter(
            lambda: self._server.accept()[0], None)), daemon=True).start()

    def hung_up(self):
        """How many connections the client has closed."""
        closed = 0
        for connection in list(self.connections):
            try:
                while connection.recv(4096, socket.MSG_DONTWAIT):
                    pass
                closed += 1
            except OSError:
                pass
        return closed


def labelled_values(panel):
    """(label, what it labels) in reading order: what a screen reader reads as one line."""
    return [(node.name, relation.getTarget(0).name) for node in children(panel)
            if node.getRoleName() == "label" for relation in node.getRelationSet()
            if relation.getRelationType() == pyatspi.RELATION_LABEL_FOR]


def voices(combo):
    return [item.name for child in children(combo) if child.getRoleName() == "list"
            for item in children(child)]


def press_refresh(frame):
    button = find_one(frame, "push button", "Refresh Virelon Voices").queryAction()
    check(button.doAction([button.getName(i) for i in range(button.nActions)].index("Press")),
          "the button refused Press")


def private_bus(folder, policy, closers):
    """A dbus-daemon with `policy`, on which org.freedesktop.secrets can be activated but the
    program it starts never takes the name."""
    os.makedirs(folder + "/services")
    with open(folder + "/services/org.freedesktop.secrets.service", "w") as file:
        file.write("[D-BUS Service]\nName=org.freedesktop.secrets\n"
                   "Exec=/bin/sh -c 'touch %s/asked; exec sleep 60'\n" % folder)
    with open(folder + "/bus.conf", "w") as file:
        file.write("<busconfig><type>session</type><listen>unix:dir=%s</listen><auth>EXTERNAL"
                   "</auth><servicedir>%s/services</servicedir><policy context='default'>%s"
                   "</policy></busconfig>" % (folder, folder, policy))
    daemon = subprocess.Popen(["dbus-daemon", "--config-file=" + folder + "/bus.conf", "--nofork",
                               "--print-address=1"], stdout=subprocess.PIPE, text=True,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    closers.append(lambda: os.killpg(daemon.pid, 15))
    return daemon.stdout.readline().strip()


def main():
    option = lambda name: sys.argv[sys.argv.index(name) + 1]
    program, identifier = option("--app"), option("--application-identifier")
    scratch = tempfile.mkdtemp(prefix="hung_services.", dir=os.environ["VIRELON_TEST_ROOT"])
    apps, closers = [], []

    def start(name, **environment):
        config_home = tempfile.mkdtemp(dir=scratch)
        print("launch:", name)
        app = launch(program, dict(os.environ, XDG_CONFIG_HOME=config_home, **environment), LIMIT)[0]
        apps.append(app)
        return app, lambda: stored_settings(config_home, identifier)

    try:
        # Every service answers: the rows top to bottom, the voices, the status line.
        app, stored = start("every service answers")
        frame = application_frame(app.pid, LIMIT)
        panels = {panel.name: panel for panel in find_all(frame, "panel")}
        check(list(panels) == ["Status", "VoiceOver", "Fallback", "Voice Controls", "About"],
              "sections: %r" % list(panels))
        check([h.name for h in find_all(frame, "heading")] == ["Virelon"], "headings")
        for section, pairs in {
                "Status": [("Engine", "Ready"), ("Languages", "25"), ("Voices", "52"),
                           ("Processing", "On device")],
                "Voice Controls": [("Rate", "VoiceOver"), ("Pitch", "VoiceOver"),
                                   ("Volume", "VoiceOver")] + [(t, t) for t in SLIDERS],
                "About": [("Speech engine", "Virelon"), ("Version", option("--version"))]}.items():
            found = labelled_values(panels[section])
            check(found == pairs, "%s reads %r, expected %r" % (section, found, pairs))
        status = find_one(frame, "status bar")
        check(status.name == "Virelon is ready.", "status line at first: %r" % status.name)
        combo = find_one(frame, "combo box")
        wait_for("the voices", lambda: "enabled" in states(combo) and voices(combo) == VOICES, LIMIT)
        wait_for("the chosen voice stored", lambda: stored().get("fallbackVoiceIdentifier")
                 == "testvoices/Kate", LIMIT)
        press_refresh(frame)
        wait_for("the refresh's result to stay in the status line",
                 lambda: status.name == "Virelon and fallback voices were refreshed.", LIMIT)
        stop(app)

        bus = SilentSocket(os.path.join(scratch, "hung-bus"))
        keychain = private_bus(scratch + "/keychain", "<allow send_destination='*' eavesdrop="
                               "'true'/><allow eavesdrop='true'/><allow own='*'/>", closers)
        # Answers Hello, but no other call: errors, as for a call it refuses, never arrive.
        hello_only = private_bus(scratch + "/hello", "<allow send_destination='*'/><deny "
                                 "send_destination='org.freedesktop.DBus' send_member='GetId'/>"
                                 "<allow receive_type='method_return'/><allow receive_type="
                                 "'signal'/><allow own='*'/>", closers)
        # Without a bus nobody hears the change, but the launch still lists and stores the voice.
        # (Qt 6.4 ignores a directly named accessibility bus, so these are judged by what they
        # store.)
        for name, address in [("hung session bus", "unix:path=" + bus.path),
                              ("no session bus", "unix:path=" + scratch + "/none"),
                              ("Hello-only session bus", hello_only),
                              ("keychain never appears", keychain)]:
            app, stored = start(name, DBUS_SESSION_BUS_ADDRESS=address)
            wait_for(name + ": the chosen voice stored",
                     lambda: stored().get("fallbackVoiceIdentifier"), LIMIT)
            check(app.poll() is None, "%s: the application ended" % name)
            stop(app)
        check(bus.connections and os.path.exists(scratch + "/keychain/asked"), "a service was not asked")

        speech = SilentSocket(os.path.join(scratch, "hung-speech"))
        app, stored = start("hung speech server", SPEECHD_ADDRESS="unix_socket:" + speech.path)
        frame = application_frame(app.pid, LIMIT)
        status, combo = find_one(frame, "status bar"), find_one(frame, "combo box")
        for hung_up in (1, 2):  # at launch, then on a refresh
            wait_for("the listing to give up and say so",
                     lambda: speech.hung_up() >= hung_up and status.name == NOT_LISTED, LIMIT)
            check(not voices(combo) and "enabled" not in states(combo), "the voice list")
            if hung_up == 1:
                press_refresh(frame)
        check("fallbackVoiceIdentifier" not in stored(), "stored %r" % stored())
        print("screen and hung services: all checks passed")
        return 0
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        return 1
    finally:
        for app in apps:
            stop(app)
        for close in closers:
            close()


if __name__ == "__main__":
    sys.exit(main())
