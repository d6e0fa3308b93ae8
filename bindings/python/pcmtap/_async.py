"""asyncio over a Capture: its blocking calls run on a thread of its own, one
at a time, so that a stop never closes the pipe under a read in progress."""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
from typing import Any, Callable, Generator, List, Optional, TypeVar

from ._capture import Capture
from ._errors import ReadyInfo
from ._format import Format

T = TypeVar("T")


class AsyncCapture:
    """A running pcmtap for asyncio code: `await tap.read(n)`, `async for chunk
    in tap`, `await tap.stop()`."""

    def __init__(self, capture: Capture, worker: concurrent.futures.ThreadPoolExecutor) -> None:
        self._capture = capture
        self._worker = worker
        self._stopped = False

    async def _run(self, call: Callable[..., T], *args: Any) -> T:
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._worker, functools.partial(call, *args))

    @property
    def format(self) -> Format:
        return self._capture.format

    @property
    def ready_info(self) -> Optional[ReadyInfo]:
        return self._capture.ready_info

    @property
    def pid(self) -> int:
        return self._capture.pid

    @property
    def returncode(self) -> Optional[int]:
        return self._capture.returncode

    async def read(self, n_frames: int) -> bytes:
        return await self._run(self._capture.read, n_frames)

    def __aiter__(self) -> AsyncCapture:
        return self

    def _next_chunk(self) -> bytes:
        return next(self._capture, b"")  # a StopIteration cannot cross a thread's future

    async def __anext__(self) -> bytes:
        chunk = await self._run(self._next_chunk)
        if not chunk:
            raise StopAsyncIteration
        return chunk

    async def stop(self) -> Optional[int]:
        if self._stopped:
            return self._capture.returncode
        self._stopped = True
        try:
            return await self._run(self._capture.stop)
        finally:
            self._worker.shutdown(wait=False)

    async def __aenter__(self) -> AsyncCapture:
        return self

    async def __aexit__(self, *exc: object) -> None:
        # Even when the block was cancelled, the child must not be left running.
        await asyncio.shield(self.stop())


class OpenCapture:
    """What open_capture() returns: `async with` it, or await it."""

    def __init__(self, start: Callable[[], Capture]) -> None:
        self._start = start
        self._tap: Optional[AsyncCapture] = None

    async def _open(self) -> AsyncCapture:
        worker = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="pcmtap-read")
        started = asyncio.get_running_loop().run_in_executor(worker, self._start)
        try:
            capture = await asyncio.shield(started)
        except asyncio.CancelledError:
            # Cancelled while waiting for READY: stop the child once it is there.
            started.add_done_callback(_stop_when_started(worker))
            raise
        except BaseException:
            worker.shutdown(wait=False)
            raise
        return AsyncCapture(capture, worker)

    def __await__(self) -> Generator[Any, None, AsyncCapture]:
        return self._open().__await__()

    async def __aenter__(self) -> AsyncCapture:
        self._tap = await self._open()
        return self._tap

    async def __aexit__(self, *exc: object) -> None:
        if self._tap is not None:
            await self._tap.__aexit__(*exc)


def _stop_when_started(worker: concurrent.futures.ThreadPoolExecutor
                       ) -> Callable[["asyncio.Future[Capture]"], None]:
    def stop(started: "asyncio.Future[Capture]") -> None:
        if not started.cancelled() and started.exception() is None:
            worker.submit(started.result().stop)
        worker.shutdown(wait=False)
    return stop


__all__: List[str] = ["AsyncCapture", "OpenCapture"]
