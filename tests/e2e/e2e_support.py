# What the end-to-end tests share: the built application on the display, waiting without fixed
# sleeps, and the settings it stored. Run with /usr/bin/python3 (Debian's pyatspi is built for
# it), inside scripts/test-env.sh and scripts/with-display.sh.

import os
import socket
import sqlite3
import subprocess
import sys
import threading
import time

from gi.repository import Atspi, GLib

# libatspi gives up on a call after 0.8 s; a sanitizer build starting up may take longer to answer.
Atspi.set_timeout(10000, 30000)


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def option(name):
    return sys.argv[sys.argv.index(name) + 1]


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as file:
        file.write(text)
    os.chmod(path, mode)


# Polls `probe` (AT-SPI events dispatched) until it returns something true, and returns that.
def wait_for(what, probe, timeout):
    deadline, last = time.monotonic() + timeout, None
    while not last:
        check(time.monotonic() < deadline, "%s: not after %d s (%r)" % (what, timeout, last))
        time.sleep(0.02)
        while GLib.MainContext.default().iteration(False):
            pass
        try:
            last = probe()
        except Exception:  # the tree may change under a query while it is rebuilt
            last = None
    return last


# Starts the application; returns it once its window is mapped, and the window's X id.
def launch(program, environment, timeout):
    app = subprocess.Popen([program], env=environment, stdin=subprocess.DEVNULL)
    try:
        return app, subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                                    str(app.pid), "--name", "^Virelon$"], capture_output=True,
                                   text=True, check=True, timeout=timeout).stdout.split()[0]
    except subprocess.TimeoutExpired:
        stop(app)
        raise Failure("no window within %d s" % timeout)


def stop(process):
    process.terminate()
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:  # Orca's own shutdown may hang
        process.kill()
        process.wait()


# Every stored key and value, read without writing; {} while there is no file.
def stored_settings(config_home, application_identifier):
    path = os.path.join(config_home, "group." + application_identifier, "preferences.db")
    if not os.path.exists(path):
        return {}
    with sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=5) as connection:
        return dict(connection.execute("SELECT key, value FROM preferences"))


# A socket before the session's speech server that passes each connection on `delay` seconds
# after it came: a slow listing. `held` holds the connections still waiting.
class SlowSpeechServer:
    def __init__(self, path, delay):
        self.address, self.held, self._delay = "unix_socket:" + path, [], delay
        self._server = socket.socket(socket.AF_UNIX)
        self._server.bind(path)
        self._server.listen(16)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            threading.Thread(target=self._relay, args=(self._server.accept()[0],),
                             daemon=True).start()

    def _relay(self, client):
        self.held.append(client)
        time.sleep(self._delay)
        self.held.remove(client)
        server = socket.socket(socket.AF_UNIX)
        server.connect(os.environ["XDG_RUNTIME_DIR"] + "/speech-dispatcher/speechd.sock")
        threading.Thread(target=_pipe, args=(server, client), daemon=True).start()
        _pipe(client, server)


def _pipe(source, sink):
    try:
        while data := source.recv(65536):
            sink.sendall(data)
        sink.shutdown(socket.SHUT_WR)
    except OSError:  # the other end is gone
        pass
