#!/usr/bin/env python3
"""A long mix-mode run on a private headless sound server: tone players start
and stop every few seconds while pcmtap mixes them; reports, once a minute
and at the end, the frames received against wall time and pcmtap's RSS.

Usage: tests/e2e/pulse_longrun.py [path/to/pcmtap] [seconds] (default 3600)
Fails when pcmtap ends, prints a second status line, or falls more than
0.1 % behind or ahead of 48000 frames per second.
"""

import os
import random
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pulse_harness import Players, SoundServer  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
RATE = 48000


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None


class Counter:
    """Reads pcmtap's stdout as fast as it comes and keeps only the count."""

    def __init__(self, stream):
        self.bytes = 0
        self.lock = threading.Lock()
        self.stream = stream
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        fd = self.stream.fileno()
        while True:
            data = os.read(fd, 1 << 16)
            if not data:
                return
            with self.lock:
                self.bytes += len(data)

    def frames(self):
        with self.lock:
            return self.bytes // 4


def main():
    args = sys.argv[1:]
    pcmtap = os.path.abspath(args.pop(0)) if args and not args[0].isdigit() else os.path.join(
        ROOT, "build", "linux", "pcmtap")
    seconds = float(args[0]) if args else 3600.0
    seed = int(os.environ.get("PCMTAP_LONGRUN_SEED", time.time_ns() % 100000))
    rng = random.Random(seed)
    print("longrun: %s for %.0f s, seed %d" % (pcmtap, seconds, seed), flush=True)

    server = SoundServer().start()
    players = Players(server, seconds=10)
    target = subprocess.Popen(["sleep", str(int(seconds) + 60)])  # a target that plays nothing
    tool = subprocess.Popen([pcmtap, "--mix", str(target.pid)], env=server.env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines = []
    threading.Thread(target=lambda: lines.extend(
        raw.decode(errors="replace").rstrip("\r\n") for raw in tool.stderr), daemon=True).start()
    counter = Counter(tool.stdout)
    failures = []
    try:
        deadline = time.monotonic() + 10
        while not lines and time.monotonic() < deadline:
            time.sleep(0.01)
        start = time.monotonic()
        start_frames = counter.frames()
        time.sleep(1.0)
        rss_start = rss_kib(tool.pid)
        print("status: %r; RSS at start %d KiB" % (lines, rss_start), flush=True)

        live = []  # (player process, stop time)
        started = stopped = 0
        next_report = start + 60
        end = start + seconds
        while time.monotonic() < end:
            now = time.monotonic()
            for p, stop_at in list(live):
                if now >= stop_at or p.poll() is not None:
                    if p.poll() is None:
                        os.killpg(p.pid, signal.SIGTERM)
                        p.wait()
                    live.remove((p, stop_at))
                    stopped += 1
            if len(live) < 6 and rng.random() < 0.5:
                frequency = rng.choice([330, 440, 550, 660, 880, 1000, 1200])
                p = players.play_under_shell(frequency) if rng.random() < 0.3 else players.play(frequency)
                live.append((p, now + rng.uniform(1.0, 8.0)))
                started += 1
            if tool.poll() is not None:
                failures.append("pcmtap ended with %r: %r" % (tool.returncode, lines))
                break
            if now >= next_report:
                elapsed = now - start
                frames = counter.frames() - start_frames
                print("%6.0f s: %d frames, %.1f frames/s, RSS %d KiB, %d players started" %
                      (elapsed, frames, frames / elapsed, rss_kib(tool.pid), started), flush=True)
                next_report += 60
            time.sleep(rng.uniform(0.5, 3.0))

        elapsed = time.monotonic() - start
        frames = counter.frames() - start_frames
        rss_end = rss_kib(tool.pid) if tool.poll() is None else None
        expected = elapsed * RATE
        print("wall %.1f s, frames %d, expected %.0f, off by %+.0f frames (%+.4f %%)" %
              (elapsed, frames, expected, frames - expected, 100.0 * (frames - expected) / expected))
        print("RSS start %s KiB, end %s KiB; players started %d, stopped %d" %
              (rss_start, rss_end, started, stopped))
        print("status lines: %r" % lines)
        if abs(frames - expected) > expected * 0.001:
            failures.append("output rate off by more than 0.1 %")
        if len(lines) != 1 or not lines[0].startswith("READY mix "):
            failures.append("status lines %r" % lines)
    finally:
        if tool.poll() is None:
            tool.kill()
        tool.wait()
        target.kill()
        target.wait()
        players.stop()
        server.stop()
    for failure in failures:
        print("FAILED: " + failure)
    print("seed %d" % seed)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
