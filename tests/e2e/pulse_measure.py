#!/usr/bin/env python3
"""Figures of pcmtap on a private headless sound server: time from start to
READY (include and mix), CPU time per second of capture (pcmtap alone and
the server's extra share) and pcmtap's peak RSS, for include with one player,
mix with 8 players and mix with none, and latency from a player's write to
pcmtap's stdout, in include mode and in mix mode.

Usage: tests/e2e/pulse_measure.py [path/to/pcmtap] [--latency-only]
PCMTAP_E2E_SERVER=pipewire measures on PipeWire's pulse server.
"""

import array
import math
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pulse_harness import FRAME, Capture, Players, SoundServer, cpu_seconds, tone_level  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def time_to_ready(pcmtap, server, args, runs=7):
    times = []
    for _ in range(runs):
        c = Capture(pcmtap, server, *args)
        c.wait_ready()
        times.append(c.ready_at - c.started)
        c.stop()
        time.sleep(0.1)
    return statistics.median(times)


def process_cpu_seconds(pid):
    """User + system time of a whole process, threads that have exited
    included (schedstat only sees the live ones)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def cpu_per_second(pcmtap, server, args, seconds=15):
    """pcmtap's CPU seconds per second (live threads, and the whole process
    with exited threads), the server's extra share with pcmtap running against
    the server's alone over as long before, and pcmtap's peak RSS in KiB."""
    server_pid = server.server_pids()[0]
    before = cpu_seconds(server_pid)
    time.sleep(seconds)
    idle_server = (cpu_seconds(server_pid) - before) / seconds
    c = Capture(pcmtap, server, *args)
    c.wait_ready()
    time.sleep(1)
    tool, srv = cpu_seconds(c.process.pid), cpu_seconds(server_pid)
    whole = process_cpu_seconds(c.process.pid)
    time.sleep(seconds)
    tool = (cpu_seconds(c.process.pid) - tool) / seconds
    whole = (process_cpu_seconds(c.process.pid) - whole) / seconds
    srv = (cpu_seconds(server_pid) - srv) / seconds
    rss = peak_rss_kib(c.process.pid)
    c.stop()
    return tool, whole, srv - idle_server, idle_server, rss


def report_cpu(label, figures):
    tool, whole, srv, idle, rss = figures
    print("%s: pcmtap %.2f ms per second (%.2f ms whole process, %.1f s per minute, %.3f %% of a core), "
          "server +%.2f ms (server alone: %.2f ms); pcmtap peak RSS %.1f MB"
          % (label, 1000 * tool, 1000 * whole, 60 * whole, 100 * whole, 1000 * srv, 1000 * idle, rss / 1024))


def latency(pcmtap, server, runs=10, mix_target=None):
    """From writing a 10 ms burst into a player (pacat, 10 ms latency, fed in
    real time) to the burst's first block on pcmtap's stdout: pcmtap
    includes the player, or mixes everything but mix_target's tree. Returns
    those delays, and pcmtap's arrivals beyond a parec of the player's
    stream at 10 ms: a player fed in real time runs late now and then on a
    loaded machine, and the second leaves that out."""
    player = subprocess.Popen(["pacat", "--playback", "--raw", "--format=s16le", "--rate=48000",
                               "--channels=2", "--latency-msec=10"], env=server.env,
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    silence = bytes(480 * FRAME)
    player.stdin.write(silence * 5)  # its stream is there before mix mode looks
    player.stdin.flush()
    Players(server).wait_until_playing(1)
    index = server.pactl("list", "short", "sink-inputs").stdout.split()[0]
    reference = Capture("parec", server, "--monitor-stream=" + index, "--raw", "--format=s16le", "--rate=48000",
                        "--channels=2", "--latency-msec=10")
    burst = array.array("h")
    for i in range(480):
        v = int(16000 * math.sin(2 * math.pi * 1000 * i / 48000))
        burst.extend((v, v))
    burst = burst.tobytes()
    c = Capture(pcmtap, server, *(["--include", player.pid] if mix_target is None else ["--mix", mix_target.pid]))
    c.wait_ready()
    results, beyond = [], []
    start = time.monotonic()
    period = 0
    writes = []
    for n in range(runs * 50):  # one burst every half second
        due = start + period * 0.010
        time.sleep(max(0.0, due - time.monotonic()))
        is_burst = n % 50 == 25
        player.stdin.write(burst if is_burst else silence)
        player.stdin.flush()
        if is_burst:
            writes.append(time.monotonic())
        period += 1
    time.sleep(0.5)
    for written in writes:
        arrival = c.first_arrival(1000, after=written, level=3000)
        theirs = reference.first_arrival(1000, after=written, level=3000)
        if arrival is not None and arrival - written < 0.5:
            results.append(arrival - written)
            if theirs is not None:
                beyond.append(arrival - theirs)
    c.stop()
    reference.stop()
    player.stdin.close()
    player.terminate()
    player.wait()
    return results, beyond


def report_latency(label, measured):
    delays, beyond = measured
    if delays:
        print("latency, player write -> pcmtap stdout, %s (%d bursts): median %.1f ms, min %.1f, max %.1f; "
              "beyond a parec of the stream: median %.1f ms"
              % (label, len(delays), 1000 * statistics.median(delays), 1000 * min(delays), 1000 * max(delays),
                 1000 * statistics.median(beyond) if beyond else float("nan")))
    else:
        print("latency, %s: no burst came through" % label)


def main():
    arguments = [a for a in sys.argv[1:] if not a.startswith("--")]
    pcmtap = os.path.abspath(arguments[0] if arguments else os.path.join(ROOT, "build", "linux", "pcmtap"))
    latency_only = "--latency-only" in sys.argv
    server = SoundServer().start()
    players = Players(server, seconds=150)  # outlasts every measurement
    target = None
    try:
        print("server ready after start: %.3f s" % server.ready_seconds)
        # Mix mode leaves out the target's tree: the target is a process of its
        # own, not this script (every player descends from it).
        target = subprocess.Popen(["sleep", "3600"])
        if latency_only:
            report_latency("include", latency(pcmtap, server))
            report_latency("mix", latency(pcmtap, server, mix_target=target))
            return
        one = players.play(440)
        players.wait_until_playing(1)
        print("time to READY, include (1 player): %.1f ms" % (1000 * time_to_ready(pcmtap, server, ["--include", one.pid])))
        print("time to READY, mix (1 player):     %.1f ms" % (1000 * time_to_ready(pcmtap, server, ["--mix", target.pid])))
        for f in range(7):
            players.play(500 + 100 * f)
        players.wait_until_playing(8)
        print("time to READY, mix (8 players):    %.1f ms" % (1000 * time_to_ready(pcmtap, server, ["--mix", target.pid])))

        report_cpu("CPU per second of capture, include (1 stream of 8 playing)",
                   cpu_per_second(pcmtap, server, ["--include", one.pid]))
        report_cpu("CPU per second of capture, mix (8 players)", cpu_per_second(pcmtap, server, ["--mix", target.pid]))
        players.stop()
        players.processes.clear()
        report_cpu("CPU per second of capture, mix (no player)", cpu_per_second(pcmtap, server, ["--mix", target.pid]))

        report_latency("include", latency(pcmtap, server))
        report_latency("mix", latency(pcmtap, server, mix_target=target))
    finally:
        if target is not None:
            target.kill()
            target.wait()
        players.stop()
        server.stop()


if __name__ == "__main__":
    main()
