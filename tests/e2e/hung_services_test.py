# The settings screen over AT-SPI, for what Orca's speech does not show (orca_test.py hears the
# rest): the rows that take no focus, the status line and the whole voice list with every
# service answering. Then launches with one service hung or missing, where the window still
# appears within a bound far below D-Bus's 25 s and the launch still stores the chosen voice:
#   - a session bus that accepts connections and never answers, one that answers Hello and no
#     other call, and none at all (without the launch's bus check Qt's accessibility bridge
#     would wait on the first two);
#   - a keychain that is not running: org.freedesktop.secrets is activatable on a private bus
#     (its start is recorded); the legacy lookup asks only a running one, so nothing is started;
#   - a speech server that accepts connections and never answers: the voice listing gives up,
#     the list stays empty and the user is told.
# Usage (inside scripts/test-env.sh and scripts/with-display.sh):
#     /usr/bin/python3 hung_services_test.py --app PATH --application-identifier ID --version TEXT

import os
import socket
import subprocess
import tempfile
import threading

import pyatspi

from e2e_support import check, launch, option, stop, stored_settings, wait_for, write

LIMIT = 15  # did not hang
NOT_LISTED = "The installed voices could not be listed."  # and none was stored to keep
VOICES = ["English (United Kingdom), Kate", "French (France), Amélie", "German (Germany), Jonas",
          "Spanish (Latin America), Diego"]  # "Kate+Loud" (a variant) and Virelon's own left out
SLIDERS = ["Intonation", "Head size", "Voicing", "Word pause", "Phrase pause"]


def find(root, role, name=None):  # depth first, in reading order
    return [root] * (root.getRoleName() == role and name in (None, root.name)) + [
        node for child in root if child for node in find(child, role, name)]


def frame_of(pid):
    return wait_for("the frame on the accessibility bus", lambda: [
        window for app in pyatspi.Registry.getDesktop(0) if app and app.get_process_id() == pid
        for window in find(app, "frame")], LIMIT)[0]


def voices(frame):
    combo = find(frame, "combo box")[0]
    enabled = combo.getState().contains(pyatspi.STATE_ENABLED)
    return [enabled] + [item.name for item in find(combo, "list item")]


# A Unix socket that accepts every connection and never says a word: the connections made.
def silent_socket(path):
    server, connections = socket.socket(socket.AF_UNIX), []
    server.bind(path)
    server.listen(16)
    threading.Thread(target=lambda: connections.extend(iter(lambda: server.accept()[0], None)),
                     daemon=True).start()
    return connections


# A dbus-daemon with `policy` on which org.freedesktop.secrets can be activated: the program it
# would start leaves a file "asked" and never takes the name.
def private_bus(folder, policy, closers):
    write(folder + "/services/org.freedesktop.secrets.service", "[D-BUS Service]\nName=org."
          "freedesktop.secrets\nExec=/bin/sh -c 'touch %s/asked; exec sleep 60'\n" % folder)
    write(folder + "/bus.conf", "<busconfig><type>session</type><listen>unix:dir=%s</listen><auth>"
          "EXTERNAL</auth><servicedir>%s/services</servicedir><policy context='default'>%s"
          "</policy></busconfig>" % (folder, folder, policy))
    daemon = subprocess.Popen(["dbus-daemon", "--config-file=" + folder + "/bus.conf", "--nofork",
                               "--print-address=1"], stdout=subprocess.PIPE, text=True,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    closers.append(lambda: os.killpg(daemon.pid, 15))
    return daemon.stdout.readline().strip()


def main():
    program, identifier = option("--app"), option("--application-identifier")
    scratch = tempfile.mkdtemp(prefix="hung_services.", dir=os.environ["VIRELON_TEST_ROOT"])
    closers = []

    def start(name, **environment):
        print("launch:", name)
        config_home = tempfile.mkdtemp(dir=scratch)
        app = launch(program, dict(os.environ, XDG_CONFIG_HOME=config_home, **environment),
                     LIMIT)[0]
        closers.append(lambda: stop(app))
        return app, lambda: stored_settings(config_home, identifier).get("fallbackVoiceIdentifier")

    try:
        app, stored = start("every service answers")
        frame = frame_of(app.pid)
        panels = {panel.name: panel for panel in find(frame, "panel")}
        check(list(panels) == ["Status", "VoiceOver", "Fallback", "Voice Controls", "About"]
              and [h.name for h in find(frame, "heading")] == ["Virelon"], "sections")
        for section, pairs in {
                "Status": [("Engine", "Ready"), ("Languages", "25"), ("Voices", "52"),
                           ("Processing", "On device")],
                "Voice Controls": [("Rate", "VoiceOver"), ("Pitch", "VoiceOver"),
                                   ("Volume", "VoiceOver")] + [(t, t) for t in SLIDERS],
                "About": [("Speech engine", "Virelon"), ("Version", option("--version"))]}.items():
            # (label, what it labels) in reading order: what a screen reader reads as one line
            found = [(node.name, relation.getTarget(0).name) for node in panels[section]
                     if node.getRoleName() == "label" for relation in node.getRelationSet()
                     if relation.getRelationType() == pyatspi.RELATION_LABEL_FOR]
            check(found == pairs, "%s reads %r, expected %r" % (section, found, pairs))
        status = find(frame, "status bar")[0]
        check(status.name == "Virelon is ready.", "status line at first: %r" % status.name)
        wait_for("the voices", lambda: voices(frame) == [True] + VOICES, LIMIT)
        wait_for("the chosen voice stored", lambda: stored() == "testvoices/Kate", LIMIT)
        find(frame, "push button", "Refresh Virelon Voices")[0].queryAction().doAction(0)
        wait_for("the refresh's result to stay in the status line",
                 lambda: status.name == "Virelon and fallback voices were refreshed.", LIMIT)
        stop(app)

        hung_bus = silent_socket(scratch + "/hung-bus")
        keychain = private_bus(scratch + "/keychain", "<allow send_destination='*' eavesdrop="
                               "'true'/><allow eavesdrop='true'/><allow own='*'/>", closers)
        # Answers Hello and nothing else: every other call and its error are refused.
        hello_only = private_bus(scratch + "/hello", "<allow send_destination='org.freedesktop."
                                 "DBus' send_interface='org.freedesktop.DBus' send_member='Hello'"
                                 "/><allow receive_type='method_return'/><allow own='*'/>",
                                 closers)
        # (Qt 6.4 ignores a directly named accessibility bus: these are judged by what they store.)
        for name, address in [("hung session bus", "unix:path=" + scratch + "/hung-bus"),
                              ("no session bus", "unix:path=" + scratch + "/none"),
                              ("Hello-only session bus", hello_only),
                              ("keychain not running", keychain)]:
            app, stored = start(name, DBUS_SESSION_BUS_ADDRESS=address)
            wait_for(name + ": the chosen voice stored", stored, LIMIT)
            check(app.poll() is None, "%s: the application ended" % name)
            stop(app)
        check(hung_bus, "the hung bus was not asked")
        check(not os.path.exists(scratch + "/keychain/asked"), "the launch started the keychain")

        speech = silent_socket(scratch + "/hung-speech")
        app, stored = start("hung speech server", SPEECHD_ADDRESS="unix_socket:" + scratch +
                            "/hung-speech")
        frame = frame_of(app.pid)
        wait_for("the listing to give up and say so",
                 lambda: speech and find(frame, "status bar")[0].name == NOT_LISTED, LIMIT)
        check(voices(frame) == [False] and not stored(), "listed or stored")
        print("screen and hung services: all checks passed")
    finally:
        for close in closers:
            close()


if __name__ == "__main__":
    main()
