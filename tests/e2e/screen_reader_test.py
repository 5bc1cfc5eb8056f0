"""The settings screen over AT-SPI, for what Orca's speech does not show (orca_test.py hears the
rest): the rows that take no focus, the status line, the whole voice list, and the stored
settings and change signals that each change makes, checked from outside the way the speech
engine sees them.

Usage (inside scripts/test-env.sh and scripts/with-display.sh):
    /usr/bin/python3 screen_reader_test.py --app PATH --application-identifier ID --version TEXT
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading

import pyatspi

from e2e_support import (Application, Failure, application_frame, check, children, do_action,
                         find_all, find_one, relation_targets, states, stored_settings, wait_for)

# Startup under AddressSanitizer on two busy cores is several times slower than a plain build.
FRAME_TIMEOUT = 60
STEP_TIMEOUT = 20

SECTIONS = ["Status", "VoiceOver", "Fallback", "Voice Controls", "About"]
# The voices of the test session's speech server in display order: "Kate+Loud" (a variant) and
# the voices of Virelon's own output module are left out.
VOICES = ["English (United Kingdom), Kate", "French (France), Amélie", "German (Germany), Jonas",
          "Spanish (Latin America), Diego"]
SLIDERS = ["Intonation", "Head size", "Voicing", "Word pause", "Phrase pause"]
READY = "Virelon is ready."
REFRESHED = "Virelon and fallback voices were refreshed."


class SignalMonitor:
    """dbus-monitor watching every settingsChanged signal on the session bus, as the engine
    contract says to watch it. Counts only those of one process, so that other tests posting on
    the same bus cannot change the figures."""

    def __init__(self, interface, path):
        self.interface, self.path = interface, path
        self._seen = []  # (sender, path, interface) in arrival order
        self._lock = threading.Lock()
        self._probes = 0
        self._pids = {}
        self.process = subprocess.Popen(
            ["dbus-monitor", "--session", "--profile", "type='signal',member='settingsChanged'"],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            fields = line.rstrip("\n").split("\t")
            if len(fields) >= 8 and fields[0] == "sig":
                with self._lock:
                    self._seen.append((fields[3], fields[5], fields[6]))

    def barrier(self):
        """Sends a probe signal of our own and waits until the monitor has printed it: every
        signal posted before this call has then been seen too (the monitor installed at first)."""
        self._probes += 1
        path = "/org/virelon/e2e/probe%d" % self._probes
        subprocess.run(["gdbus", "emit", "--session", "--object-path", path, "--signal",
                        "org.virelon.e2e.probe.settingsChanged"], check=True, timeout=10,
                       stdout=subprocess.DEVNULL)

        def arrived():
            with self._lock:
                return any(seen[1] == path for seen in self._seen)

        wait_for("the monitor to see probe %d" % self._probes, arrived, STEP_TIMEOUT)

    def _pid_of(self, sender):
        if sender not in self._pids:
            reply = subprocess.run(
                ["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                 "/org/freedesktop/DBus", "--method",
                 "org.freedesktop.DBus.GetConnectionUnixProcessID", sender],
                capture_output=True, text=True, timeout=10)
            # "(uint32 1234,)"; a sender that has gone away is nobody we count.
            words = reply.stdout.replace(",", " ").replace(")", " ").split()
            self._pids[sender] = int(words[1]) if reply.returncode == 0 else None
        return self._pids[sender]

    def count(self, pid):
        """Signals of the contract's interface and path sent by process `pid`, so far."""
        with self._lock:
            seen = list(self._seen)
        return sum(1 for sender, path, interface in seen
                   if path == self.path and interface == self.interface
                   and self._pid_of(sender) == pid)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def labelled_values(panel):
    """(label, what it labels) in reading order: what a screen reader reads as one line."""
    pairs = []
    for node in children(panel):
        if node.getRoleName() != "label":
            continue
        targets = relation_targets(node, pyatspi.RELATION_LABEL_FOR)
        if targets:
            pairs.append((node.name, targets[0].name))
    return pairs


def combo_items(combo):
    lists = [child for child in children(combo) if child.getRoleName() == "list"]
    return [item.name for item in children(lists[0])] if lists else []


def check_first_screen(frame, version):
    check([h.name for h in find_all(frame, "heading")] == ["Virelon"], "headings")
    panels = {panel.name: panel for panel in find_all(frame, "panel")}
    check([p.name for p in find_all(frame, "panel")] == SECTIONS,
          "sections in reading order: %r" % [p.name for p in find_all(frame, "panel")])

    expected = {
        "Status": [("Engine", "Ready"), ("Languages", "25"), ("Voices", "52"),
                   ("Processing", "On device")],
        "Voice Controls": [("Rate", "VoiceOver"), ("Pitch", "VoiceOver"),
                           ("Volume", "VoiceOver")] + [(t, t) for t in SLIDERS],
        "About": [("Speech engine", "Virelon"), ("Version", version)],
    }
    for section, pairs in expected.items():
        found = labelled_values(panels[section])
        check(found == pairs, "%s reads %r, expected %r" % (section, found, pairs))
    status = find_one(panels["VoiceOver"], "status bar")
    check(status.name == READY, "status bar reads %r at first" % status.name)
    return panels


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--application-identifier", required=True)
    parser.add_argument("--version", required=True, help="the About section's version text")
    options = parser.parse_args()
    identifier = options.application_identifier
    interface, path = identifier, "/" + identifier.replace(".", "/")

    config_home = tempfile.mkdtemp(prefix="screen_reader_e2e.",
                                   dir=os.environ.get("XDG_CONFIG_HOME"))
    environment = dict(os.environ, XDG_CONFIG_HOME=config_home)
    monitor = SignalMonitor(interface, path)
    app = None
    try:
        monitor.barrier()
        app = Application(options.app, environment)
        frame = application_frame(app.pid, FRAME_TIMEOUT)
        first_frame = app.wait_first_frame(FRAME_TIMEOUT)
        print("first frame after %.3f s" % first_frame)
        panels = check_first_screen(frame, options.version)

        # The launch task: the voice list arrives, the combo box is enabled.
        combo = find_one(panels["Fallback"], "combo box")
        wait_for("the voices in the combo box",
                 lambda: "enabled" in states(combo) and combo_items(combo) == VOICES,
                 STEP_TIMEOUT)
        wait_for("the chosen voice stored",
                 lambda: stored_settings(config_home, identifier).get("fallbackVoiceIdentifier")
                 == "testvoices/Kate", STEP_TIMEOUT)
        monitor.barrier()
        # Two writes: the launch task stores the chosen voice itself, and the selection's
        # observer stores it again because the selection changed from none to that voice.
        launch_signals = monitor.count(app.pid)
        print("signals at launch: %d" % launch_signals)
        check(launch_signals == 2, "launch sent %d signals, expected 2" % launch_signals)

        # Refresh: its result stays in the status line.
        button = find_one(panels["VoiceOver"], "push button", "Refresh Virelon Voices")
        do_action(button, "Press", "click")
        status = find_one(panels["VoiceOver"], "status bar")
        wait_for("the status line to read the result", lambda: status.name == REFRESHED,
                 STEP_TIMEOUT)
        monitor.barrier()
        # The voice stays chosen, so only the refresh's own store is signalled.
        refresh_signals = monitor.count(app.pid) - launch_signals
        print("signals for the refresh: %d" % refresh_signals)
        check(refresh_signals == 1, "refresh sent %d signals, expected 1" % refresh_signals)

        # A slider set through the Value interface, as Orca's value changes reach it.
        head_size = find_one(panels["Voice Controls"], "slider", "Head size")
        head_size.queryValue().currentValue = 37
        wait_for("Head size to read 37", lambda: head_size.queryValue().currentValue == 37,
                 STEP_TIMEOUT)
        check(stored_settings(config_home, identifier).get("headSizePercent") == 37,
              "headSizePercent stored: %r" % stored_settings(config_home, identifier))
        monitor.barrier()
        slider_signals = monitor.count(app.pid) - launch_signals - refresh_signals
        print("signals for the slider: %d" % slider_signals)
        check(slider_signals == 1, "slider sent %d signals, expected 1" % slider_signals)

        # Picking a voice. Qt 6.4's bridge offers the combo box only ShowMenu and Press (both
        # open the list) and no Selection interface; an item's Toggle selects it in the list
        # without choosing it. So, as a screen reader user does: open the list, arrow to the
        # voice, Enter. Moving through the open list chooses nothing yet.
        target = "German (Germany), Jonas"
        do_action(combo, "ShowMenu", "Press")
        items = wait_for("the open voice list",
                         lambda: [i for l in children(combo) if "showing" in states(l)
                                  for i in children(l)], STEP_TIMEOUT)
        names = [item.name for item in items]
        current = wait_for("the focused voice", lambda: [i for i, item in enumerate(items)
                                                          if "focused" in states(item)],
                           STEP_TIMEOUT)[0]
        steps = names.index(target) - current
        check(steps > 0, "list opened at %r" % names[current])
        subprocess.run(["xdotool", "key", "--delay", "50"] + ["Down"] * steps, check=True,
                       timeout=10)
        wait_for("the arrow to reach %s" % target,
                 lambda: "focused" in states(items[names.index(target)]), STEP_TIMEOUT)
        subprocess.run(["xdotool", "key", "Return"], check=True, timeout=10)
        wait_for("the combo box to read %s" % target,
                 lambda: combo.name == target, STEP_TIMEOUT)
        monitor.barrier()
        pick_signals = (monitor.count(app.pid) - launch_signals - refresh_signals
                        - slider_signals)
        print("signals for the pick: %d" % pick_signals)
        check(pick_signals == 1, "pick sent %d signals, expected 1" % pick_signals)

        # What the engine reads: exactly the two changed settings, defaults never written.
        stored = stored_settings(config_home, identifier)
        check(stored == {"fallbackVoiceIdentifier": "testvoices/Jonas", "headSizePercent": 37},
              "stored settings: %r" % stored)
        check(app.process.poll() is None, "the application ended early")
        print("screen reader end-to-end: all checks passed")
        return 0
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        return 1
    finally:
        if app:
            app.stop()
        monitor.stop()
        shutil.rmtree(config_home, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
