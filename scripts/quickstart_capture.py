#!/usr/bin/env python3
"""The capture half of scripts/quickstart: two tone players, pcmtap --include
on one of them for three seconds, the PCM saved as a WAV file, and a report
of which tone it holds.

Usage: scripts/quickstart_capture.py PCMTAP OUT.wav
"""

import os
import subprocess
import sys
import time
import wave

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from pulse_harness import Capture, Players, SoundServer, tone_level  # noqa: E402

SECONDS = 3
WANTED, OTHER = 440, 1000


class UserServer:
    """The sound server this user already runs."""

    def __init__(self):
        self.env = dict(os.environ)
        self.dir = os.path.join(os.path.dirname(os.path.abspath(sys.argv[2])), "quickstart-tones")
        os.makedirs(self.dir, exist_ok=True)

    def pactl(self, *args):
        return subprocess.run(["pactl"] + list(args), env=self.env, capture_output=True, text=True,
                              timeout=10)

    def stop(self):
        pass


def main():
    pcmtap, out = os.path.abspath(sys.argv[1]), sys.argv[2]
    if subprocess.run(["pactl", "info"], capture_output=True).returncode == 0:
        server = UserServer()
        print("quickstart: using your running sound server (two quiet tones will play)")
    else:
        server = SoundServer("pulseaudio").start()
        print("quickstart: no sound server running; started a headless PulseAudio in %.2f s"
              % server.ready_seconds)
    players = Players(server)
    try:
        wanted = players.play(WANTED)
        players.play(OTHER)
        players.wait_until_playing(2)
        print("quickstart: playing %d Hz (pid %d) and %d Hz (pid %d)"
              % (WANTED, wanted.pid, OTHER, players.processes[1].pid))
        print("quickstart: pcmtap --include %d for %d s" % (wanted.pid, SECONDS))
        capture = Capture(pcmtap, server, "--include", wanted.pid)
        ready = capture.wait_ready()
        time.sleep(SECONDS)
        capture.stop()
        pcm = capture.pcm()
    finally:
        players.stop()
        server.stop()

    with wave.open(out, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(48000)
        w.writeframes(pcm)
    print("quickstart: status lines: %s" % (capture.status_lines() or ["(none)"]))
    print("quickstart: wrote %s (%.2f s of audio)" % (out, len(pcm) / 4 / 48000))
    steady = pcm[len(pcm) // 4:]
    levels = {f: tone_level(steady, f) for f in (WANTED, OTHER)}
    for f, level in levels.items():
        print("quickstart:   %4d Hz: level %5.0f of 32768 (%s)" % (f, level, "found" if level > 2000 else "absent"))
    if ready is None or levels[WANTED] <= 2000 or levels[OTHER] >= 200:
        print("quickstart: FAILED: expected %d Hz only" % WANTED)
        return 1
    print("quickstart: OK: the capture holds the %d Hz player only" % WANTED)
    return 0


if __name__ == "__main__":
    sys.exit(main())
