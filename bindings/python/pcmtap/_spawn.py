"""Starting pcmtap so that it never outlives this process.

pcmtap stops by itself when a write to its stdout fails, which happens when
every reader of the pipe is gone. A forked copy of this process (multiprocessing,
os.fork) still holds the read end, though, and before READY pcmtap writes
nothing. So on Linux the child also asks the kernel for SIGKILL when its parent
dies (PR_SET_PDEATHSIG). The kernel sends it when the *thread* that forked the
child ends, not the process, so every child is forked from one thread of ours
that lives as long as the interpreter, whichever thread asked for the capture.
"""

import concurrent.futures
import ctypes
import os
import signal
import subprocess
import sys
import threading
from typing import Any, Callable, List, Optional

_PR_SET_PDEATHSIG = 1
_CREATE_NO_WINDOW = 0x08000000

_spawner: Optional[concurrent.futures.ThreadPoolExecutor] = None
_spawner_lock = threading.Lock()
_prctl: Optional[Callable[..., int]] = None


def _death_signal_setup(parent: int, prctl: Callable[..., int]) -> Callable[[], None]:
    def setup() -> None:
        # Runs in the child between fork and exec: nothing here may take a lock.
        prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
        if os.getppid() != parent:  # the parent died before the request took effect
            os._exit(127)
    return setup


def _linux_prctl() -> Optional[Callable[..., int]]:
    global _prctl
    if _prctl is None:
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            _prctl = libc.prctl
        except (OSError, AttributeError):
            return None
    return _prctl


def _popen(argv: List[str]) -> "subprocess.Popen[bytes]":
    kwargs: Any = {}
    if os.name == "nt":
        kwargs["creationflags"] = _CREATE_NO_WINDOW
    elif sys.platform.startswith("linux"):
        prctl = _linux_prctl()
        if prctl is not None:
            kwargs["preexec_fn"] = _death_signal_setup(os.getpid(), prctl)
    return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, **kwargs)


def spawn(argv: List[str]) -> "subprocess.Popen[bytes]":
    global _spawner
    if not sys.platform.startswith("linux"):
        return _popen(argv)
    with _spawner_lock:
        if _spawner is None:
            _spawner = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="pcmtap-spawn")
        spawner = _spawner
    return spawner.submit(_popen, argv).result()


def _forget_spawner() -> None:
    # A forked copy of this process has none of our threads: it starts its own.
    global _spawner, _spawner_lock
    _spawner = None
    _spawner_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_spawner)
