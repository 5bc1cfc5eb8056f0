"""What the end-to-end tests share: starting the built application, waiting without fixed sleeps,
and reading its accessibility tree over AT-SPI as a screen reader does.

Run with /usr/bin/python3 (Debian's pyatspi is built for it), inside scripts/test-env.sh and
scripts/with-display.sh.
"""

import os
import sqlite3
import subprocess
import threading
import time

import pyatspi
from gi.repository import Atspi, GLib

POLL_SECONDS = 0.02

# libatspi gives up on a call after 0.8 s; an application that is busy starting up (a sanitizer
# build, a bounded wait on its UI thread) may take longer to answer.
Atspi.set_timeout(10000, 30000)


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def pump():
    """Dispatches what arrived for this process (AT-SPI events, replies) without blocking."""
    context = GLib.MainContext.default()
    while context.iteration(False):
        pass


def wait_for(what, probe, timeout):
    """Polls `probe` until it returns something true and returns that; fails after `timeout`
    seconds, naming `what` and the last value seen."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        pump()
        try:
            last = probe()
        except Exception as error:  # the tree may change under a query while it is rebuilt
            last = error
        else:
            if last:
                return last
        if time.monotonic() >= deadline:
            raise Failure("timed out after %.1f s waiting for %s (last seen: %r)"
                          % (timeout, what, last))
        time.sleep(POLL_SECONDS)


class Application:
    """The built application in a process of its own, asked to report its first frame."""

    def __init__(self, program, environment, arguments=()):
        env = dict(environment)
        env["VIRELON_REPORT_FIRST_FRAME"] = "1"
        self.started_ns = time.monotonic_ns()
        self.process = subprocess.Popen([program, *arguments], env=env, stdout=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, text=True)
        self.first_frame_ns = None
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stdout:
            words = line.split()
            if len(words) == 2 and words[0] == "first-frame" and self.first_frame_ns is None:
                self.first_frame_ns = int(words[1])

    @property
    def pid(self):
        return self.process.pid

    def seconds_since_start(self, monotonic_ns=None):
        now = time.monotonic_ns() if monotonic_ns is None else monotonic_ns
        return (now - self.started_ns) / 1e9

    def wait_first_frame(self, timeout):
        """Seconds from the start to the first frame."""
        wait_for("the first frame", lambda: self.first_frame_ns or self.process.poll() is not None,
                 timeout)
        check(self.first_frame_ns is not None,
              "the application ended (status %s) before its first frame" % self.process.poll())
        return self.seconds_since_start(self.first_frame_ns)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._reader.join(timeout=5)


def states(accessible):
    return {pyatspi.stateToString(state) for state in accessible.getState().getStates()}


def children(accessible):
    return [child for child in accessible if child is not None]


def walk(accessible):
    """Depth first, in reading order."""
    yield accessible
    for child in children(accessible):
        yield from walk(child)


def find_all(root, role, name=None):
    return [node for node in walk(root)
            if node.getRoleName() == role and (name is None or node.name == name)]


def find_one(root, role, name=None):
    found = find_all(root, role, name)
    check(len(found) == 1, "expected one %s named %r, found %d" % (role, name, len(found)))
    return found[0]


def application_frame(pid, timeout):
    """The frame of the application with process id `pid` on the accessibility bus."""

    def frame():
        for application in children(pyatspi.Registry.getDesktop(0)):
            if application.get_process_id() != pid:
                continue
            for window in children(application):
                if window.getRoleName() == "frame" and "showing" in states(window):
                    return window
        return None

    return wait_for("the application's frame on the accessibility bus", frame, timeout)


def relation_targets(accessible, relation_type):
    targets = []
    for relation in accessible.getRelationSet():
        if relation.getRelationType() == relation_type:
            targets += [relation.getTarget(i) for i in range(relation.getNTargets())]
    return targets


def action_names(accessible):
    action = accessible.queryAction()
    return [action.getName(i) for i in range(action.nActions)]


def do_action(accessible, *names):
    """Runs the first of `names` that the object offers."""
    offered = action_names(accessible)
    for name in names:
        if name in offered:
            check(accessible.queryAction().doAction(offered.index(name)),
                  "action %s of %r was refused" % (name, accessible.name))
            return
    raise Failure("%r offers none of %s (offers %s)" % (accessible.name, names, offered))


def settings_database(config_home, application_identifier):
    """The shared settings file under `config_home` (the engine contract's path)."""
    return os.path.join(config_home, "group." + application_identifier, "preferences.db")


def stored_settings(config_home, application_identifier):
    """Every stored key and value, read without writing; {} while there is no file."""
    path = settings_database(config_home, application_identifier)
    if not os.path.exists(path):
        return {}
    connection = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=5)
    try:
        return dict(connection.execute("SELECT key, value FROM preferences"))
    finally:
        connection.close()
