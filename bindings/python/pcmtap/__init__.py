"""Capture the audio other processes play, through the pcmtap helper.

    import pcmtap
    with pcmtap.capture(include=pid) as tap:
        pcm = tap.read(48000)  # one second: 48000 frames, stereo s16le

Audio is 48000 frames per second, 2 interleaved channels, signed 16-bit
little-endian samples (FORMAT), unless capture() asks for another rate=,
channels= or format=.
"""

from typing import List, Optional, Sequence, Union

from ._async import AsyncCapture, OpenCapture
from ._binary import find_binary
from ._capture import Capture
from ._errors import BinaryNotFoundError, PcmtapError, ReadyInfo
from ._format import FORMAT, Format, format_args
from ._list import App, run_list, run_list_async
from ._target import target_args

__version__ = "0.1.0"


Pids = Union[int, Sequence[int]]
Names = Union[str, Sequence[str]]


def capture(*, include: Optional[Pids] = None, exclude: Optional[Pids] = None,
            mix: Optional[int] = None, hwnd: Optional[Pids] = None, app: Optional[Names] = None,
            rate: Optional[int] = None, channels: Optional[int] = None, format: Optional[str] = None,
            ready_timeout: Optional[float] = 10.0, binary: Optional[str] = None) -> Capture:
    """Starts pcmtap on its targets and waits for its READY line.

    include: that process and its descendants; hwnd: the process owning that
    window; app: every process tree whose root runs the executable of that file
    name (case and ".exe" aside), followed as it restarts. Each may be a list,
    and they combine: the capture is the mix of every tree named. exclude:
    everything but that process tree (or those trees); it combines with none of
    them. mix: every playing process but that tree, alone.
    rate (8000 to 192000 frames a second), channels (1: the platform's own
    downmix, or 2) and format ('s16le', or 'f32le': floats, not clamped)
    choose the output format, converted by the platform's audio engine; those
    not given stay as in FORMAT.
    Raises TypeError or ValueError for a bad target or format before anything starts,
    BinaryNotFoundError (a PcmtapError and a FileNotFoundError) without a
    binary, and PcmtapError when pcmtap fails (stage 'ready' with ERROR_TIMEOUT
    when no READY comes within ready_timeout seconds; None waits for ever)."""
    args = target_args(include, exclude, mix, hwnd, app)  # a bad target is told before all else
    options, fmt = format_args(rate, channels, format)
    argv = [binary or find_binary()] + args + options
    tap = Capture(argv, fmt)
    try:
        tap._wait_ready(ready_timeout)
    except BaseException:  # KeyboardInterrupt too: never leave the child running
        tap.stop()
        raise
    return tap


def open_capture(*, include: Optional[Pids] = None, exclude: Optional[Pids] = None,
                 mix: Optional[int] = None, hwnd: Optional[Pids] = None,
                 app: Optional[Names] = None, rate: Optional[int] = None,
                 channels: Optional[int] = None, format: Optional[str] = None,
                 ready_timeout: Optional[float] = 10.0, binary: Optional[str] = None) -> OpenCapture:
    """capture() for asyncio: `async with pcmtap.open_capture(include=pid) as tap:`
    or `tap = await pcmtap.open_capture(...)`. The target and format are checked at once."""
    args = target_args(include, exclude, mix, hwnd, app)  # a bad target is told before all else
    options, fmt = format_args(rate, channels, format)
    argv = [binary or find_binary()] + args + options

    def start() -> Capture:
        tap = Capture(argv, fmt)
        tap._wait_ready(ready_timeout)  # stops the child when it raises
        return tap
    return OpenCapture(start)


def list_apps(*, timeout: Optional[float] = 10.0, binary: Optional[str] = None) -> List[App]:
    """The processes that have an audio session now, those playing first, then
    by name. Raises PcmtapError when pcmtap fails (stage 'sessions': no audio
    service to ask) or ends other than with 0,
    prints a line that is no app record (stage 'list', code 'PCMTAP_BAD_OUTPUT')
    or gives no answer within timeout seconds (stage 'list', ERROR_TIMEOUT; it
    is ended then)."""
    return run_list([binary or find_binary(), "--list"], timeout)


async def list_apps_async(*, timeout: Optional[float] = 10.0,
                          binary: Optional[str] = None) -> List[App]:
    """list_apps() for asyncio; a cancelled call kills pcmtap and reaps it."""
    return await run_list_async([binary or find_binary(), "--list"], timeout)


__all__ = ["App", "AsyncCapture", "BinaryNotFoundError", "Capture", "FORMAT", "Format", "PcmtapError", "ReadyInfo",
           "capture", "find_binary", "list_apps", "list_apps_async", "open_capture"]
