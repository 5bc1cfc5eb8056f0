"""Launch benchmark: time from exec to the first frame, and peak memory once shown, of the
application next to an empty QMainWindow, measured in the same run on the same display.

Both programs print "first-frame <CLOCK_MONOTONIC ns>" when VIRELON_REPORT_FIRST_FRAME is set;
the start is taken just before the process is spawned, on the same clock. Peak memory is the
process's VmHWM (peak resident set) read once the launch has settled. The two programs take turns,
so that drift on the machine falls on both alike; each launch gets a fresh settings folder. Runs
in both accessibility modes: with the AT-SPI bridge on (as under a screen reader) and off.

Usage (inside scripts/test-env.sh and scripts/with-display.sh):
    python3 launch_bench.py --app PATH --baseline PATH [--runs N] [--settle SECONDS]
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


def launch(program, environment, settle, timeout=30):
    """(milliseconds to the first frame, peak resident MiB after settling)."""
    config_home = tempfile.mkdtemp(prefix="launch.", dir=os.environ.get("XDG_CONFIG_HOME"))
    env = dict(environment, XDG_CONFIG_HOME=config_home, VIRELON_REPORT_FIRST_FRAME="1")
    started = time.monotonic_ns()
    process = subprocess.Popen([program], env=env, stdout=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, text=True)
    try:
        line = process.stdout.readline().split()
        if len(line) != 2 or line[0] != "first-frame":
            raise RuntimeError("%s gave no first-frame report (status %s)"
                               % (program, process.poll()))
        first_frame_ms = (int(line[1]) - started) / 1e6
        # The application lists the voices right after its first frame; let that finish.
        time.sleep(settle)
        if process.poll() is not None:
            raise RuntimeError("%s ended early (status %s)" % (program, process.returncode))
        return first_frame_ms, peak_resident_kib(process.pid) / 1024
    finally:
        process.terminate()
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        shutil.rmtree(config_home, ignore_errors=True)


def measure(programs, environment, runs, settle):
    figures = {name: ([], []) for name in programs}
    for name, program in programs.items():  # one unmeasured warm-up each
        launch(program, environment, settle)
    for _ in range(runs):
        for name, program in programs.items():
            frame, memory = launch(program, environment, settle)
            figures[name][0].append(frame)
            figures[name][1].append(memory)
    return figures


def report(title, figures):
    (app_frames, app_memory), (base_frames, base_memory) = figures.values()
    app_name, base_name = figures.keys()
    print("\n%s (%d runs each, medians; min..max)" % (title, len(app_frames)))
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
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--settle", type=float, default=1.0,
                        help="seconds after the first frame before peak memory is read")
    options = parser.parse_args()

    programs = {"virelon-voices": options.app, "empty QMainWindow": options.baseline}
    on = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    # Without the variable the bridge asks the accessibility bus, which reports it disabled.
    off = {key: value for key, value in os.environ.items()
           if key != "QT_LINUX_ACCESSIBILITY_ALWAYS_ON"}
    met = report("Accessibility bridge off", measure(programs, off, options.runs, options.settle))
    met &= report("Accessibility bridge on", measure(programs, on, options.runs, options.settle))
    print("\nall targets met" if met else "\nsome targets missed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
