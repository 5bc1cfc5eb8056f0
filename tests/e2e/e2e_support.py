# What the end-to-end tests share: the built application in a process of its own, waiting without
# fixed sleeps, its accessibility tree over AT-SPI, and the settings it stored. Run with
# /usr/bin/python3 (Debian's pyatspi is built for it), inside scripts/test-env.sh and
# scripts/with-display.sh.

import os
import sqlite3
import subprocess
import time

import pyatspi
from gi.repository import Atspi, GLib

# libatspi gives up on a call after 0.8 s; a sanitizer build starting up may take longer to answer.
Atspi.set_timeout(10000, 30000)


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, probe, timeout):
    """Polls `probe` (dispatching AT-SPI events) until it returns something true, and returns it."""
    deadline, last = time.monotonic() + timeout, None
    while True:
        while GLib.MainContext.default().iteration(False):
            pass
        try:
            last = probe()
        except Exception as error:  # the tree may change under a query while it is rebuilt
            last = error
        else:
            if last:
                return last
        check(time.monotonic() < deadline, "timed out after %.1f s waiting for %s (last seen: %r)"
              % (timeout, what, last))
        time.sleep(0.02)


def launch(program, environment, timeout):
    """Starts the application and waits for its window to be mapped on the display."""
    app = subprocess.Popen([program], env=environment, stdin=subprocess.DEVNULL)
    try:
        return app, subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                                    str(app.pid), "--name", "^Virelon$"], capture_output=True,
                                   text=True, check=True, timeout=timeout).stdout.split()[0]
    except subprocess.TimeoutExpired:
        stop(app)
        raise Failure("no window within %d s" % timeout)


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:  # Orca's own shutdown may hang
            process.kill()
            process.wait()


def states(accessible):
    return {pyatspi.stateToString(state) for state in accessible.getState().getStates()}


def children(accessible):
    return [child for child in accessible if child is not None]


def find_all(root, role, name=None):
    found = [root] if root.getRoleName() == role and name in (None, root.name) else []
    return found + [node for child in children(root) for node in find_all(child, role, name)]


def find_one(root, role, name=None):
    found = find_all(root, role, name)
    check(len(found) == 1, "expected one %s named %r, found %d" % (role, name, len(found)))
    return found[0]


def application_frame(pid, timeout):
    """The showing frame of the application with process id `pid` on the accessibility bus."""
    return wait_for("the application's frame", lambda: next(
        (window for application in children(pyatspi.Registry.getDesktop(0))
         if application.get_process_id() == pid for window in children(application)
         if window.getRoleName() == "frame" and "showing" in states(window)), None), timeout)


def stored_settings(config_home, application_identifier):
    """Every stored key and value, read without writing; {} while there is no file."""
    path = os.path.join(config_home, "group." + application_identifier, "preferences.db")
    if not os.path.exists(path):
        return {}
    connection = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=5)
    try:
        return dict(connection.execute("SELECT key, value FROM preferences"))
    finally:
        connection.close()
