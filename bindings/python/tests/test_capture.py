"""The plumbing around a child, against small stand-ins for pcmtap that split
lines and frames across pipe reads, hang, exit early or ignore signals."""

import asyncio
import os
import sys
import textwrap
import time

import pytest

import pcmtap
from helpers import alive, children_named
from pcmtap import _list
from pcmtap._spawn import spawn

PCM = bytes(range(256)) * 4 + bytes(range(177))  # 1201 bytes: 300 frames and one stray byte

SPLIT = """
    err = sys.stderr.buffer
    err.write(b"Failed to open cookie file\\nREA"); err.flush(); time.sleep(0.05)
    err.write(b"DY 42\\r\\n"); err.flush()
    sizes, i, n = [3, 5, 1, 7, 2, 6, 4], 0, 0
    while i < len(PCM):
        os.write(1, PCM[i:i + sizes[n % 7]]); i += sizes[n % 7]; n += 1
        time.sleep(0.001)
    err.write(b"ERROR buffer 0x88890004\\r\\n"); err.flush()
    sys.exit(1)
"""
HANG = """
    time.sleep(30)
"""
NOISE_THEN_EXIT = """
    sys.stderr.write("cannot connect to the sound server\\n"); sys.exit(3)
"""
EXIT_AFTER_READY = """
    sys.stderr.write("READY 42\\n"); sys.stderr.flush()
    os.write(1, bytes(9)); sys.exit(0)
"""
ENDLESS = """
    sys.stderr.write("READY 42\\n"); sys.stderr.flush()
    while True:
        os.write(1, bytes(4096)); time.sleep(0.01)
"""
STUBBORN = """
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    sys.stderr.write("READY 42\\n"); sys.stderr.flush()
    time.sleep(30)
"""


def fake(tmp_path, body):
    path = tmp_path / "fakepcmtap"
    path.write_text("#!%s\nimport json, os, signal, sys, time\nPCM = %r\n%s" %
                    (sys.executable, PCM, textwrap.dedent(body)))
    path.chmod(0o755)
    return str(path)


def read_odd(tap):
    """read() in odd frame counts: each gives all it was asked for but the
    last one before the end; the next one raises."""
    sizes, n, short = [1, 3, 7, 2, 5], 0, False
    while True:
        want = sizes[n % 5]
        n += 1
        chunk = tap.read(want)
        assert not short, "read() went on after a short read"
        short = len(chunk) < want * tap.format.bytes_per_frame
        yield chunk


def iterate_async(tap_args):
    async def run():
        chunks = []
        try:
            async with pcmtap.open_capture(**tap_args) as tap:
                async for chunk in tap:
                    chunks.append(chunk)
        except pcmtap.PcmtapError as e:
            return chunks, e
        return chunks, None
    return asyncio.run(run())


@pytest.mark.parametrize("fmt, frame_bytes, typecode", [({}, 4, "h"), ({"channels": 1}, 2, "h"),
                                                        ({"format": "f32le"}, 8, "f")])
@pytest.mark.parametrize("reader", ["iterate", "read", "frames", "numpy", "async"])
def test_split_frames_and_lines_come_whole_and_a_late_error_surfaces(tmp_path, reader, fmt, frame_bytes,
                                                                     typecode):
    if reader == "numpy":
        pytest.importorskip("numpy")
    args = {"include": 1, "binary": fake(tmp_path, SPLIT), **fmt}
    if reader == "async":
        chunks, error = iterate_async(args)
    else:
        chunks, error = [], None
        with pcmtap.capture(**args) as tap:
            assert tap.ready_info == pcmtap.ReadyInfo(pid=42, sources=None)
            source = {"iterate": tap, "read": read_odd(tap),
                      "frames": (f.tobytes() for f in tap.frames() if f.typecode == typecode),
                      "numpy": (f.reshape(-1).tobytes() for f in tap.frames(as_numpy=True)
                                if f.shape[1:] == (tap.format.channels,))}[reader]
            with pytest.raises(pcmtap.PcmtapError) as caught:
                for chunk in source:
                    chunks.append(chunk)
            error = caught.value
    assert [len(c) % frame_bytes for c in chunks] == [0] * len(chunks)
    assert b"".join(chunks) == PCM[:1200]  # every whole frame, in order, before the error
    assert error is not None
    assert (error.stage, error.hresult, error.code) == ("buffer", 0x88890004,
                                                        "AUDCLNT_E_DEVICE_INVALIDATED")
    assert children_named("fakepcmtap") == []


def test_no_ready_in_time_stops_the_child(tmp_path):
    started = time.monotonic()
    with pytest.raises(pcmtap.PcmtapError) as caught:
        pcmtap.capture(include=1, binary=fake(tmp_path, HANG), ready_timeout=0.3)
    assert (caught.value.stage, caught.value.code) == ("ready", "ERROR_TIMEOUT")
    assert children_named("fakepcmtap") == []
    assert time.monotonic() - started < 5


@pytest.mark.parametrize("start", ["sync", "async"])
def test_exit_before_ready_names_the_exit_and_what_was_said(tmp_path, start):
    args = {"include": 1, "binary": fake(tmp_path, NOISE_THEN_EXIT)}
    if start == "async":
        _, error = iterate_async(args)
    else:
        with pytest.raises(pcmtap.PcmtapError) as caught:
            pcmtap.capture(**args)
        error = caught.value
    assert (error.stage, error.hresult, error.code) == ("exit", None, "PCMTAP_EXITED")
    assert "code 3" in str(error) and "cannot connect to the sound server" in str(error)


def test_an_end_without_error_line_after_ready_still_raises(tmp_path):
    with pcmtap.capture(include=1, binary=fake(tmp_path, EXIT_AFTER_READY)) as tap:
        assert tap.read(10) == bytes(8)  # two whole frames, the stray byte dropped
        with pytest.raises(pcmtap.PcmtapError) as caught:
            tap.read(1)
        assert caught.value.code == "PCMTAP_EXITED"
        with pytest.raises(pcmtap.PcmtapError):  # and again: the capture stays ended
            next(iter(tap))


def test_stop_closes_the_pipe_and_later_reads_are_empty(tmp_path):
    tap = pcmtap.capture(include=1, binary=fake(tmp_path, ENDLESS))
    assert len(tap.read(100)) == 400
    started = time.monotonic()
    tap.stop()
    assert time.monotonic() - started < 0.9  # ended by its failed write, not by a signal
    assert not alive(tap.pid)
    assert tap.read(100) == b"" and list(tap) == []
    assert tap.stop() == tap.returncode  # a second stop is harmless


def test_stop_kills_a_child_that_ignores_the_pipe_and_sigterm(tmp_path):
    tap = pcmtap.capture(include=1, binary=fake(tmp_path, STUBBORN))
    assert tap.stop(grace=0.2) == -9
    assert not alive(tap.pid)


def test_missing_binary_names_the_paths_tried(monkeypatch, tmp_path):
    missing = str(tmp_path / "nowhere" / "pcmtap")
    monkeypatch.setenv("PCMTAP_PATH", missing)
    with pytest.raises(pcmtap.PcmtapError) as caught:
        pcmtap.capture(include=1)
    assert (caught.value.stage, caught.value.code) == ("spawn", "PCMTAP_NOT_FOUND")
    assert isinstance(caught.value, FileNotFoundError) and missing in str(caught.value)
    monkeypatch.delenv("PCMTAP_PATH")
    with pytest.raises(FileNotFoundError) as caught:
        pcmtap.find_binary()
    assert os.path.join("pcmtap", "bin", "pcmtap") in str(caught.value)


GAME = pcmtap.App(7, None, "game.exe", None, True, "Game")
HELPER = pcmtap.App(8, 7, "msedgewebview2.exe", "C:\\g\\w.exe", False, None, "game.exe")
APPS = "GAME, HELPER = %r, %r\n" % (GAME._asdict(), HELPER._asdict())


def test_list_apps_reads_an_app_a_line_sync_and_async(tmp_path):
    older = "{k: v for k, v in GAME.items() if k != 'host'}"  # a pcmtap from before hosts
    binary = fake(tmp_path, APPS + "assert sys.argv[1:] == ['--list']\n"
                  "print(json.dumps(dict(%s, later=1)), json.dumps(HELPER), sep='\\r\\n')" % older)
    assert pcmtap.list_apps(binary=binary) == asyncio.run(pcmtap.list_apps_async(binary=binary)) == [GAME, HELPER]


@pytest.mark.parametrize("body, stage, code, words", [
    ("sys.stderr.write('ERROR coinit 0x80004005\\n'); sys.exit(1)", "coinit", "HRESULT_0x80004005", ""),
    ("print(json.dumps(GAME)); sys.stderr.write('no server\\n'); sys.exit(2)", "exit", "PCMTAP_EXITED", "no server"),
    ("time.sleep(30)", "list", "ERROR_TIMEOUT", "within 1 s"),
] + [("print(json.dumps(GAME)); print(%s)" % bad, "list", "PCMTAP_BAD_OUTPUT", "no app record") for bad in (
    "'Segmentation fault'", "json.dumps(dict(GAME, active=1))",
    "json.dumps({k: v for k, v in GAME.items() if k != 'window'})", "json.dumps(dict(GAME, host=5))")])
def test_list_apps_fails_with_a_pcmtap_error(tmp_path, body, stage, code, words):
    with pytest.raises(pcmtap.PcmtapError) as caught:
        pcmtap.list_apps(binary=fake(tmp_path, APPS + body), timeout=1.0 if code == "ERROR_TIMEOUT" else 10.0)
    assert (caught.value.stage, caught.value.code) == (stage, code) and words in str(caught.value)
    assert children_named("fakepcmtap") == []


@pytest.mark.parametrize("starting", [0.3, 0], ids=["while-it-starts", "while-it-runs"])
def test_a_cancelled_list_apps_async_kills_pcmtap_and_reaps_it(tmp_path, monkeypatch, starting):
    spawned = []

    def slow_spawn(argv):
        spawned.append(spawn(argv))
        time.sleep(starting)
        return spawned[0]
    monkeypatch.setattr(_list, "spawn", slow_spawn)

    async def cancel():
        task = asyncio.ensure_future(pcmtap.list_apps_async(binary=fake(tmp_path, HANG), timeout=8))
        while not spawned:
            await asyncio.sleep(0.01)
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    started = time.monotonic()
    asyncio.run(cancel())  # waits for the thread that reaps pcmtap
    assert spawned[0].returncode == -9 and time.monotonic() - started < 4  # killed, long before the timeout
