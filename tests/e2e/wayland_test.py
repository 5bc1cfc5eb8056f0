# The window on Wayland without X: a headless weston, started and stopped here, and the
# application with only WAYLAND_DISPLAY set, which must reach its first frame. Without a session
# bus: its window is its own (not another test's, raised), and it posts nothing that other tests
# count.
# Usage (inside scripts/test-env.sh): /usr/bin/python3 wayland_test.py --app PATH

import os
import subprocess
import sys
import tempfile
import time

LIMIT = 15  # did not hang


def main():
    program = sys.argv[sys.argv.index("--app") + 1]
    runtime, socket = os.environ["XDG_RUNTIME_DIR"], "virelon-wayland-%d" % os.getpid()
    log = tempfile.NamedTemporaryFile(prefix="weston.", dir=os.environ["VIRELON_TEST_ROOT"])
    weston = subprocess.Popen(["weston", "--backend=headless-backend.so", "--socket=" + socket],
                              stdout=log, stderr=log, start_new_session=True)
    app = None
    try:
        deadline = time.monotonic() + LIMIT
        while not os.path.exists(os.path.join(runtime, socket)):
            if weston.poll() is not None or time.monotonic() > deadline:
                sys.exit("weston did not start:\n" + open(log.name).read())
            time.sleep(0.02)
        environment = {name: value for name, value in os.environ.items()
                       if name not in ("DISPLAY", "QT_QPA_PLATFORM")}
        environment.update(WAYLAND_DISPLAY=socket, VIRELON_REPORT_FIRST_FRAME="1",
                           DBUS_SESSION_BUS_ADDRESS="unix:path=%s/none" % runtime,
                           XDG_CONFIG_HOME=tempfile.mkdtemp(dir=os.environ["VIRELON_TEST_ROOT"]))
        app = subprocess.Popen([program], env=environment, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, text=True)
        line = app.stdout.readline()  # the first frame, or nothing when the application ended
        if not line.startswith("first-frame "):
            sys.exit("no first frame on Wayland: %r, status %r" % (line, app.wait(LIMIT)))
        print("wayland: the window reached its first frame")
    finally:
        for process in filter(None, [app, weston]):
            process.terminate()
            process.wait(5)


if __name__ == "__main__":
    main()
