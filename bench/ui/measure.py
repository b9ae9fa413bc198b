#!/usr/bin/env python3
"""CPU and memory of the running application in each window state, as JSON on stdout.

Run by bench/ui/run-ui-bench inside a private audio server and a virtual X server. The
application's CPU is its utime + stime from /proc over each span, in percent of one core; the
real-time path is the sum over its libpulse I/O threads ("threaded-ml": the streams of the
engine's capture and playback, and the mostly idle control connection).
"""
import json
import os
import subprocess
import sys
import tempfile
import time

APP = sys.argv[1]
SPAN = float(sys.argv[2]) if len(sys.argv) > 2 else 30.0
TICKS = os.sysconf("SC_CLK_TCK")
POWER_BUTTON = ("210", "312")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout.strip()


def ticks(stat_path):
    with open(stat_path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


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


def measure(pid, label):
    before_total = ticks(f"/proc/{pid}/stat")
    before = threads(pid)
    start = time.monotonic()
    time.sleep(SPAN)
    elapsed = time.monotonic() - start
    total = ticks(f"/proc/{pid}/stat") - before_total
    after = threads(pid)
    realtime = sum(t - before[tid][1] for tid, (name, t) in after.items()
                   if name == "threaded-ml" and tid in before)
    by_thread = {}
    for tid, (name, t) in after.items():
        if tid in before:
            by_thread[name] = by_thread.get(name, 0) + t - before[tid][1]
    top = sorted(by_thread.items(), key=lambda item: -item[1])[:5]
    return {
        "state": label,
        "seconds": round(elapsed, 2),
        "cpu_percent_of_one_core": round(100.0 * total / TICKS / elapsed, 2),
        "realtime_path_cpu_percent": round(100.0 * realtime / TICKS / elapsed, 2),
        "rss_mib": round(rss_kib(pid) / 1024.0, 1),
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


def main():
    work = tempfile.mkdtemp(prefix="brimo-ui-bench.")
    log = os.path.join(work, "app.log")
    tone = os.path.join(work, "tone.wav")
    run("sox", "-n", "-r", "48000", "-c", "2", "-b", "16", tone, "synth", "10", "sine", "440",
        "vol", "0.5")
    run("pactl", "set-default-sink", "speakers")
    with open(log, "w") as out:
        app = subprocess.Popen([APP], stdout=out, stderr=subprocess.STDOUT)
    player = None
    try:
        window = find_window(app.pid)
        run("pactl", "set-default-sink", "brimola_vetrix")
        if not wait_for(log, "Engine started in passthrough mode"):
            raise SystemExit("the engine did not start")
        time.sleep(2)
        results = [measure(app.pid, "shown, passthrough, silent")]

        run("xdotool", "mousemove", "--window", window, *POWER_BUTTON, "click", "1")
        # Switching on needs a signed-in user; signed out, the states are measured in
        # passthrough and say so.
        mode = "active" if wait_for(log, "[PITCH_FADE] Fade complete at 432.0", 10.0) \
            else "passthrough (signed out)"
        player = subprocess.Popen(
            ["sh", "-c", f"while :; do paplay -d brimola_vetrix {tone}; done"],
            start_new_session=True)
        time.sleep(2)
        results.append(measure(app.pid, f"shown, {mode}, with sound"))

        # What a window manager does to a minimised window: unmap it.
        run("xdotool", "windowunmap", window)
        time.sleep(2)
        results.append(measure(app.pid, f"minimised (unmapped), {mode}, with sound"))
        run("xdotool", "windowmap", window)

        # Hidden behind another window that covers it entirely.
        cover = subprocess.Popen(["xclock", "-geometry", "1000x1000+0+0", "-update", "3600"])
        time.sleep(2)
        results.append(measure(app.pid, f"hidden (covered), {mode}, with sound"))
        cover.terminate()
        cover.wait()

        shown = results[1]["realtime_path_cpu_percent"]
        unmapped = results[2]["realtime_path_cpu_percent"]
        print(json.dumps({
            "benchmark": "ui",
            "span_seconds": SPAN,
            "renderer": "Mesa llvmpipe under Xvfb",
            "results": results,
            "realtime_path_cpu_percent_with_window": shown,
            "realtime_path_cpu_percent_without_window": unmapped,
        }, indent=2, ensure_ascii=False))
    finally:
        if player:
            # The loop and its paplay share a process group of their own.
            os.killpg(player.pid, 15)
            player.wait()
        app.terminate()
        app.wait()


if __name__ == "__main__":
    main()
