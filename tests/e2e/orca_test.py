# What a blind user hears: the built application under the real Orca, driven by keys alone.
#
# Orca speaks through a speech-dispatcher of its own whose only output module appends each
# utterance to a file; what Orca sent to speech is read from its debug output ("SPEECH OUTPUT:"
# lines). Each step sends a key and compares every utterance that follows with the expected ones,
# in order, so a lost, repeated or extra message fails the step. Three launches: with a usable
# settings folder and a slow speech server, then in German with one that cannot be used, so every
# store fails and is announced, then one closed during its first voice listing.
# Usage (inside scripts/test-env.sh and scripts/with-display.sh):
#     /usr/bin/python3 orca_test.py --app PATH --application-identifier ID

import os
import re
import subprocess
import tempfile
import threading
import time
import tty

from e2e_support import (SlowSpeechServer, check, launch, option, stop, stored_settings, wait_for,
                         write)

TIMEOUT = 30  # a launch of a sanitizer build on two busy cores
SPOKEN = re.compile(r"SPEECH OUTPUT: '(.*)' ?\{[^{}]*\}$")
REFRESHED = "notification Virelon and fallback voices were refreshed."
NOT_SAVED = "notification The fallback voice could not be saved."
BUTTON = ["VoiceOver panel.", "Refresh Virelon Voices push button."]
PICKER = ["Fallback panel.", "Fallback Voice combo box.", "English (United Kingdom), Kate."]
GERMAN = {"LANGUAGE": "de_DE", "LANG": "de_DE.UTF-8"}
BUTTON_DE = ["VoiceOver panel.", "Virelon-Stimmen aktualisieren push button."]
PICKER_DE = ["Ersatz panel.", "Ersatzstimme combo box.",
             "Englisch (Vereinigtes Königreich), Kate."]

# (key, what Orca says). Tab stops say label, role and value, a slider's value also as a
# percentage; arrows and a typed letter on the closed picker say the voice alone, Orca staying on
# the picker ("where am I", keypad Enter); the voice chosen in the open list is said once; a
# slider's value is spoken alone when it changes and with its percentage on "where am I"; space
# and Return press the button, and each press during a refresh runs a refresh of its own.
USABLE = [
    ("Tab", PICKER), ("Down", ["French (France), Amélie"]), ("Down", ["German (Germany), Jonas"]),
    ("Down", ["Spanish (Latin America), Diego"]), ("e", ["English (United Kingdom), Kate"]),
    ("KP_Enter", ["Fallback Voice combo box.", "down", "English (United Kingdom), Kate."]),
    ("alt+Down", ["List with 4 items.", "English (United Kingdom), Kate."]),
    ("Down", ["French (France), Amélie."]), ("Down", ["German (Germany), Jonas."]),
    ("Return", ["Fallback Voice combo box.", "German (Germany), Jonas."]),
    ("Tab", ["Voice Controls panel.", "Intonation slider 100.", "100 percent."]),
    ("Tab", ["Head size slider 50.", "50 percent."]), ("Right", ["51"]),
    ("KP_Enter", ["Head size slider 51 51 percent.", "51 percent."]), ("Page_Down", ["41"]),
    ("Tab", ["Voicing slider 100.", "100 percent."]),
    ("Tab", ["Word pause slider 0.", "0 percent."]),
    ("Tab", ["Phrase pause slider 12.", "12 percent."]), ("Tab", BUTTON), ("space", [REFRESHED]),
    ("Return Return Return", [REFRESHED] * 3)]
# Launched with the failure already announced: a voice change fails to be stored, and a refresh
# that chooses another voice announces both its result and the failed store, made in one turn;
# the slider's percentage is translated.
UNUSABLE = [("Tab", PICKER_DE),
            ("Down", ["Französisch (Frankreich), Amélie", NOT_SAVED]),
            ("shift+Tab", BUTTON_DE), ("Return", [REFRESHED, NOT_SAVED]), ("Tab", PICKER_DE),
            ("Tab", ["Stimmeinstellungen panel.", "Intonation slider 100.", "100 Prozent."])]


# Orca's utterances as they come. Orca flushes its debug file only when it is a terminal.
class Transcript:
    def __init__(self):
        self._master, slave = os.openpty()  # the slave stays open: no end of file
        tty.setraw(slave)
        self.path, self.lines = os.ttyname(slave), []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in open(self._master, "rb"):
            found = SPOKEN.search(line.decode("utf-8", "replace").rstrip("\r\n"))
            if found:
                self.lines.append(found.group(1))

    # Utterances from `start` on, once `count` have come (or 10 s passed) and 1.2 s of quiet.
    def after(self, start, count):
        deadline, seen = time.monotonic() + 10, -1
        while len(self.lines) - start < count and time.monotonic() < deadline:
            time.sleep(0.05)
        while seen != len(self.lines):
            seen = len(self.lines)
            time.sleep(1.2)
        return self.lines[start:]


# speech-dispatcher with one module appending to root/spoken, and Orca speaking to it. Orca
# refuses to start beside another Orca of the user, found with pgrep: a pgrep finding none lets
# the test run on a desktop with a screen reader.
def start_speech_and_orca(root, transcript):
    write(root + "/sd/speechd.conf", 'AudioOutputMethod "libao"\nAddModule "rec" "sd_generic" '
          '"rec.conf"\nDefaultModule "rec"\n')
    write(root + "/sd/modules/rec.conf", 'GenericExecuteSynth "printf \'%%s\\\\n\' \\\'$DATA\\\' >>'
          '%s/spoken"\nGenericLanguage "en" "en" "utf-8"\nAddVoice "en" "MALE1" "rec"\n' % root)
    write(root + "/shim/pgrep", "#!/bin/sh\nexit 1\n", 0o755)
    sd = root + "/sd"
    server = subprocess.Popen(["speech-dispatcher", "-s", "-t", "0", "-c", "unix_socket", "-S",
                               sd + "/sock", "-C", sd, "-P", sd + "/pid", "-L", sd],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for("Orca's speech server", lambda: os.path.exists(sd + "/sock"), TIMEOUT)
    orca = subprocess.Popen(["orca", "-u", root + "/orca", "-d", "key-echo", "--debug",
                             "--debug-file", transcript.path], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=dict(
                                os.environ, SPEECHD_ADDRESS="unix_socket:" + sd + "/sock",
                                PATH=root + "/shim:" + os.environ["PATH"]))
    wait_for("Orca to start", lambda: "Screen reader on." in transcript.lines, TIMEOUT)
    return [orca, server]


# Launches the application, waits for its launch to be `ready`, gives its window the keyboard
# and sends the keys of `steps`, each followed by the speech expected.
def launch_and_run(program, config_home, ready, transcript, steps, processes, button=BUTTON,
                   environment={}):
    app, window = launch(program, dict(os.environ, XDG_CONFIG_HOME=config_home, **environment),
                         TIMEOUT)
    processes.insert(0, app)
    wait_for("the launch to end", ready, TIMEOUT)
    start = len(transcript.lines)
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True, timeout=TIMEOUT)
    # Orca reads the window, and the button too when Qt's focus event reaches it after the
    # window's activation; the steps do not rely on it.
    heard = transcript.after(start, 1)
    check(heard and heard == (["Virelon frame."] + button)[:len(heard)], "focus: heard %r" % heard)
    for key, expected in steps:
        start = len(transcript.lines)
        subprocess.run(["xdotool", "key"] + key.split(), check=True, timeout=TIMEOUT)
        heard = transcript.after(start, len(expected))
        check(heard == expected, "%s: heard %r, expected %r" % (key, heard, expected))
    return app


def main():
    program, identifier = option("--app"), option("--application-identifier")
    root = tempfile.mkdtemp(prefix="orca_e2e.", dir=os.environ["VIRELON_TEST_ROOT"])
    transcript, processes = Transcript(), []
    try:
        processes += start_speech_and_orca(root, transcript)
        usable, slow = os.path.join(root, "usable"), SlowSpeechServer(root + "/slow", 0.3)
        stop(launch_and_run(program, usable, lambda: stored_settings(usable, identifier),
                            transcript, USABLE, processes, BUTTON,
                            {"SPEECHD_ADDRESS": slow.address}))
        stored = stored_settings(usable, identifier)
        check(stored == {"fallbackVoiceIdentifier": "testvoices/Jonas", "headSizePercent": 41},
              "stored: %r" % stored)
        # The settings folder's place is taken by a file.
        unusable = os.path.join(root, "unusable")
        write(os.path.join(unusable, "group." + identifier), "")
        stop(launch_and_run(program, unusable, lambda: NOT_SAVED in transcript.lines, transcript,
                            UNUSABLE, processes, BUTTON_DE, GERMAN))
        check(transcript.lines.count(NOT_SAVED) == 3, "announced: %r" % transcript.lines)
        # Every announcement reached the speech module whole and in order, none cancelled.
        with open(root + "/spoken", encoding="utf-8", errors="replace") as file:
            recorded = [line.rstrip("\n") for line in file if line.startswith("notification")]
        sent = [line for line in transcript.lines if line.startswith("notification")]
        check(recorded == sent, "the speech module recorded %r of %r" % (recorded, sent))
        # Closed while its launch lists the voices: the voice is stored before the process ends.
        # Without Orca: Qt's accessibility bridge holds each key event until the screen reader
        # has seen it, and never frees one still held when the application ends.
        stop(processes[-2])
        closed, held = os.path.join(root, "closed"), SlowSpeechServer(root + "/held", 1)
        app, window = launch(program, dict(os.environ, XDG_CONFIG_HOME=closed,
                                           SPEECHD_ADDRESS=held.address), TIMEOUT)
        processes.insert(0, app)
        wait_for("the launch's listing", lambda: held.held, TIMEOUT)
        subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "ctrl+w"], check=True,
                       timeout=TIMEOUT)
        check(app.wait(TIMEOUT) == 0 and stored_settings(closed, identifier) == {
            "fallbackVoiceIdentifier": "testvoices/Kate"}, "closed: %r" % stored_settings(
                closed, identifier))
    finally:
        for process in processes:
            stop(process)


if __name__ == "__main__":
    main()
