#!/usr/bin/env python3
"""CPU and memory of the running application in each window state, as JSON on stdout.

Run by bench/ui/run-ui-bench inside a private audio server, a private account service (whose
signed-in session the application finds in its file store) and a virtual X server; each
application given is measured in turn. The application's CPU is its utime + stime from /proc over each span, in percent of one core; the
real-time path is the sum over its libpulse threads: the streams of the engine's capture and
playback ("pulse-io", one each) and the mostly idle control connection ("threaded-ml").
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SPAN = float(sys.argv[1])
APPS = sys.argv[2:]
# Frames per second too, from the scene graph's timing log (which costs a little itself).
COUNT_FRAMES = os.environ.get("BRIMO_BENCH_FRAMES") == "1"
TICKS = os.sysconf("SC_CLK_TCK")
POWER_BUTTON = ("210", "312")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout.strip()


def stat_fields(stat_path):
    with open(stat_path) as f:
        return f.read().rsplit(")", 1)[1].split()


def ticks(stat_path):
    fields = stat_fields(stat_path)
    return int(fields[11]) + int(fields[12])


def minor_faults(pid):
    return int(stat_fields(f"/proc/{pid}/stat")[7])


def threads(pid):
    result = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            result[tid] = (name, ticks(f"/proc/{pid}/task/{tid}/stat"))
        except OSError:
            pass
    return result


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def frames_in(log):
    """Frames the scene graph rendered so far, when its timing log is on (BRIMO_BENCH_FRAMES)."""
    with open(log, errors="replace") as f:
        return sum(1 for line in f if "Frame rendered" in line or "Frame prepared" in line)


def measure(pid, log, label):
    frames_before = frames_in(log) if log else 0
    before_total = ticks(f"/proc/{pid}/stat")
    faults_before = minor_faults(pid)
    before = threads(pid)
    start = time.monotonic()
    time.sleep(SPAN)
    elapsed = time.monotonic() - start
    total = ticks(f"/proc/{pid}/stat") - before_total
    faults = minor_faults(pid) - faults_before
    after = threads(pid)
    realtime = sum(t - before[tid][1] for tid, (name, t) in after.items()
                   if name in ("pulse-io", "threaded-ml") and tid in before)
    by_thread = {}
    for tid, (name, t) in after.items():
        if tid in before:
            by_thread[name] = by_thread.get(name, 0) + t - before[tid][1]
    top = sorted(by_thread.items(), key=lambda item: -item[1])[:8]
    extra = {}
    if log:
        extra["frames_per_second"] = round((frames_in(log) - frames_before) / elapsed, 1)
    return extra | {
        "state": label,
        "seconds": round(elapsed, 2),
        "cpu_percent_of_one_core": round(100.0 * total / TICKS / elapsed, 2),
        "realtime_path_cpu_percent": round(100.0 * realtime / TICKS / elapsed, 2),
        "rss_mib": round(rss_kib(pid) / 1024.0, 1),
        "page_faults_per_second": round(faults / elapsed),
        "busiest_threads_percent": {n: round(100.0 * t / TICKS / elapsed, 2) for n, t in top},
    }


def wait_for(path, needle, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, errors="replace") as f:
            if needle in f.read():
                return True
        time.sleep(0.05)
    return False


def find_window(pid, timeout=60.0):
    """The application's own window; xdotool exits on windows that vanish while it looks, so
    it is asked again until the window is there."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid),
                                "--name", "^Brimola Vetrix$"], capture_output=True, text=True)
        if found.returncode == 0 and found.stdout.strip():
            return found.stdout.split()[0]
        time.sleep(0.1)
    raise SystemExit("the window did not appear")


def signed_in_environment():
    """The application as a signed-in user starts it: its token is in the account data folder's
    file store, and no Secret Service answers (the audio server's session bus is not offered)."""
    data = os.environ["BRIMO_ACCOUNT_DATA_HOME"]
    environment = dict(os.environ, XDG_DATA_HOME=data,
                       DBUS_SESSION_BUS_ADDRESS=f"unix:path={data}/no-bus")
    if COUNT_FRAMES:
        environment["QT_LOGGING_RULES"] = "qt.scenegraph.time.renderloop.debug=true"
    return environment


def measure_app(app_path):
    work = tempfile.mkdtemp(prefix="brimo-ui-bench.")
    log = os.path.join(work, "app.log")
    tone = os.path.join(work, "tone.wav")
    run("sox", "-n", "-r", "48000", "-c", "2", "-b", "16", tone, "synth", "10", "sine", "440",
        "vol", "0.5")
    run("pactl", "set-default-sink", "speakers")
    with open(log, "w") as out:
        app = subprocess.Popen([app_path], stdout=out, stderr=subprocess.STDOUT,
                               env=signed_in_environment())
    player = None
    cover = None
    try:
        window = find_window(app.pid)
        run("pactl", "set-default-sink", "brimola_vetrix")
        if not wait_for(log, "Engine started in passthrough mode"):
            raise SystemExit("the engine did not start")
        player = subprocess.Popen(
            ["sh", "-c", f"while :; do paplay -d brimola_vetrix {tone}; done"],
            start_new_session=True)
        time.sleep(3)
        results = [measure(app.pid, log if COUNT_FRAMES else None, "shown, passthrough, with sound")]

        # The click needs the signed-in main screen: an overlay over the button would swallow it.
        run("xdotool", "mousemove", "--window", window, *POWER_BUTTON, "click", "1")
        if not wait_for(log, "[PITCH_FADE] Fade complete at 432.0", 10.0):
            raise SystemExit("the click did not switch the shift on (not signed in?)")
        time.sleep(2)
        results.append(measure(app.pid, log if COUNT_FRAMES else None, "shown, active, with sound"))

        # What a window manager does to a minimised window: unmap it.
        run("xdotool", "windowunmap", window)
        time.sleep(2)
        results.append(measure(app.pid, log if COUNT_FRAMES else None, "minimised (unmapped), active, with sound"))
        run("xdotool", "windowmap", window)

        # Hidden behind another window that covers it entirely.
        cover = subprocess.Popen(["xclock", "-geometry", "1000x1000+0+0", "-update", "3600"])
        time.sleep(2)
        results.append(measure(app.pid, log if COUNT_FRAMES else None, "hidden (covered), active, with sound"))
        return {
            "application": app_path,
            "results": results,
            "realtime_path_cpu_percent_with_window": results[1]["realtime_path_cpu_percent"],
            "realtime_path_cpu_percent_without_window": results[2]["realtime_path_cpu_percent"],
        }
    finally:
        if player:
            # The loop and its paplay share a process group of their own.
            os.killpg(player.pid, 15)
            player.wait()
        if cover:
            cover.terminate()
            cover.wait()
        app.terminate()
        app.wait()
        shutil.rmtree(work, ignore_errors=True)


def stop_on_signal(signum, _frame):
    """Ends the run through its cleanup (the sound loop, the application, the cover); a second
    signal does not cut that cleanup short."""
    for each in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(each, signal.SIG_IGN)
    raise SystemExit(128 + signum)


def main():
    for each in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(each, stop_on_signal)
    runs = [measure_app(app) for app in APPS]
    print(json.dumps({
        "benchmark": "ui",
        "span_seconds": SPAN,
        "renderer": "Mesa llvmpipe under Xvfb",
        "load_average_1min": round(os.getloadavg()[0], 2),
        "runs": runs,
    }, indent=2, ensure_ascii=False))


if __name__ == "__main__":
    main()
