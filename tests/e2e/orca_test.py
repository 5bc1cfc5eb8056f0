"""What a blind user hears: the built application under the real Orca, driven by keys alone.

Orca speaks through a speech-dispatcher of its own whose only output module writes each utterance
to a file; what Orca sent to speech is read from its debug output ("SPEECH OUTPUT:" lines). Each
step sends keys and compares every utterance that follows with the expected ones, in order, so a
lost, repeated or extra message fails the step. Two launches: with a usable settings folder, then
with one that cannot be used, so every store fails and is announced.

Usage (inside scripts/test-env.sh and scripts/with-display.sh):
    /usr/bin/python3 orca_test.py --app PATH --application-identifier ID
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import tty

from e2e_support import Application, Failure, check, stored_settings, wait_for

STEP_TIMEOUT = 30  # a launch of a sanitizer build on two busy cores
HEAR_TIMEOUT = 10  # from a key to Orca's speech
SETTLE = 1.2  # quiet time after a step's utterances, to catch late or repeated ones
SPOKEN = re.compile(r"SPEECH OUTPUT: '(.*)' ?\{[^{}]*\}$")

REFRESHED = "notification Virelon and fallback voices were refreshed."
NOT_SAVED = "notification The fallback voice could not be saved."
BUTTON = ["VoiceOver panel.", "Refresh Virelon Voices push button."]
FOCUSED = ["Virelon frame."] + BUTTON

# (key, what Orca says), in order. Tab stops say label, role and value; a slider's value is
# spoken alone when it changes and with its percentage on "where am I" (keypad Enter).
USABLE = [
    ("Tab", ["Fallback panel.", "Fallback Voice combo box.", "English (United Kingdom), Kate."]),
    ("Down", ["notification French (France), Amélie."]),
    ("Down", ["notification German (Germany), Jonas."]),
    ("alt+Down", ["List with 4 items.", "German (Germany), Jonas."]),
    ("Escape", ["Fallback Voice combo box.", "German (Germany), Jonas."]),
    ("Tab", ["Voice Controls panel.", "Intonation slider 100."]),
    ("Tab", ["Head size slider 50."]),
    ("Right", ["51"]),
    ("KP_Enter", ["Head size slider 51 51 percent."]),
    ("Page_Down", ["41"]),
    ("Tab", ["Voicing slider 100."]),
    ("Tab", ["Word pause slider 0."]),
    ("Tab", ["Phrase pause slider 12."]),
    ("Tab", BUTTON),
    ("space", [REFRESHED]),
    ("Return", [REFRESHED]),
]
# Launched with the failure already announced: a voice change fails to be stored, and a refresh
# that chooses another voice announces its result, then the failed store.
UNUSABLE = [
    ("Tab", ["Fallback panel.", "Fallback Voice combo box.", "English (United Kingdom), Kate."]),
    ("Down", ["notification French (France), Amélie.", NOT_SAVED]),
    ("shift+Tab", BUTTON),
    ("Return", [REFRESHED, NOT_SAVED]),
]


class Transcript:
    """The utterances of Orca's debug output, as they come. Orca never flushes that file unless it
    is a terminal, so it writes to a pseudo-terminal."""

    def __init__(self):
        self._master, self._slave = os.openpty()  # the slave stays open: no end of file
        tty.setraw(self._slave)
        self.path = os.ttyname(self._slave)
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        with open(self._master, "rb") as debug:
            for line in debug:
                found = SPOKEN.search(line.decode("utf-8", "replace").rstrip("\r\n"))
                if found:
                    self.lines.append(found.group(1))

    def after(self, start, count, settle=SETTLE):
        """Utterances from index `start` on, once `count` have arrived (or the timeout has
        passed) and nothing more came within `settle` seconds."""
        deadline = time.monotonic() + HEAR_TIMEOUT
        while len(self.lines) - start < count and time.monotonic() < deadline:
            time.sleep(0.05)
        seen = len(self.lines)
        while True:
            time.sleep(settle)
            if len(self.lines) == seen:
                return self.lines[start:]
            seen = len(self.lines)


def start_speech(root):
    """speech-dispatcher with one module, which appends each utterance to root/spoken.txt."""
    config, spoken = os.path.join(root, "speechd"), os.path.join(root, "spoken.txt")
    os.makedirs(os.path.join(config, "modules"))
    with open(os.path.join(config, "speechd.conf"), "w") as conf:
        conf.write('AudioOutputMethod "libao"\nAddModule "recorder" "sd_generic" "recorder.conf"\n'
                   'DefaultModule "recorder"\n')
    with open(os.path.join(config, "modules", "recorder.conf"), "w") as conf:
        conf.write('GenericExecuteSynth "printf \'%%s\\\\n\' \\\'$DATA\\\' >>%s"\n'
                   'GenericLanguage "en" "en" "utf-8"\nAddVoice "en" "MALE1" "recorder"\n' % spoken)
    socket = os.path.join(root, "speechd.sock")
    server = subprocess.Popen(["speech-dispatcher", "-s", "-t", "0", "-c", "unix_socket", "-S",
                               socket, "-C", config, "-P", os.path.join(config, "pid"), "-L",
                               config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for("Orca's speech server", lambda: os.path.exists(socket), STEP_TIMEOUT)
    return server, socket, spoken


def start_orca(root, socket, transcript):
    # Orca refuses to start beside another Orca of the same user, which it finds with pgrep: this
    # one looks for none, so the test also runs on a desktop with a screen reader.
    shim = os.path.join(root, "shim")
    os.makedirs(shim)
    with open(os.path.join(shim, "pgrep"), "w") as pgrep:
        pgrep.write("#!/bin/sh\nexit 1\n")
    os.chmod(os.path.join(shim, "pgrep"), 0o755)
    environment = dict(os.environ, SPEECHD_ADDRESS="unix_socket:" + socket,
                       PATH=shim + ":" + os.environ["PATH"])
    orca = subprocess.Popen(["orca", "-u", os.path.join(root, "orca"), "-d", "key-echo", "--debug",
                             "--debug-file", transcript.path], env=environment,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for("Orca to start", lambda: "Screen reader on." in transcript.lines, STEP_TIMEOUT)
    return orca


def run_steps(transcript, steps, failures, label):
    for key, expected in steps:
        start = len(transcript.lines)
        subprocess.run(["xdotool", "key", key], check=True, timeout=10)
        heard = transcript.after(start, len(expected))
        print("%s %s: %r" % (label, key, heard))
        if heard != expected:
            failures.append("%s, %s: heard %r, expected %r" % (label, key, heard, expected))


def launch(program, config_home, transcript, ready, processes):
    """Starts the application, waits for `ready` (its launch done), then gives its window the
    keyboard: Orca reads the window and the focused button."""
    app = Application(program, dict(os.environ, XDG_CONFIG_HOME=config_home))
    processes.insert(0, app)
    app.wait_first_frame(STEP_TIMEOUT)
    wait_for("the launch to end", ready, STEP_TIMEOUT)
    start = len(transcript.lines)
    window = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                             str(app.pid), "--name", "^Virelon$"], capture_output=True,
                            text=True, check=True, timeout=STEP_TIMEOUT).stdout.split()[0]
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True, timeout=10)
    # Whether Orca also reads the button depends on whether Qt's focus event reaches it before
    # or after the window's activation; the steps do not rely on it.
    heard = transcript.after(start, 1)
    check(heard and heard == FOCUSED[:len(heard)], "focusing the window: heard %r" % heard)
    return app


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--application-identifier", required=True)
    options = parser.parse_args()
    identifier = options.application_identifier
    root = tempfile.mkdtemp(prefix="orca_e2e.", dir=os.environ["VIRELON_TEST_ROOT"])
    transcript = Transcript()
    server, socket, spoken = start_speech(root)
    processes = [server]
    failures = []
    try:
        processes.insert(0, start_orca(root, socket, transcript))

        usable = os.path.join(root, "usable")
        os.makedirs(usable)
        app = launch(options.app, usable, transcript,
                     lambda: stored_settings(usable, identifier).get("fallbackVoiceIdentifier"),
                     processes)
        run_steps(transcript, USABLE, failures, "usable")
        stored = stored_settings(usable, identifier)
        check(stored == {"fallbackVoiceIdentifier": "testvoices/Jonas", "headSizePercent": 41},
              "stored: %r" % stored)
        app.stop()

        # The settings folder's place is taken by a file.
        unusable = os.path.join(root, "unusable")
        os.makedirs(unusable)
        open(os.path.join(unusable, "group." + identifier), "w").close()
        app = launch(options.app, unusable, transcript, lambda: NOT_SAVED in transcript.lines,
                     processes)
        check(transcript.lines.count(NOT_SAVED) == 1, "launch: %r" % transcript.lines)
        run_steps(transcript, UNUSABLE, failures, "unusable")
        # Every announcement reached the speech module whole and in order, none cancelled.
        with open(spoken, encoding="utf-8", errors="replace") as file:
            recorded = [line.rstrip("\n") for line in file if line.startswith("notification")]
        sent = [line for line in transcript.lines if line.startswith("notification")]
        check(recorded == sent, "the speech module recorded %r of %r" % (recorded, sent))
        check(not failures, "\n".join(failures))
        print("orca end-to-end: all steps heard as expected")
        return 0
    except Failure as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        return 1
    finally:
        for process in processes:
            if isinstance(process, Application):
                process.stop()
            elif process.poll() is None:
                process.terminate()  # Orca's own shutdown may hang: then it is killed
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


if __name__ == "__main__":
    sys.exit(main())
