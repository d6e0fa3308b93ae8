#!/usr/bin/env python3
"""pcmtap against real faults on a private headless sound server: the server
killed and restarted under mix mode, the target exiting under include mode,
stdout or stderr closed, and a reader that stalls (in include mode within the
stream's buffer, in mix mode for 2 s). Each case checks the exit code, the
status lines and the output rate.

Usage: tests/e2e/pulse_faults.py [path/to/pcmtap] [unittest options]
Default binary: build/linux/pcmtap of this checkout.
"""

import fcntl
import json
import os
import pty
import shutil
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pulse_harness import Capture, check_setup, Players, SoundServer, samples_of, tone_level  # noqa: E402

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PCMTAP = os.path.join(ROOT, "build", "linux", "pcmtap")

BYTES_PER_SECOND = 48000 * 4
PRESENT = 2000
ABSENT = 200
F_GETPIPE_SZ = 1032


class StallingCapture(Capture):
    """A capture whose reader can stop reading for a while."""

    def __init__(self, *args):
        self.go = threading.Event()
        self.go.set()
        super().__init__(*args)

    def _read_out(self):
        fd = self.process.stdout.fileno()
        while self.reading:
            self.go.wait()
            data = os.read(fd, 65536)
            if not data:
                break
            with self.lock:
                self.chunks.append((time.monotonic(), data))


class FaultTest(unittest.TestCase):
    def setUp(self):
        self.server = SoundServer().start()
        self.players = Players(self.server)
        self.captures = []
        self.spawned = []
        self.addCleanup(self.server.stop)
        self.addCleanup(self.players.stop)
        self.addCleanup(self._stop_all)

    def _stop_all(self):
        for c in self.captures:
            c.stop()
        for p in self.spawned:
            if p.poll() is None:
                p.kill()
            p.wait()

    def capture(self, *args, kind=Capture):
        c = kind(PCMTAP, self.server, *args)
        self.captures.append(c)
        return c

    def assertRate(self, capture, start, seconds, tolerance=0.03, what="output"):
        got = capture.bytes_between(start, start + seconds) / seconds
        self.assertAlmostEqual(got / BYTES_PER_SECOND, 1.0, delta=tolerance,
                               msg="%s at %.0f frames/s" % (what, got / 4))

    def assertSilent(self, pcm, what):
        self.assertTrue(pcm, "no %s at all" % what)
        loudest = max(abs(s) for s in samples_of(pcm))
        self.assertEqual(loudest, 0, "%s is not silence (peak %d)" % (what, loudest))

    def end_by_closing_stdout(self, capture):
        capture.close_reader()
        self.assertEqual(capture.process.wait(5), 0, "status lines: %r" % capture.status_lines())

    def spawn(self, args, stdout, stderr, close_fds_in_child=()):
        """pcmtap with chosen standard streams; fds listed are closed in the child."""
        def close_in_child():
            for fd in close_fds_in_child:
                os.close(fd)
        p = subprocess.Popen([PCMTAP] + [str(a) for a in args], env=self.server.env, stdin=subprocess.DEVNULL,
                             stdout=stdout, stderr=stderr, preexec_fn=close_in_child)
        self.spawned.append(p)
        return p


class ServerRestart(FaultTest):
    def test_mix_writes_silence_while_the_server_is_gone_and_takes_players_up_again(self):
        target = self.players.play_under_shell(440)
        self.players.play(1000)
        self.assertTrue(self.players.wait_until_playing(2))
        c = self.capture("--mix", target.pid)
        self.assertEqual(c.wait_ready(), "READY mix 1", c.status_lines())
        time.sleep(1.0)
        self.assertGreater(tone_level(c.pcm(time.monotonic() - 0.5), 1000), PRESENT)

        self.server.kill()  # the players lose their streams and end too
        killed = time.monotonic()
        time.sleep(2.5)
        self.assertIsNone(c.process.poll(), "mix mode ended with the server: %r" % c.status_lines())
        self.assertRate(c, killed + 0.5, 2.0, what="output without a server")
        down = [data for t, data in c.chunks if killed + 0.5 <= t < killed + 2.5]
        self.assertSilent(b"".join(down), "output without a server")

        self.server.start()
        self.players.play(660)
        self.assertTrue(self.players.wait_until_playing(1))
        back = time.monotonic()
        time.sleep(2.5)
        arrival = c.first_arrival(660, after=back)
        self.assertIsNotNone(arrival, "no audio once the server was back")
        self.assertLess(arrival - back, 1.5)
        self.assertRate(c, c.ready_at + 0.5, time.monotonic() - c.ready_at - 0.6, tolerance=0.01,
                        what="output over the whole run")
        self.assertEqual(c.status_lines(), ["READY mix 1"])
        self.end_by_closing_stdout(c)


class TargetExits(FaultTest):
    def test_include_goes_on_without_a_word_when_the_target_exits(self):
        player = self.players.play(440)
        self.assertTrue(self.players.wait_until_playing(1))
        c = self.capture("--include", player.pid)
        self.assertEqual(c.wait_ready(), "READY %d" % player.pid)
        time.sleep(1.0)
        self.assertRate(c, c.ready_at + 0.3, 0.6, tolerance=0.1, what="output while the target plays")
        self.assertGreater(tone_level(c.pcm(time.monotonic() - 0.5), 440), PRESENT)

        player.terminate()
        player.wait()
        gone = time.monotonic()
        time.sleep(2.0)
        # A tree that plays nothing delivers no packets, so nothing is written;
        # the stream stays open for the tree's next sound.
        self.assertIsNone(c.process.poll(), "include mode ended with its target: %r" % c.status_lines())
        self.assertEqual(c.status_lines(), ["READY %d" % player.pid])
        self.assertLessEqual(c.bytes_between(gone, gone + 2.0), 0.3 * BYTES_PER_SECOND,
                             "more than the last packets after the target exited")
        self.assertEqual(c.bytes_between(gone + 0.5, gone + 2.0), 0)


class ClosedStreams(FaultTest):
    """stdout or stderr gone before pcmtap writes to it: as a broken pipe (the
    reader closed its end) and as a descriptor that is not open at all; and
    stdout that cannot take the audio: a full device, a terminal."""

    def modes(self):
        target = self.players.play_under_shell(440)
        self.players.play(1000)
        self.assertTrue(self.players.wait_until_playing(2))
        return [("--include", target.pid, "READY %d" % target.pid), ("--mix", target.pid, "READY mix 1")]

    def test_stdout_without_a_reader_ends_at_the_first_write_with_exit_code_0(self):
        for option, pid, ready in self.modes():
            with self.subTest(option):
                read_end, write_end = os.pipe()
                os.close(read_end)
                p = self.spawn([option, pid], stdout=write_end, stderr=subprocess.PIPE)
                os.close(write_end)
                started = time.monotonic()
                self.assertEqual(p.wait(5), 0)
                self.assertLess(time.monotonic() - started, 3.0)
                self.assertEqual(p.stderr.read().decode().splitlines(), [ready])
                p.stderr.close()

    def test_stdout_not_open_fails_at_the_first_write_and_writes_nowhere_else(self):
        # No reader went away: there never was a place for the audio, and
        # that is a failure (EBADF, ERROR_INVALID_HANDLE), not an ending.
        for option, pid, ready in self.modes():
            with self.subTest(option):
                p = self.spawn([option, pid], stdout=None, stderr=subprocess.PIPE, close_fds_in_child=(1,))
                self.assertEqual(p.wait(5), 1, "it must not write its PCM into another descriptor")
                self.assertEqual(p.stderr.read().decode().splitlines(), [ready, "ERROR output 0x80070006"])
                p.stderr.close()

    def test_stdout_on_a_full_device_or_a_terminal_is_an_output_error(self):
        for option, pid, ready in self.modes():
            with self.subTest(option, stdout="/dev/full"):
                with open("/dev/full", "wb") as full:
                    p = self.spawn([option, pid], stdout=full, stderr=subprocess.PIPE)
                self.assertEqual(p.wait(5), 1)
                self.assertEqual(p.stderr.read().decode().splitlines(), [ready, "ERROR output 0x80070070"])
                p.stderr.close()
            with self.subTest(option, stdout="terminal"):
                leader, follower = pty.openpty()
                p = self.spawn([option, pid], stdout=follower, stderr=subprocess.PIPE)
                os.close(follower)
                self.assertEqual(p.wait(5), 1)
                self.assertEqual(p.stderr.read().decode().splitlines(), ["ERROR output 0x80070032"])
                p.stderr.close()
                os.close(leader)

    def check_runs_without_stderr(self, stderr, close_fds_in_child=()):
        for option, pid, _ in self.modes():
            with self.subTest(option):
                p = self.spawn([option, pid], stdout=subprocess.PIPE, stderr=stderr,
                               close_fds_in_child=close_fds_in_child)
                received = []  # (arrival, bytes)

                stdout = p.stdout.fileno()

                def read():
                    while True:
                        try:
                            data = os.read(stdout, 65536)
                        except OSError:
                            return
                        if not data:
                            return
                        received.append((time.monotonic(), len(data)))
                reader = threading.Thread(target=read, daemon=True)
                reader.start()
                time.sleep(2.5)
                self.assertIsNone(p.poll(), "ended without stderr")
                got = sum(n for t, n in received if 1.0 <= t - received[0][0] < 2.0) if received else 0
                self.assertAlmostEqual(got / BYTES_PER_SECOND, 1.0, delta=0.05,
                                       msg="%.0f frames/s without stderr" % (got / 4))
                p.stdout.close()
                self.assertEqual(p.wait(5), 0)

    def test_stderr_without_a_reader_changes_nothing(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            self.check_runs_without_stderr(write_end)
        finally:
            os.close(write_end)

    def test_stderr_not_open_changes_nothing(self):
        self.check_runs_without_stderr(None, close_fds_in_child=(2,))


def capture_node(server, other_than=None):
    """The id of pcmtap's capture node in PipeWire's graph, or None."""
    graph = json.loads(subprocess.run(["pw-dump"], env=server.env, capture_output=True, text=True).stdout or "[]")
    ids = [o["id"] for o in graph if o.get("info", {}).get("props", {}).get("node.name") == "pcmtap"]
    return next((i for i in ids if i != other_than), None)


@unittest.skipUnless(os.environ.get("PCMTAP_E2E_SERVER") == "pipewire", "the native group's capture node")
class CaptureNodeFails(FaultTest):
    def test_a_node_destroyed_again_and_again_is_made_again_three_times_then_ends_with_an_error(self):
        player = self.players.play(440)
        self.assertTrue(self.players.wait_until_playing(1))
        c = self.capture("--include", player.pid)
        self.assertEqual(c.wait_ready(), "READY %d" % player.pid)
        destroyed, node, started = [], None, time.monotonic()
        while c.process.poll() is None and time.monotonic() < started + 10:
            node = capture_node(self.server, other_than=node)
            if node is not None:
                time.sleep(0.3)  # the new node reaches the graph and runs before it goes
                subprocess.run(["pw-cli", "destroy", str(node)], env=self.server.env, capture_output=True, timeout=10)
                destroyed.append(node)
            time.sleep(0.05)
        self.assertEqual(c.process.wait(5), 1, "still running after %d nodes destroyed" % len(destroyed))
        self.assertEqual(c.status_lines(), ["READY %d" % player.pid, "ERROR buffer 0x88890004"])
        self.assertEqual(len(destroyed), 4, "three remakes, then the device is lost: %r" % destroyed)


class SlowReader(FaultTest):
    def test_include_loses_nothing_when_the_writer_blocks_for_half_a_second(self):
        player = self.players.play(440)
        self.assertTrue(self.players.wait_until_playing(1))
        c = self.capture("--include", player.pid, kind=StallingCapture)
        self.assertEqual(c.wait_ready(), "READY %d" % player.pid)
        # The pipe takes its fill before the write blocks; the stall goes on
        # for half a second past it, within the stream's 1 s buffer.
        pipe_seconds = fcntl.fcntl(c.process.stdout.fileno(), F_GETPIPE_SZ) / BYTES_PER_SECOND
        time.sleep(1.0)

        c.go.clear()
        time.sleep(0.1)  # the read in progress returns
        stalled = time.monotonic()
        time.sleep(pipe_seconds + 0.5)
        resumed = time.monotonic()
        c.go.set()
        time.sleep(1.5)

        self.assertIsNone(c.process.poll(), "include mode ended: %r" % c.status_lines())
        self.assertEqual(c.status_lines(), ["READY %d" % player.pid])
        start, end = stalled - 0.5, resumed + 1.0
        got = c.bytes_between(start, end) / BYTES_PER_SECOND
        self.assertAlmostEqual(got, end - start, delta=0.1,
                               msg="%.2f s of audio over %.2f s around a %.2f s stall" % (got, end - start,
                                                                                         resumed - stalled))
        self.assertGreater(tone_level(c.pcm(resumed + 0.5), 440), PRESENT)
        self.end_by_closing_stdout(c)

    def test_mix_skips_what_a_two_second_stall_left_overdue_and_goes_on_at_real_time(self):
        target = self.players.play_under_shell(440)
        self.players.play(1000)
        self.assertTrue(self.players.wait_until_playing(2))
        c = self.capture("--mix", target.pid, kind=StallingCapture)
        self.assertEqual(c.wait_ready(), "READY mix 1")
        pipe_bytes = fcntl.fcntl(c.process.stdout.fileno(), F_GETPIPE_SZ)
        time.sleep(1.0)

        c.go.clear()
        time.sleep(0.1)  # the read in progress returns
        stalled = time.monotonic()
        time.sleep(2.0)
        resumed = time.monotonic()
        c.go.set()
        time.sleep(2.6)

        self.assertIsNone(c.process.poll(), "mix mode ended: %r" % c.status_lines())
        self.assertEqual(c.status_lines(), ["READY mix 1"])
        # What the pipe held, at most 4800 frames mixed when the write came
        # back, and the time since: the rest of the stall is never written.
        burst = c.bytes_between(resumed, resumed + 0.5)
        self.assertLessEqual(burst, pipe_bytes + 4800 * 4 + 0.6 * BYTES_PER_SECOND,
                             "the stall was made up: %d bytes in the first 0.5 s" % burst)
        self.assertRate(c, resumed + 0.5, 2.0, what="output after the stall")
        total = c.bytes_between(stalled, resumed + 2.5)
        skipped_seconds = (resumed + 2.5 - stalled) - total / BYTES_PER_SECOND
        self.assertGreater(skipped_seconds, 2.0 - pipe_bytes / BYTES_PER_SECOND - 0.1 - 0.3,
                           "%.2f s skipped of a 2 s stall" % skipped_seconds)
        self.assertGreater(tone_level(c.pcm(resumed + 1.0), 1000), PRESENT, "the player is still in the mix")
        self.end_by_closing_stdout(c)


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        PCMTAP = os.path.abspath(sys.argv.pop(1))
    if not os.access(PCMTAP, os.X_OK):
        sys.exit("pulse_faults: no pcmtap at %s; build it first" % PCMTAP)
    missing = [p for p in ("pulseaudio", "pactl", "pacat", "parec") if shutil.which(p) is None]
    if missing:
        sys.exit("pulse_faults: missing %s (apt-get install pulseaudio pulseaudio-utils)" % ", ".join(missing))
    check_setup()
    unittest.main(verbosity=2)
