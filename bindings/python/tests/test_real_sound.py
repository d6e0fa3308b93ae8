"""The package against the real pcmtap on a headless sound server: tones
captured by include, READY lines, pcmtap's own errors, the server dying under
a capture, and no pcmtap left behind however a block ends."""

import asyncio
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import pcmtap
from helpers import alive, children_named, wait_until
from pulse_harness import tone_level

RATE = pcmtap.FORMAT.sample_rate
PRESENT = 2000  # tone level of a played tone (its amplitude is about 8190)
ABSENT = 200


def play(players, frequency):
    player = players.play(frequency)
    assert players.wait_until_playing(len(players.processes)), "the player never started"
    return player


@pytest.mark.parametrize("options, rate, channels", [({}, RATE, 2), ({"rate": 16000, "channels": 1}, 16000, 1)])
def test_a_tone_by_include_arrives_with_its_frequency_at_the_rate_asked_for(server, players, options, rate,
                                                                            channels):
    player = play(players, 440)
    play(players, 1000)  # another process: must stay out of an include capture
    with pcmtap.capture(include=player.pid, **options) as tap:
        assert tap.ready_info == pcmtap.ReadyInfo(pid=player.pid, sources=None)
        tap.read(rate // 2)  # settle: the first read may take what piled up before it
        started = time.monotonic()
        pcm = tap.read(2 * rate)
        elapsed = time.monotonic() - started
    assert len(pcm) == 2 * rate * 2 * channels
    # tone_level reads the left of stereo at 48 kHz: a frequency scaled so, for any rate and channel count
    assert tone_level(pcm, 440 * 2 * RATE / (rate * channels)) > PRESENT
    assert tone_level(pcm, 1000 * 2 * RATE / (rate * channels)) < ABSENT
    # Wall time under a shared machine's load: within 5 %.
    assert 2 / elapsed == pytest.approx(1.0, abs=0.05), "%.0f frames/s" % (2 * rate / elapsed)


def test_ready_info_for_a_silent_pid_and_for_mix(server):
    # No audio: pcmtap still gets READY (and, playing nothing, writes nothing).
    with pcmtap.capture(include=os.getpid()) as tap:
        assert tap.ready_info == pcmtap.ReadyInfo(pid=os.getpid(), sources=None)
    with pcmtap.capture(mix=os.getpid()) as tap:
        assert tap.ready_info is not None and tap.ready_info.pid is None
        assert isinstance(tap.ready_info.sources, int)


def test_a_listed_player_captured_by_its_name_yields_its_tone(server, players, tmp_path):
    name = "tone%d" % os.getpid()  # a process is named by its executable: a copy of pacat
    shutil.copy(shutil.which("pacat"), str(tmp_path / name))
    player = players.play(440, program=str(tmp_path / name))
    listed = pcmtap.App(player.pid, os.getpid(), name, str(tmp_path / name), True, None)
    assert wait_until(lambda: listed in pcmtap.list_apps(), 5, 0.2), pcmtap.list_apps()
    with pcmtap.capture(app=name) as tap:
        assert tap.ready_info == pcmtap.ReadyInfo(pid=None, sources=1)
        tap.read(RATE // 2)  # settle
        pcm = tap.read(RATE)
    assert tone_level(pcm, 440) > PRESENT


def test_args_error_from_pcmtap_itself(server, monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)  # no window can own the handle
    with pytest.raises(pcmtap.PcmtapError) as caught:
        pcmtap.capture(hwnd=5)
    error = caught.value
    assert (error.stage, error.hresult, error.code) == ("args", 0x80070057, "E_INVALIDARG")
    assert children_named("pcmtap") == []


def test_server_killed_after_ready_surfaces_its_buffer_error(own_server, players):
    player = play(players, 440)
    with pcmtap.capture(include=player.pid) as tap:
        got = tap.read(RATE // 4)
        own_server.kill()
        with pytest.raises(pcmtap.PcmtapError) as caught:
            for chunk in tap:
                got += chunk
    error = caught.value
    assert (error.stage, error.hresult, error.code) == (
        "buffer", 0x88890004, "AUDCLNT_E_DEVICE_INVALIDATED")
    assert tone_level(got[:RATE], 440) > PRESENT  # what came before the failure is all there
    assert children_named("pcmtap") == []


class Boom(Exception):
    pass


@pytest.mark.parametrize("mode", ["sync", "async"])
@pytest.mark.parametrize("ending", ["normal", "exception"])
def test_no_pcmtap_left_after_the_block(server, players, mode, ending):
    player = play(players, 440)
    seen = {}

    def body(tap, pcm):
        seen["pid"] = tap.pid
        assert alive(tap.pid) and tone_level(pcm, 440) > PRESENT
        if ending == "exception":
            raise Boom()

    try:
        if mode == "sync":
            with pcmtap.capture(include=player.pid) as tap:
                body(tap, tap.read(RATE // 10))
        else:
            async def run():
                async with pcmtap.open_capture(include=player.pid) as tap:
                    chunks = b""
                    async for chunk in tap:
                        chunks += chunk
                        if len(chunks) >= RATE // 10 * 4:
                            break
                    body(tap, chunks)
                assert await tap.stop() == tap.returncode  # a second stop is harmless
            asyncio.run(run())
    except Boom:
        assert ending == "exception"
    else:
        assert ending == "normal"
    assert not alive(seen["pid"])
    assert children_named("pcmtap") == []


PARENT = """
    import os, subprocess, sys, threading, time
    sys.path.insert(0, %(package)r)
    import pcmtap
    taps = []
    starter = threading.Thread(target=lambda: taps.append(pcmtap.capture(include=%(pid)d)))
    starter.start(); starter.join()  # the thread that asked for it is gone
    # Another process holds the read end of pcmtap's stdout, so that its writes
    # do not fail when this process dies.
    keeper = subprocess.Popen(["sleep", "60"], pass_fds=[taps[0]._out.fileno()])
    print(taps[0].pid, keeper.pid, flush=True)
    time.sleep(60)
"""


def test_pcmtap_dies_with_its_parent(server, players):
    player = play(players, 440)
    package = os.path.dirname(os.path.dirname(os.path.abspath(pcmtap.__file__)))
    parent = subprocess.Popen([sys.executable, "-c", textwrap.dedent(PARENT) % {
        "package": package, "pid": player.pid}], stdout=subprocess.PIPE, text=True)
    try:
        child, keeper = (int(word) for word in parent.stdout.readline().split())
        time.sleep(0.5)
        assert alive(child), "pcmtap ended with the thread that started it"
        parent.kill()
        parent.wait()
        assert wait_until(lambda: not alive(child), 3), "pcmtap outlived its parent"
    finally:
        parent.kill()
        parent.wait()
        for pid in (child, keeper):
            try:
                os.kill(pid, signal.SIGKILL)
            except (ProcessLookupError, NameError):
                pass
