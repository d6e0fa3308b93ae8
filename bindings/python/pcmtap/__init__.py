"""Capture the audio other processes play, through the pcmtap helper.

    import pcmtap
    with pcmtap.capture(include=pid) as tap:
        pcm = tap.read(48000)  # one second: 48000 frames, stereo s16le

Audio is always 48000 frames per second, 2 interleaved channels, signed
16-bit little-endian samples: see FORMAT.
"""

from typing import NamedTuple, Optional

from ._async import AsyncCapture, OpenCapture
from ._binary import find_binary
from ._capture import Capture
from ._errors import BinaryNotFoundError, PcmtapError, ReadyInfo
from ._target import target_args

__version__ = "0.1.0"


class Format(NamedTuple):
    sample_rate: int
    channels: int
    bits_per_sample: int
    bytes_per_frame: int


FORMAT = Format(sample_rate=48000, channels=2, bits_per_sample=16, bytes_per_frame=4)


def capture(*, include: Optional[int] = None, exclude: Optional[int] = None,
            mix: Optional[int] = None, hwnd: Optional[int] = None,
            ready_timeout: Optional[float] = 10.0, binary: Optional[str] = None) -> Capture:
    """Starts pcmtap on exactly one target and waits for its READY line.

    include: that process and its descendants; exclude: everything but that
    process tree; mix: every playing process but that tree; hwnd: the process
    owning that window. Raises TypeError or ValueError for a bad target before
    anything starts, BinaryNotFoundError (a PcmtapError and a FileNotFoundError)
    without a binary, and PcmtapError when pcmtap fails (stage 'ready' with ERROR_TIMEOUT when no READY comes within
    ready_timeout seconds; None waits for ever)."""
    args = target_args(include, exclude, mix, hwnd)  # a bad target is told before all else
    argv = [binary or find_binary()] + args
    tap = Capture(argv)
    try:
        tap._wait_ready(ready_timeout)
    except BaseException:  # KeyboardInterrupt too: never leave the child running
        tap.stop()
        raise
    return tap


def open_capture(*, include: Optional[int] = None, exclude: Optional[int] = None,
                 mix: Optional[int] = None, hwnd: Optional[int] = None,
                 ready_timeout: Optional[float] = 10.0,
                 binary: Optional[str] = None) -> OpenCapture:
    """capture() for asyncio: `async with pcmtap.open_capture(include=pid) as tap:`
    or `tap = await pcmtap.open_capture(...)`. The target is checked at once."""
    args = target_args(include, exclude, mix, hwnd)  # a bad target is told before all else
    argv = [binary or find_binary()] + args

    def start() -> Capture:
        tap = Capture(argv)
        tap._wait_ready(ready_timeout)  # stops the child when it raises
        return tap
    return OpenCapture(start)


__all__ = ["AsyncCapture", "BinaryNotFoundError", "Capture", "FORMAT", "Format", "PcmtapError", "ReadyInfo", "capture",
           "find_binary", "open_capture"]
