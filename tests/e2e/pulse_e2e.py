#!/usr/bin/env python3
"""pcmtap with real sound: a private headless sound server, tone players
(one frequency each), and pcmtap's stdout checked for which tones it holds.

Usage: tests/e2e/pulse_e2e.py [path/to/pcmtap] [unittest options]
Default binary: build/linux/pcmtap of this checkout. PCMTAP_E2E_SERVER=pipewire
runs the same cases against PipeWire (with WirePlumber and its pulse server,
for the players), where pcmtap takes its native PipeWire group.
"""

import array
import collections
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pulse_harness import (FRAME, PERIOD, PRESENT, RATE, Capture, FormatChecks, busy_cores,  # noqa: E402
                           check_setup, corking_player, Marks, Players, SoundServer, samples_of, tone_level,
                           write_marked_tone)

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PCMTAP = os.path.join(ROOT, "build", "linux", "pcmtap")

ABSENT = 200


PIPEWIRE = os.environ.get("PCMTAP_E2E_SERVER", "pulseaudio") == "pipewire"


class RealSoundTest(unittest.TestCase):
    keeper = True  # a 10 ms recorder on the sink's monitor: the server runs at a 10 ms pace

    def setUp(self):
        self.server = SoundServer(keeper=self.keeper).start()
        self.players = Players(self.server)
        self.captures = []
        self.addCleanup(self.server.stop)
        self.addCleanup(self.players.stop)
        self.addCleanup(lambda: [c.stop() for c in self.captures])

    def capture(self, *args):
        c = Capture(PCMTAP, self.server, *args)
        self.captures.append(c)
        return c

    def assertReady(self, capture, expected):
        line = capture.wait_ready()
        self.assertEqual(line, expected, "status lines: %r" % capture.status_lines())

    def assertTones(self, pcm, present, absent):
        self.assertGreaterEqual(len(pcm), 48000 * 4 // 2, "less than 0.5 s of audio")
        for f in present:
            level = tone_level(pcm, f)
            self.assertGreater(level, PRESENT, "%d Hz missing (level %.0f)" % (f, level))
        for f in absent:
            level = tone_level(pcm, f)
            self.assertLess(level, ABSENT, "%d Hz should be left out (level %.0f)" % (f, level))

    def settled_pcm(self, capture, seconds=1.5):
        """Audio from a moment after READY, once every stream has joined."""
        time.sleep(0.5)
        since = time.monotonic()
        time.sleep(seconds)
        return capture.pcm(since)


class Setup(RealSoundTest):
    def test_a_server_part_that_died_is_a_setup_failure(self):
        self.server.check_running()
        # On PipeWire the part that dies at start is WirePlumber, the session
        # manager: the pulse server still answers, but links no stream.
        part = self.server.processes[1 if self.server.kind == "pipewire" else 0]
        part.kill()
        part.wait()
        with self.assertRaisesRegex(RuntimeError, "exited"):
            self.server.check_running()


class SingleStream(RealSoundTest):
    def test_include_by_pid_captures_that_player_only(self):
        a = self.players.play(440)
        self.players.play(1000)
        self.assertTrue(self.players.wait_until_playing(2))
        c = self.capture("--include", a.pid)
        self.assertReady(c, "READY %d" % a.pid)
        self.assertTones(self.settled_pcm(c), present=[440], absent=[1000])

    def test_include_by_ancestor_captures_its_descendants(self):
        shell = self.players.play_under_shell(440)
        self.players.play(1000)
        self.assertTrue(self.players.wait_until_playing(2))
        c = self.capture("--include", shell.pid)
        self.assertReady(c, "READY %d" % shell.pid)
        self.assertTones(self.settled_pcm(c), present=[440], absent=[1000])

    def test_exclude_captures_everything_else(self):
        a = self.players.play(440)
        self.players.play(1000)
        self.players.play_under_shell(660)
        self.assertTrue(self.players.wait_until_playing(3))
        c = self.capture("--exclude", a.pid)
        self.assertReady(c, "READY %d" % a.pid)
        self.assertTones(self.settled_pcm(c), present=[1000, 660], absent=[440])

    def test_a_player_starting_after_ready_is_picked_up_within_a_second(self):
        shell = self.players.play_under_shell(440, delay=1.0)
        c = self.capture("--include", shell.pid)
        self.assertReady(c, "READY %d" % shell.pid)
        self.assertTrue(self.players.wait_until_playing(1))
        appeared = time.monotonic()
        time.sleep(2)
        arrival = c.first_arrival(440, after=0)
        self.assertIsNotNone(arrival, "the late player never reached the output")
        self.assertLess(arrival - appeared, 1.0)

    def test_reader_going_away_ends_with_exit_code_0(self):
        a = self.players.play(440)
        self.assertTrue(self.players.wait_until_playing(1))
        c = self.capture("--include", a.pid)
        self.assertReady(c, "READY %d" % a.pid)
        time.sleep(0.5)
        self.assertTrue(c.pcm(), "no audio before the reader went away")
        c.close_reader()
        closed = time.monotonic()
        self.assertEqual(c.process.wait(5), 0)
        self.assertLess(time.monotonic() - closed, 1.0)

    def test_killing_the_server_ends_with_an_error_and_exit_code_1(self):
        a = self.players.play(440)
        self.assertTrue(self.players.wait_until_playing(1))
        c = self.capture("--include", a.pid)
        self.assertReady(c, "READY %d" % a.pid)
        time.sleep(0.3)
        self.server.kill()
        self.assertEqual(c.process.wait(5), 1)
        time.sleep(0.05)
        self.assertEqual(c.status_lines(), ["READY %d" % a.pid, "ERROR buffer 0x88890004"])

    def test_no_server_fails_activation(self):
        self.server.kill()
        c = self.capture("--include", os.getpid())
        self.assertEqual(c.process.wait(10), 1)
        time.sleep(0.05)
        self.assertEqual(c.status_lines(), ["ERROR activate-result 0x88890010"])


class Mix(RealSoundTest):
    def setUp(self):
        super().setUp()
        self.discord = os.path.join(self.server.dir, "discord.exe")
        shutil.copy(shutil.which("pacat"), self.discord)

    def test_mix_leaves_out_the_target_tree_and_voice_chat(self):
        target = self.players.play_under_shell(440)    # the target's child plays
        self.players.play(660, program=self.discord)   # a voice-chat program
        self.players.play(1000)                        # anyone else
        self.assertTrue(self.players.wait_until_playing(3))
        c = self.capture("--mix", target.pid)
        self.assertReady(c, "READY mix 1")
        self.assertTones(self.settled_pcm(c), present=[1000], absent=[440, 660])

    def test_mix_leaves_out_players_above_the_target_and_voice_chat(self):
        # Each player's stream would carry its children's sound: the one above
        # the target and the one above a voice-chat program are left out, and
        # the target's audible sibling becomes a source of its own.
        above_target = self.players.play_above(660, [(440, "pacat"), (880, "pacat")])
        self.players.play_above(550, [(770, self.discord)])
        self.assertTrue(self.players.wait_until_playing(5))
        target = self.players.child_playing(above_target, 440)
        self.assertIsNotNone(target, "the target player is not a child of the player above it")
        c = self.capture("--mix", target)
        self.assertReady(c, "READY mix 1")
        self.assertTones(self.settled_pcm(c), present=[880], absent=[440, 660, 550, 770])

    def test_mix_picks_up_a_player_starting_after_ready(self):
        target = self.players.play_under_shell(440)
        self.assertTrue(self.players.wait_until_playing(1))
        c = self.capture("--mix", target.pid)
        self.assertReady(c, "READY mix 0")
        self.players.play(1000)
        self.assertTrue(self.players.wait_until_playing(2))
        appeared = time.monotonic()
        time.sleep(2.5)
        arrival = c.first_arrival(1000, after=appeared)
        self.assertIsNotNone(arrival, "the late player never reached the mix")
        # Sources are revised once a second, and a new one joins with 20 ms queued.
        self.assertLess(arrival - appeared, 1.5)
        self.assertLess(tone_level(c.pcm(arrival), 440), ABSENT)

    def test_mix_output_runs_at_48000_frames_per_second(self):
        target = self.players.play_under_shell(440)
        self.players.play(1000)
        self.assertTrue(self.players.wait_until_playing(2))
        c = self.capture("--mix", target.pid)
        self.assertReady(c, "READY mix 1")
        start = time.monotonic() + 1.0
        time.sleep(11.2)
        frames = c.bytes_between(start, start + 10.0) / 4
        self.assertAlmostEqual(frames / 10.0, 48000, delta=480, msg="%.0f frames/s" % (frames / 10))

    def test_mix_outlives_the_server_and_takes_up_players_once_it_is_back(self):
        target = self.players.play_under_shell(440)
        self.players.play(1000)
        self.assertTrue(self.players.wait_until_playing(2))
        c = self.capture("--mix", target.pid)
        self.assertReady(c, "READY mix 1")
        time.sleep(0.5)
        self.server.kill()  # the players lose their streams and end too
        time.sleep(1.5)
        self.assertIsNone(c.process.poll(), "mix mode ended with the server: %r" % c.status_lines())
        self.server.start()
        self.players.play(660)
        self.assertTrue(self.players.wait_until_playing(1))
        back = time.monotonic()
        time.sleep(2.5)
        self.assertIsNotNone(c.first_arrival(660, after=back), "no audio once the server was back")
        self.assertEqual(c.status_lines(), ["READY mix 1"])

    def test_mix_reader_going_away_ends_with_exit_code_0(self):
        target = self.players.play_under_shell(440)
        c = self.capture("--mix", target.pid)
        self.assertIsNotNone(c.wait_ready())
        time.sleep(0.3)
        c.close_reader()
        closed = time.monotonic()
        self.assertEqual(c.process.wait(5), 0)
        self.assertLess(time.monotonic() - closed, 1.0)


class App(RealSoundTest):
    def copy_of_pacat(self, name):
        path = os.path.join(os.fsencode(self.server.dir), name)
        shutil.copy(shutil.which("pacat"), path)
        return path

    def test_app_follows_the_program_through_a_restart_and_two_instances_and_nothing_else(self):
        app = self.copy_of_pacat(b"tonegen")
        self.players.play(1000)  # another program, never to be heard
        self.assertTrue(self.players.wait_until_playing(1))
        c = self.capture("--app", "Tonegen.exe")  # as Windows compares file names
        self.assertReady(c, "READY app 0")
        first = self.players.play(440, program=app)
        self.assertTrue(self.players.wait_until_playing(2))
        level = tone_level(self.settled_pcm(c, seconds=1.0), 440)
        self.assertGreater(level, PRESENT, "the app is missing")
        os.killpg(first.pid, signal.SIGTERM)
        first.wait()
        killed = time.monotonic()
        time.sleep(1.5)
        between = c.pcm(killed + 0.5)
        self.assertGreater(len(between), 0.8 * RATE * FRAME)
        self.assertEqual(between.strip(b"\0"), b"", "no silence while the app was gone")
        self.players.play(440, program=app)  # the app again, with a new pid
        self.assertTrue(self.players.wait_until_playing(2))
        restarted = time.monotonic()
        self.players.play(660, program=app)  # and a second instance beside it
        time.sleep(2.5)
        arrival = c.first_arrival(440, after=restarted)
        self.assertIsNotNone(arrival, "the restarted app never reached the output")
        print("\n  restarted app's first sound to the output: %.3f s" % (arrival - restarted), file=sys.stderr)
        self.assertLess(arrival - restarted, 1.5)
        both = c.pcm(time.monotonic() - 1.0)
        for f in (440, 660):  # each tree once: twice would be 6 dB louder
            self.assertLess(abs(20 * math.log10(tone_level(both, f) / level)), 1.5, "%d Hz at the wrong level" % f)
        self.assertLess(tone_level(c.pcm(), 1000), ABSENT, "another program leaked in")
        self.assertEqual(c.status_lines(), ["READY app 0"])

    def test_several_targets_take_the_named_trees_and_leave_out_the_others(self):
        music = self.copy_of_pacat(b"music")
        browser = self.players.play(1000)
        game = self.players.play(440)
        self.players.play(660, program=music)
        self.assertTrue(self.players.wait_until_playing(3))
        named = self.capture("--include", game.pid, "--app", "Music.exe")
        allbut = self.capture("--exclude", browser.pid, "--add-exclude", game.pid)
        self.assertReady(named, "READY include 2")
        self.assertReady(allbut, "READY exclude 1")
        self.assertTones(self.settled_pcm(named), present=[440, 660], absent=[1000])
        self.assertTones(allbut.pcm(time.monotonic() - 1.0), present=[660], absent=[440, 1000])

    def test_list_shows_who_plays_and_who_is_paused_whatever_their_names(self):
        odd = self.copy_of_pacat(b'pl"ay\\er \x01\xc3\xa9')  # a quote, a backslash, a control, é
        playing = [self.players.play(440), self.players.play(660, program=odd)]
        paused = self.players.play_paused()
        self.assertTrue(self.players.wait_until_playing(3))
        started = time.monotonic()
        run = subprocess.run([PCMTAP, "--list"], env=self.server.env, capture_output=True, timeout=5)
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertEqual((run.returncode, run.stderr), (0, b""))
        listed = [json.loads(line, object_pairs_hook=list) for line in run.stdout.decode().splitlines()]
        self.assertEqual({tuple(key for key, _ in entry) for entry in listed},
                         {("pid", "parent", "name", "path", "active", "window", "host")})
        by_pid = {dict(entry)["pid"]: dict(entry) for entry in listed}
        self.assertEqual([by_pid.get(p.pid, {}).get("active") for p in playing + [paused]], [True, True, False])
        self.assertEqual(by_pid[playing[1].pid]["name"], 'pl"ay\\er \x01\u00e9')
        self.assertEqual(by_pid[playing[1].pid]["path"], os.fsdecode(odd))
        self.assertEqual((by_pid[playing[0].pid]["name"], by_pid[playing[0].pid]["parent"]), ("pacat", os.getpid()))
        self.assertEqual([entry["active"] for entry in map(dict, listed)], sorted((e["active"] for e in map(dict, listed)), reverse=True))


class SteadySource(RealSoundTest):
    """Mix mode must not touch a source that keeps the mix's own clock, whoever
    else starts or stops playing around it."""

    # On PipeWire the graph at the pace its players and pcmtap set, as on a
    # desktop; PulseAudio's null sink needs the keeper to start responsive.
    keeper = not PIPEWIRE

    def test_passes_through_exactly_while_players_come_and_go(self):
        # Players of exact zeros start every 0.4 s and are killed 2.5 s later
        # (on PipeWire alternately pacat and native pw-cat), so the mix must be
        # the steady source sample for sample: after its first second, every
        # frame once, in order, unaltered, nothing inserted, to its last one.
        # All of it on a machine whose every core is busy.
        for p in busy_cores():
            self.addCleanup(p.wait)
            self.addCleanup(p.kill)
        idle = subprocess.Popen(["sleep", "60"])
        self.addCleanup(idle.wait)
        self.addCleanup(idle.kill)
        c = self.capture("--mix", idle.pid)
        self.assertReady(c, "READY mix 0")
        # What the sink itself played, to tell the server's faults from ours.
        reference = Capture("parec", self.server, "-d", "vsink.monitor", "--raw", "--format=s16le", "--rate=48000",
                            "--channels=2", "--latency-msec=100")
        self.captures.append(reference)
        path = write_marked_tone(os.path.join(self.server.dir, "marked.raw"), 12)
        frames = os.path.getsize(path) // FRAME
        # At 100 % the server passes the samples as they are; 200 ms queued
        # keeps the player itself from running dry on a loaded machine.
        command = self.players.player_command(0, path=path, latency_msec=200)
        steady = subprocess.Popen(command[:-1] + ["--volume=65536", path], env=self.server.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        self.players.processes.append(steady)
        # And what the server's own monitor of that stream gave, the path
        # pcmtap's capture takes too: PipeWire's pulse server skips frames
        # there that the sink still played.
        self.assertTrue(self.players.wait_until_playing(1), "the steady source never started")
        monitor = self.monitor_of_the_only_stream()
        zeros = Players(self.server, seconds=3)
        self.addCleanup(zeros.stop)
        programs = ["pacat", "pw-cat"] if PIPEWIRE else ["pacat"]
        began, playing = time.monotonic(), []
        while steady.poll() is None and time.monotonic() < began + frames / RATE + 5:
            now = time.monotonic()
            for p, started in playing:
                if now - started >= 2.5 and p.poll() is None:
                    p.kill()
                    p.wait()
            if now >= began + 0.4 * (len(playing) + 1) and now < began + frames / RATE - 0.5:
                program = programs[len(playing) % len(programs)]
                playing.append((zeros.play(0, program, zeros.silence_file(wav=program == "pw-cat")), now))
            time.sleep(0.02)
        time.sleep(1.0)
        self.assertSteadySourceExact(c, reference, monitor, frames)

    def assertSteadySourceExact(self, c, reference, monitor, frames):
        marks, played, monitored = Marks(c.pcm(), settle=RATE), Marks(reference.pcm()), Marks(monitor.pcm())
        # The libpulse group takes the path of the server's monitor of the
        # stream, so that recording alone tells the server's faults there.
        # The native group takes the stream from the graph: a fault is the
        # server's only if the sink played it so and the monitor gave it so.
        pulse_group = not PIPEWIRE or self.server.env.get("PCMTAP_AUDIO") == "pulse"
        witnesses = [monitored] if pulse_group else [played, monitored]
        report = steady_source_report(marks, played, c, reference, frames, witnesses)
        print("\n  " + "\n  ".join(report["lines"]), file=sys.stderr)
        # Of the stretch each recorded (the monitor starts a moment after the
        # source), the share the server passed unchanged.
        whole = max(witnesses, key=lambda m: m.matched / (m.position + 1))
        passed = frames * whole.matched / (whole.position + 1)
        if PIPEWIRE and passed <= 0.99 * frames:
            # PipeWire on a loaded machine drops and alters the source in its
            # own sink; this run then cannot tell the tool's faults from the
            # server's.
            self.skipTest("the server did not pass the source unchanged: %r" % whole)
        self.assertGreater(passed, 0.99 * frames, "the server did not pass the source unchanged: %r" % whole)
        self.assertEqual(marks.foreign, 0, marks)
        self.assertFalse(report["faults"], "\n".join(report["lines"]))

    def monitor_of_the_only_stream(self):
        """The server's own recorder of its one playback stream's monitor: the
        path pcmtap's libpulse group takes too."""
        index = self.server.pactl("list", "short", "sink-inputs").stdout.split()[0]
        monitor = Capture("parec", self.server, "--monitor-stream=" + index, "--raw", "--format=s16le",
                          "--rate=48000", "--channels=2", "--latency-msec=100")
        self.captures.append(monitor)
        return monitor

    def stall_now_and_then(self, process):
        # Stops a server process for 20-80 ms every 0.3-1 s, as a loaded machine deschedules it.
        stalls = subprocess.Popen(["sh", "-c", "while :; do sleep 0.$(shuf -i 3-9 -n 1); kill -STOP %d; "
                                   "sleep 0.0$(shuf -i 2-8 -n 1); kill -CONT %d; done" % (process.pid, process.pid)])
        self.addCleanup(process.send_signal, signal.SIGCONT)
        self.addCleanup(lambda: (stalls.kill(), stalls.wait()))

    def sibling_case(self):
        # One tree, as a browser's: the root plays the steady source, and a
        # sibling in the same tree plays zeros for 0.5 s and is corked for
        # 0.7 s, three times, then ends, and starts again, until the source
        # has played (or the server has gone). --include ROOT must be the source sample for sample.
        for p in busy_cores():
            self.addCleanup(p.wait)
            self.addCleanup(p.kill)
        path = write_marked_tone(os.path.join(self.server.dir, "marked.raw"), 14)
        frames = os.path.getsize(path) // FRAME
        start, siblings = (os.path.join(self.server.dir, name) for name in ("start", "siblings"))
        command = self.players.player_command(0, path=path, latency_msec=200)
        steady = " ".join("'%s'" % part for part in command[:-1] + ["--volume=65536", path])
        sibling = "'%s' 3 0.5 0.7" % corking_player(self.server.dir)
        root = self.players._shell(
            "while [ ! -e %s ]; do sleep 0.02; done; "
            "(while [ ! -e %s ]; do sleep 0.02; done; while %s; do :; done) & exec %s" % (
                start, siblings, sibling, steady))
        c = self.capture("--include", root.pid)
        self.assertReady(c, "READY %d" % root.pid)
        reference = Capture("parec", self.server, "-d", "vsink.monitor", "--raw", "--format=s16le", "--rate=48000",
                            "--channels=2", "--latency-msec=100")
        self.captures.append(reference)
        time.sleep(0.3)
        open(start, "w").close()
        self.assertTrue(self.players.wait_until_playing(1), "the steady source never started")
        monitor = self.monitor_of_the_only_stream()
        open(siblings, "w").close()
        began = time.monotonic()
        while root.poll() is None and time.monotonic() < began + frames / RATE + 5:
            time.sleep(0.05)
        time.sleep(1.0)
        self.assertSteadySourceExact(c, reference, monitor, frames)

    def test_include_passes_through_exactly_while_a_sibling_corks_ends_and_restarts(self):
        self.sibling_case()

    @unittest.skipUnless(PIPEWIRE, "PipeWire's pulse server")
    def test_include_through_the_libpulse_group_passes_exactly_while_a_sibling_corks_and_the_server_stalls(self):
        self.server.env["PCMTAP_AUDIO"] = "pulse"
        self.stall_now_and_then(self.server.processes[-1])
        self.sibling_case()


def fault_runs(marks, settle=0, join=48):
    """Faults of a marked capture from source position `settle` on, those at
    most `join` frames apart in the output merged: [source position,
    {kind: [frames, pieces]}, output frame where it ends]."""
    runs = []
    for kind, n, position, length in marks.faults:
        if position < settle:
            continue
        if not runs or n > runs[-1][2] + join:
            runs.append([position, {}, n])
        counts = runs[-1][1].setdefault(kind, [0, 0])
        counts[0] += length
        counts[1] += 1
        runs[-1][2] = max(runs[-1][2], n + (0 if kind == "lost" else length))
    return runs


def dropouts_in(counts):
    """Each run of silence inserted is a dropout, and so is each gap of frames
    lost where the frames around it are exact; gaps inside an altered stretch
    are the slips of a resampler."""
    if "zeros" in counts:
        return counts["zeros"][1]
    if "lost" in counts and not ("altered" in counts or "repeated" in counts):
        return counts["lost"][1]
    return 0


def steady_source_report(marks, played, capture, reference, frames, witnesses, settle=RATE, near=960):
    """Judges a capture of the marked source against what the sink played
    (played, as Marks of reference, a recorder that started before the
    source). Faults from the capture's first `settle` frames of the source on
    count, unless every one of `witnesses` (the server's own recordings, as
    Marks, that took the capture's path or saw the stream whole) shows as
    many frames of each kind of fault within `near` frames: those are the
    server's, and excused.
    A fault larger than the server's own beside it, or one that a witness
    passed intact, is the capture's. A source whose last frame reached every
    witness but not the capture lost its end."""
    if marks.last_frame is None:
        return {"faults": ["the source never reached the output"], "dropouts": 0,
                "lines": ["no frame of the source came through"]}
    # The capture joined the source at an unknown place: the marks repeat every
    # PERIOD frames, so arrival times pick the period.
    estimate = (capture.arrival(marks.leading_zeros) - reference.arrival(played.leading_zeros)) * RATE
    joined = marks.first_place + PERIOD * max(0, round((estimate - marks.first_place) / PERIOD))
    server = [[(position + (m.first_place or 0), counts) for position, counts, _ in fault_runs(m)] for m in witnesses]
    faults, excused, frames_of, dropouts, kinds = [], [], {}, 0, []
    for position, counts, _ in fault_runs(marks, settle):
        at = joined + position
        text = "at %.3f s of the source: %s" % (at / RATE, ", ".join(
            "%d %s%s" % (v[0], k, " (%d pieces)" % v[1] if v[1] > 1 else "") for k, v in counts.items()))
        if all(all(count <= sum(c.get(kind, [0])[0] for theirs, c in runs if abs(at - theirs) <= near)
                   for kind, (count, _) in counts.items()) for runs in server):
            excused.append(text)
            continue
        faults.append(text)
        kinds.append(counts)
        dropouts += dropouts_in(counts)
        for kind, (count, _) in counts.items():
            frames_of[kind] = frames_of.get(kind, 0) + count
    last = (frames - 1) % PERIOD
    if marks.last_place != last:
        text = "its last %d frames never came" % ((last - marks.last_place) % PERIOD)
        (excused if any(m.last_place != last for m in witnesses) else faults).append(text)
    judged = frames - joined - settle
    lines = ["steady source: joined at %.3f s of it; of its %d frames after its first second in the output, "
                 "%d exact (%.3f %%); %d dropouts (%.1f per minute); %d runs of faults, frames: %r" % (
                     joined / RATE, judged, marks.settled, 100 * marks.settled / max(1, judged), dropouts,
                     60 * dropouts * RATE / max(1, judged), len(faults), frames_of)]
    lines += ["pcmtap: " + f for f in faults[:20]] + (["... and %d more" % (len(faults) - 20)] if faults[20:] else [])
    lines += ["excused, the server's own (every witness shows it too): " + f for f in excused]
    lines.append("the sink itself: %r" % played)
    lines += ["witness: %r" % m for m in witnesses if m is not played]
    return {"faults": faults, "dropouts": dropouts, "lines": lines, "counts": kinds}


@unittest.skipUnless(PIPEWIRE, "native PipeWire players need PipeWire")
class NativePipeWirePlayers(RealSoundTest):
    """pw-cat is a PipeWire client: its streams name no process, its client does."""

    def test_include_by_pid_captures_the_native_player(self):
        a = self.players.play(440, program="pw-cat")
        self.players.play(1000)
        self.assertTrue(self.players.wait_until_playing(2))
        c = self.capture("--include", a.pid)
        self.assertReady(c, "READY %d" % a.pid)
        self.assertTones(self.settled_pcm(c), present=[440], absent=[1000])

    def test_include_by_ancestor_captures_a_native_descendant(self):
        shell = self.players.play_under_shell(440, program="pw-cat")
        self.players.play(1000, program="pw-cat")
        self.assertTrue(self.players.wait_until_playing(2))
        c = self.capture("--include", shell.pid)
        self.assertReady(c, "READY %d" % shell.pid)
        self.assertTones(self.settled_pcm(c), present=[440], absent=[1000])

    def test_exclude_leaves_out_the_native_player_and_keeps_the_others(self):
        a = self.players.play(440, program="pw-cat")
        self.players.play(1000, program="pw-cat")
        self.players.play(660)
        self.assertTrue(self.players.wait_until_playing(3))
        c = self.capture("--exclude", a.pid)
        self.assertReady(c, "READY %d" % a.pid)
        self.assertTones(self.settled_pcm(c), present=[1000, 660], absent=[440])

    def test_mix_counts_native_players_and_leaves_out_the_target_tree(self):
        target = self.players.play_under_shell(440, program="pw-cat")
        self.players.play(1000, program="pw-cat")
        self.players.play(660)
        self.assertTrue(self.players.wait_until_playing(3))
        c = self.capture("--mix", target.pid)
        self.assertReady(c, "READY mix 2")
        self.assertTones(self.settled_pcm(c), present=[1000, 660], absent=[440])


@unittest.skipUnless(PIPEWIRE, "the graph's quantum is PipeWire's")
class GraphPace(RealSoundTest):
    keeper = False  # the graph at the pace its players and pcmtap set

    def quantum(self):
        """The graph's quantum most cycles ran at over a second (pw-profiler).
        A profiler that logged no cycle at all (it can connect late on a
        loaded machine) measured nothing, and is asked again."""
        for _ in range(3):
            log_path = os.path.join(self.server.dir, "profiler-%f.log" % time.monotonic())
            profiler = subprocess.Popen(["pw-profiler", "-o", log_path], env=self.server.env,
                                        cwd=self.server.dir,  # where it leaves its plots
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(1.5)
            profiler.send_signal(signal.SIGINT)
            profiler.wait()
            with open(log_path) as f:  # the fourth field: the cycle's duration in µs
                quanta = [round(int(line.split("\t")[3]) * 48000 / 1e6) for line in f
                          if line.count("\t") > 4 and line.split("\t")[3].isdigit()]
            if quanta:
                return max(set(quanta), key=quanta.count)
        return None

    def settled_quantum(self, expected):
        """The graph's quantum once it has settled on `expected`, or the last
        one measured: a graph that a new client asks to change may take a few
        cycles of its own scheduling to follow, longer on a loaded machine."""
        quantum = None
        for _ in range(3):
            quantum = self.quantum()
            if quantum == expected:
                break
        if quantum is None:
            # PipeWire 0.3.65 here now and then stops running a graph whose
            # quantum a new client has just lowered (no cycle at all, the
            # tool of the last release too): nothing left to measure.
            self.skipTest("the graph ran no cycle to measure, waiting for a quantum of %d" % expected)
        return quantum

    def test_capture_leaves_the_graph_at_its_players_pace_and_the_pulse_group_at_1024_unless_asked(self):
        a = self.players.play(440, program="pw-cat")  # 100 ms: the graph runs at its largest quantum
        self.assertTrue(self.players.wait_until_playing(1))
        time.sleep(0.5)
        alone = self.quantum()
        self.assertEqual(alone, 2048)
        # PipeWire's own group asks for no latency: the graph keeps its pace.
        c = self.capture("--include", a.pid)
        self.assertReady(c, "READY %d" % a.pid)
        time.sleep(0.5)
        self.assertEqual(self.settled_quantum(alone), alone, "the native group changed the graph's pace")
        c.stop()
        # The pulse group's monitors ask for their fragment.
        self.server.env["PCMTAP_AUDIO"] = "pulse"
        c = self.capture("--include", a.pid)
        self.assertReady(c, "READY %d" % a.pid)
        time.sleep(0.5)
        self.assertEqual(self.settled_quantum(1024), 1024)
        c.stop()
        self.server.env["PCMTAP_FRAGMENT_MS"] = "10.67"
        c = self.capture("--include", a.pid)
        self.assertReady(c, "READY %d" % a.pid)
        time.sleep(0.5)
        self.assertEqual(self.settled_quantum(512), 512, "the lower latency asked for")
        c.stop()
        time.sleep(0.5)
        self.assertEqual(self.settled_quantum(alone), alone, "the graph did not go back to its players' pace")


@unittest.skipUnless(PIPEWIRE, "the native group's capture node")
class LostCaptureNode(RealSoundTest):
    keeper = False

    def test_a_capture_node_destroyed_under_the_capture_is_made_again(self):
        a = self.players.play(440)
        self.assertTrue(self.players.wait_until_playing(1))
        c = self.capture("--include", a.pid)
        self.assertReady(c, "READY %d" % a.pid)
        time.sleep(0.5)
        graph = json.loads(subprocess.run(["pw-dump"], env=self.server.env, capture_output=True, text=True).stdout)
        [ours] = [o["id"] for o in graph if o.get("info", {}).get("props", {}).get("node.name") == "pcmtap"]
        subprocess.run(["pw-cli", "destroy", str(ours)], env=self.server.env, capture_output=True, timeout=10)
        since = time.monotonic() + 0.5
        time.sleep(1.5)
        self.assertTones(c.pcm(since), present=[440], absent=[])
        self.assertEqual(c.status_lines(), ["READY %d" % a.pid])


@unittest.skipUnless(PIPEWIRE, "the native group's own downmix")
class Surround(RealSoundTest):
    keeper = False

    def test_a_surround_player_is_mixed_down_without_clipping_and_stereo_passes_exactly(self):
        # On a 5.1 sink a stream's ports are the sink's: the 5.1 player's own
        # channels, and the graph's upmix of the stereo player, which is left out.
        layout = "front-left,front-right,front-center,lfe,rear-left,rear-right"
        self.server.pactl("load-module", "module-null-sink", "sink_name=s51", "channels=6", "channel_map=" + layout)
        self.server.pactl("set-default-sink", "s51")
        plays = []
        for name, channels, frame in [("six", 6, [8000, -8000, 4000, 16000, 2000, -2000]),
                                      ("loud", 6, [30000] * 6), ("stereo", 2, [1234, -4321])]:
            path = os.path.join(self.server.dir, name + ".raw")
            with open(path, "wb") as f:
                f.write(array.array("h", frame * RATE).tobytes())
            plays.append("pacat --playback --raw --format=s16le --rate=48000 --channels=%d %s--volume=65536 %s" % (
                channels, "--channel-map=%s " % layout if channels == 6 else "", path))
        shell = self.players._shell("sleep 1; " + "; sleep 0.3; ".join(plays) + "; sleep 0.5")
        c = self.capture("--include", shell.pid)
        self.assertReady(c, "READY %d" % shell.pid)
        shell.wait(15)
        samples = samples_of(c.pcm())
        frames = collections.Counter(zip(samples[0::2], samples[1::2]))
        # Front 1, centre and rear -3 dB, no LFE, scaled by 1 / (1 + 2 x 0.7071).
        for frame in [(5071, -2728), (30000, 30000), (1234, -4321)]:
            self.assertGreater(frames[frame], RATE * 0.9, "%r: %r" % (frame, frames.most_common(6)))


class Formats(FormatChecks, RealSoundTest):
    def test_a_tone_keeps_its_pitch_and_level_and_a_lower_rate_does_not_alias(self):
        for group in ("", "pulse") if PIPEWIRE else ("",):  # on PipeWire, through the libpulse group too
            self.server.env["PCMTAP_AUDIO"] = group
            self.assertFormatsConverted()


def silences(pcm, shortest=64):
    """Runs of at least `shortest` silent frames (left channel)."""
    left = samples_of(pcm)[0::2]
    runs, run = 0, 0
    for x in left:
        run = run + 1 if x == 0 else 0
        runs += run == shortest
    return runs


@unittest.skipUnless(PIPEWIRE, "the graph's own pace is PipeWire's")
class Dropouts(RealSoundTest):
    keeper = False  # the graph at the pace its players and pcmtap set

    PLAYED = 0.25 * 32767  # the tone's amplitude, as the players write it
    WINDOW = 4800  # frames: 100 ms, 44 whole periods of 440 Hz

    def test_ten_seconds_of_a_tone_hold_their_level_in_every_100_ms(self):
        a = self.players.play(440, program="pw-cat")
        self.assertTrue(self.players.wait_until_playing(1))
        # What the server itself played, to tell its own dropouts (a player
        # late on a loaded machine) from ours: it asks for no lower latency.
        reference = os.path.join(self.server.dir, "reference.raw")
        with open(reference, "wb") as out:
            recorder = subprocess.Popen(["parec", "-d", "vsink.monitor", "--raw", "--format=s16le", "--rate=48000",
                                         "--channels=2", "--latency-msec=100"], env=self.server.env, stdout=out,
                                        stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (recorder.poll() is None and recorder.kill(), recorder.wait()))
        c = self.capture("--include", a.pid)
        self.assertReady(c, "READY %d" % a.pid)
        time.sleep(11)
        recorder.terminate()
        first = c.first_arrival(440, after=0)
        self.assertIsNotNone(first, "the tone never reached the output")
        pcm = c.pcm(first + 1.0)
        windows = len(pcm) // (self.WINDOW * 4)
        self.assertGreaterEqual(windows, 85, "%.1f s of audio in 10 s" % (len(pcm) / 192000))
        low, high = self.PLAYED * 10 ** (-1 / 20), self.PLAYED * 10 ** (1 / 20)
        bad = []
        for i in range(windows):
            level = tone_level(pcm[i * self.WINDOW * 4:(i + 1) * self.WINDOW * 4], 440)
            if not low <= level <= high:
                bad.append("%.1f s: %.1f dB" % (1 + i / 10, 20 * math.log10(max(level, 1) / self.PLAYED)))
        with open(reference, "rb") as f:
            played = f.read()
        started = next((i for i in range(0, len(played), FRAME) if played[i:i + FRAME] != bytes(FRAME)), 0)
        server_dropouts = silences(played[started + 192000:])
        # A dropout of the server's spoils at most the two windows it touches.
        self.assertLessEqual(len(bad), 2 * server_dropouts, "windows off the played level %r; the server itself "
                             "dropped out %d times" % (bad, server_dropouts))


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        PCMTAP = os.path.abspath(sys.argv.pop(1))
    if not os.access(PCMTAP, os.X_OK):
        sys.exit("pulse_e2e: no pcmtap at %s; build it first" % PCMTAP)
    needed = ("pipewire-pulse", "pw-cat") if PIPEWIRE else ("pulseaudio",)
    missing = [p for p in needed + ("pactl", "pacat", "parec") if shutil.which(p) is None]
    if missing:
        sys.exit("pulse_e2e: missing %s (apt-get install pulseaudio pulseaudio-utils)" % ", ".join(missing))
    check_setup()
    unittest.main(verbosity=2)
