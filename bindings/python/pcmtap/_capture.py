"""One pcmtap child: its READY wait, its PCM in whole frames, its stop."""

from __future__ import annotations

import array
import atexit
import os
import subprocess
import sys
import threading
import weakref
from typing import Any, Iterator, List, Literal, Optional, Union, overload

from ._errors import PcmtapError, ReadyInfo, exit_error, parse_status
from ._format import FORMAT, Format
from ._spawn import spawn

_CHUNK_BYTES = 65536
_TIMEOUT = 0x800705B4

_live: "weakref.WeakSet[Capture]" = weakref.WeakSet()


class Capture:
    """A running pcmtap. Made by capture(); not meant to be shared between
    threads while one of them reads."""

    def __init__(self, argv: List[str], format: Format = FORMAT) -> None:
        self._proc = spawn(argv)
        self._argv = argv
        self._format = format
        self._out = self._proc.stdout
        self._lock = threading.Lock()
        # Written by the status thread under _lock:
        self._ready: Optional[ReadyInfo] = None
        self._error: Optional[PcmtapError] = None
        self._other_lines: List[str] = []  # the last few lines that are no status line
        self._status = threading.Event()  # READY, ERROR or end of stderr
        # The reading thread's own:
        self._pending = bytearray()
        self._ended = False  # stdout reached its end
        self._stopped = False  # stop() was called
        self._stop_lock = threading.Lock()
        self._thread = threading.Thread(target=self._read_status, name="pcmtap-status",
                                        daemon=True)
        self._thread.start()
        _live.add(self)

    # -- status lines -------------------------------------------------------------

    def _read_status(self) -> None:
        assert self._proc.stderr is not None
        try:
            for raw in self._proc.stderr:  # whole lines, however the pipe splits them
                line = raw.decode("ascii", "replace").rstrip("\r\n")
                status = parse_status(line)
                with self._lock:
                    if isinstance(status, ReadyInfo):
                        if self._ready is None:
                            self._ready = status
                    elif isinstance(status, PcmtapError):
                        if self._error is None:
                            self._error = status
                    else:
                        self._other_lines = (self._other_lines + [line])[-5:]
                if status is not None:
                    self._status.set()
        except (OSError, ValueError):
            pass
        finally:
            self._status.set()

    def _wait_ready(self, timeout: Optional[float]) -> ReadyInfo:
        if not self._status.wait(timeout):
            self.stop()
            raise PcmtapError("ready", _TIMEOUT, "ERROR_TIMEOUT",
                              "pcmtap gave no READY within %g s: activating the capture "
                              "timed out; try again, and restart the audio service if it "
                              "persists" % (timeout or 0))
        with self._lock:
            ready, error = self._ready, self._error
        if ready is not None and error is None:
            return ready
        self.stop()
        if error is not None:
            raise error
        raise exit_error(self._proc.returncode, "before READY" + self._stderr_tail())

    def _stderr_tail(self) -> str:
        with self._lock:
            lines = list(self._other_lines)
        return "; its stderr: " + " | ".join(lines) if lines else " and said nothing"

    # -- audio ----------------------------------------------------------------------

    def _fill(self) -> bool:
        """Reads what the pipe has (waiting for it); False at the end of the output."""
        if self._ended or self._stopped or self._out is None:
            return False
        try:
            data = os.read(self._out.fileno(), _CHUNK_BYTES)
        except (OSError, ValueError):  # closed by stop() from another thread
            data = b""
        if not data:
            self._ended = True
            return False
        self._pending += data
        return True

    def _whole(self, limit: Optional[int] = None) -> bytes:
        size = len(self._pending) - len(self._pending) % self._format.bytes_per_frame
        if limit is not None:
            size = min(size, limit)
        out = bytes(self._pending[:size])
        del self._pending[:size]
        return out

    def _end(self) -> None:
        """The output is over: nothing if we stopped it, else raise what ended it."""
        if self._stopped:
            return
        try:
            self._proc.wait(5)
        except subprocess.TimeoutExpired:  # stdout closed, yet still running
            pass
        self._thread.join(1)
        with self._lock:
            error = self._error
        if error is not None:
            raise error
        raise exit_error(self._proc.poll(), "after READY without an ERROR line" +
                         self._stderr_tail())

    def read(self, n_frames: int) -> bytes:
        """Waits for n_frames frames and returns their bytes (format.bytes_per_frame a frame). Fewer
        come only at the end of the output; after stop() the result is empty.
        An ERROR from pcmtap is raised once the frames before it are read."""
        if n_frames < 0:
            raise ValueError("n_frames must not be negative")
        want = n_frames * self._format.bytes_per_frame
        while len(self._pending) < want and self._fill():
            pass
        out = self._whole(want)
        if not out and want and (self._ended or self._stopped):
            self._end()
        return out

    def __iter__(self) -> Iterator[bytes]:
        return self

    def __next__(self) -> bytes:
        """The next chunk of whole frames, as it arrives from the pipe."""
        while True:
            out = self._whole()
            if out:
                return out
            if not self._fill():
                self._end()
                raise StopIteration

    @overload
    def frames(self, as_numpy: Literal[False] = ...) -> Iterator[Union[array.array[int], array.array[float]]]:
        ...

    @overload
    def frames(self, as_numpy: Literal[True]) -> Iterator[Any]:
        ...

    @overload
    def frames(self, as_numpy: bool) -> Iterator[Any]:
        ...

    def frames(self, as_numpy: bool = False) -> Iterator[Any]:
        """Chunks as interleaved samples: array('h') for s16le, array('f') for
        f32le, or numpy arrays of shape (frames, channels) with as_numpy=True."""
        floats = self._format.sample_format == "f32le"
        if as_numpy:
            import numpy  # only when asked for: numpy is optional

            for chunk in self:
                yield numpy.frombuffer(chunk, dtype="<f4" if floats else "<i2").reshape(
                    -1, self._format.channels)
            return
        for chunk in self:
            samples = array.array("f" if floats else "h")
            samples.frombytes(chunk)
            if sys.byteorder == "big":
                samples.byteswap()
            yield samples

    # -- the child --------------------------------------------------------------------

    @property
    def format(self) -> Format:
        """The format of the PCM: what the capture asked pcmtap for."""
        return self._format

    @property
    def ready_info(self) -> Optional[ReadyInfo]:
        with self._lock:
            return self._ready

    @property
    def pid(self) -> int:
        """The pcmtap process's id."""
        return self._proc.pid

    @property
    def returncode(self) -> Optional[int]:
        return self._proc.poll()

    def stop(self, grace: float = 1.0) -> Optional[int]:
        """Ends pcmtap and waits for it: closes its stdout (its next write fails
        and it exits), terminates it if it is still there after `grace` seconds,
        then kills it. Returns its exit status."""
        with self._stop_lock:
            if not self._stopped:
                self._stopped = True
                self._pending.clear()
                if self._out is not None:
                    self._out.close()
                try:
                    self._proc.wait(grace)
                except subprocess.TimeoutExpired:
                    self._proc.terminate()
                    try:
                        self._proc.wait(grace)
                    except subprocess.TimeoutExpired:
                        self._proc.kill()
                        self._proc.wait()
                self._thread.join()
                if self._proc.stderr is not None:
                    self._proc.stderr.close()
                _live.discard(self)
        return self._proc.returncode

    def __enter__(self) -> Capture:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __del__(self) -> None:
        try:
            if not self._stopped and self._proc.poll() is None:
                self._proc.kill()
                self._proc.wait()
        except Exception:
            pass


@atexit.register
def _stop_all() -> None:
    for capture in list(_live):
        capture.stop(grace=0.2)
