"""Launch benchmark: time from exec to the first frame, and peak memory once shown, of the
application next to an empty QMainWindow of the same size, measured in the same run on the same
display.

Both programs print "first-frame <CLOCK_MONOTONIC ns>" and then "window-size <w> <h>" when
VIRELON_REPORT_FIRST_FRAME is set; the start is taken just before the process is spawned, on the
same clock. The empty window is given the application's size. Peak memory is the process's VmHWM
(peak resident set) read once the launch has settled. The two programs take turns, so that drift
on the machine falls on both alike. Every launch is a first launch that costs the most: a fresh
settings folder, and the session's keychain holding the six legacy items, which the application
then reads and migrates. Runs in both accessibility modes: with the AT-SPI bridge on (as under a
screen reader) and off.

Usage (inside scripts/test-env.sh and scripts/with-display.sh):
    python3 launch_bench.py --app PATH --baseline PATH --keychain-service S
        --keychain-access-group G [--window-size W H] [--later-launches] [--runs N]
        [--settle SECONDS]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TARGET_RATIO = 1.5


def peak_resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM for %d" % pid)


# What an earlier version kept in the keychain, by account: every key is migrated.
LEGACY_ITEMS = {"fallbackVoiceIdentifier": "testvoices/Kate", "intonation": "40",
                "headSize": "60", "voicing": "70", "wordPause": "10", "phrasePause": "20"}


def store_legacy_items(service, access_group):
    for account, value in LEGACY_ITEMS.items():
        subprocess.run(["secret-tool", "store", "--label=Virelon " + account, "service", service,
                        "account", account, "access-group", access_group],
                       input=value.encode(), check=True)


# With --later-launches, every launch after the warm-up finds the settings folder that the
# warm-up filled: nothing to create, every key holding a value, the keychain not asked.
LATER_LAUNCHES_HOME = None


def launch(command, environment, settle, timeout=30, want_size=False):
    """(milliseconds to the first frame, peak resident MiB after settling, window size)."""
    config_home = LATER_LAUNCHES_HOME or tempfile.mkdtemp(
        prefix="launch.", dir=os.environ.get("XDG_CONFIG_HOME"))
    env = dict(environment, XDG_CONFIG_HOME=config_home, VIRELON_REPORT_FIRST_FRAME="1")
    started = time.monotonic_ns()
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, text=True)
    try:
        line = process.stdout.readline().split()
        if len(line) != 2 or line[0] != "first-frame":
            raise RuntimeError("%s gave no first-frame report (status %s)"
                               % (command[0], process.poll()))
        first_frame_ms = (int(line[1]) - started) / 1e6
        size = process.stdout.readline().split()[1:] if want_size else None
        # The application lists the voices right after its first frame; let that finish.
        time.sleep(settle)
        if process.poll() is not None:
            raise RuntimeError("%s ended early (status %s)" % (command[0], process.returncode))
        return first_frame_ms, peak_resident_kib(process.pid) / 1024, size
    finally:
        process.terminate()
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        if config_home != LATER_LAUNCHES_HOME:
            shutil.rmtree(config_home, ignore_errors=True)


def measure(app, baseline, environment, runs, settle, size):
    """Unless given, the application's warm-up launch gives the baseline its window size."""
    if size:
        launch([app], environment, settle)
    else:
        size = launch([app], environment, settle, want_size=True)[2]
    programs = {"virelon-voices": [app], "empty QMainWindow": [baseline] + size}
    launch(programs["empty QMainWindow"], environment, settle)
    figures = {name: ([], []) for name in programs}
    for _ in range(runs):
        for name, command in programs.items():
            frame, memory, _ = launch(command, environment, settle)
            figures[name][0].append(frame)
            figures[name][1].append(memory)
    return figures, size


def report(title, measured):
    figures, size = measured
    (app_frames, app_memory), (base_frames, base_memory) = figures.values()
    app_name, base_name = figures.keys()
    print("\n%s (%d runs each, windows %s, medians; min..max)"
          % (title, len(app_frames), "x".join(size)))
    for name, frames, memory in ((app_name, app_frames, app_memory),
                                 (base_name, base_frames, base_memory)):
        print("  %-22s first frame %7.1f ms (%6.1f..%6.1f)   peak RSS %6.1f MiB (%5.1f..%5.1f)"
              % (name, statistics.median(frames), min(frames), max(frames),
                 statistics.median(memory), min(memory), max(memory)))
    frame_ratio = statistics.median(app_frames) / statistics.median(base_frames)
    memory_ratio = statistics.median(app_memory) / statistics.median(base_memory)
    for what, ratio in (("first frame", frame_ratio), ("peak RSS", memory_ratio)):
        print("  ratio %-12s %.2fx  (target <= %.1fx: %s)"
              % (what, ratio, TARGET_RATIO, "met" if ratio <= TARGET_RATIO else "MISSED"))
    return frame_ratio <= TARGET_RATIO and memory_ratio <= TARGET_RATIO


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--baseline", required=True)
    parser.add_argument("--keychain-service", required=True)
    parser.add_argument("--keychain-access-group", required=True)
    parser.add_argument("--window-size", nargs=2, metavar=("WIDTH", "HEIGHT"),
                        help="the baseline's size (default: the application's)")
    parser.add_argument("--later-launches", action="store_true",
                        help="measure launches after the first (one settings folder for all)")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--settle", type=float, default=1.0,
                        help="seconds after the first frame before peak memory is read")
    options = parser.parse_args()

    store_legacy_items(options.keychain_service, options.keychain_access_group)
    if options.later_launches:
        global LATER_LAUNCHES_HOME
        LATER_LAUNCHES_HOME = tempfile.mkdtemp(prefix="launch.",
                                               dir=os.environ.get("XDG_CONFIG_HOME"))
    on = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    # Without the variable the bridge asks the accessibility bus, which reports it disabled.
    off = {key: value for key, value in os.environ.items()
           if key != "QT_LINUX_ACCESSIBILITY_ALWAYS_ON"}
    met = True
    for title, environment in (("Accessibility bridge off", off), ("Accessibility bridge on", on)):
        met &= report(title, measure(options.app, options.baseline, environment, options.runs,
                                     options.settle, options.window_size))
    print("\nall targets met" if met else "\nsome targets missed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
