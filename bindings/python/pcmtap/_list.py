"""pcmtap --list: the processes that have an audio session now."""

import asyncio
import json
import subprocess
import threading
from typing import Any, List, NamedTuple, Optional

from ._errors import PcmtapError, exit_error, parse_status
from ._spawn import spawn

_TIMEOUT = 0x800705B4


class App(NamedTuple):
    """A process that has an audio session: `name` is its executable's file
    name, what capture(app=...) takes; `active` says whether it plays now;
    `window` is the title of its window, or else of its nearest ancestor's
    that has one; `host`, for a shared host (a WebView2 or browser helper),
    the file name of the app it serves. `parent`, `path`, `window` and `host`
    may be None."""
    pid: int
    parent: Optional[int]
    name: str
    path: Optional[str]
    active: bool
    window: Optional[str]
    host: Optional[str] = None


def _is(value: Any, kind: type, nullable: bool = False) -> bool:
    if value is None:
        return nullable
    return isinstance(value, kind) and (kind is bool or not isinstance(value, bool))


def _app(line: bytes) -> Optional[App]:
    """One line of pcmtap --list as an App, or None for one that is not one."""
    try:
        record = json.loads(line.decode("utf-8"))
    except ValueError:  # UnicodeDecodeError too
        return None
    # A pcmtap older than the host field says nothing of hosts.
    if not isinstance(record, dict) or not all(key in record for key in App._fields[:-1]):
        return None
    fields: List[Any] = [record.get(key) for key in App._fields]
    app = App(*fields)
    if not (_is(app.pid, int) and app.pid > 0 and _is(app.parent, int, True) and _is(app.name, str)
            and _is(app.path, str, True) and _is(app.active, bool) and _is(app.window, str, True)
            and _is(app.host, str, True)):
        return None
    return app


def _result(returncode: int, out: bytes, err: bytes) -> List[App]:
    other = []
    for raw in err.split(b"\n"):
        line = raw.decode("ascii", "replace").rstrip("\r")
        status = parse_status(line)
        if isinstance(status, PcmtapError):
            raise status
        if line.strip():
            other.append(line)
    if returncode != 0:
        said = "; its stderr: " + " | ".join(other[-5:]) if other else " and said nothing"
        raise exit_error(returncode, "at --list" + said)
    apps = []
    for raw in out.split(b"\n"):
        if not raw.strip():
            continue
        app = _app(raw)
        if app is None:
            raise PcmtapError("list", None, "PCMTAP_BAD_OUTPUT", "pcmtap --list printed a line "
                              "that is no app record: %r" % raw[:200])
        apps.append(app)
    return apps


def _finish(proc: "subprocess.Popen[bytes]", timeout: Optional[float]) -> List[App]:
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise PcmtapError("list", _TIMEOUT, "ERROR_TIMEOUT", "pcmtap --list gave no answer "
                          "within %g s; try again, and restart the audio service if it "
                          "keeps happening" % (timeout or 0)) from None
    except BaseException:  # KeyboardInterrupt too: never leave the child running
        proc.kill()
        proc.wait()
        raise
    return _result(proc.returncode, out, err)


def run_list(argv: List[str], timeout: Optional[float]) -> List[App]:
    return _finish(spawn(argv), timeout)


class _Run:
    """A --list child shared between the awaiting task and the thread that
    starts and reaps it: a cancel may come before the child exists."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.proc: "Optional[subprocess.Popen[bytes]]" = None
        self.cancelled = False

    def run(self, argv: List[str], timeout: Optional[float]) -> List[App]:
        proc = spawn(argv)
        with self.lock:
            self.proc = proc
            if self.cancelled:
                proc.kill()
        return _finish(proc, timeout)  # reaps it, killed or not

    def cancel(self) -> None:
        with self.lock:
            self.cancelled = True
            if self.proc is not None:
                self.proc.kill()


async def run_list_async(argv: List[str], timeout: Optional[float]) -> List[App]:
    run = _Run()
    try:
        return await asyncio.get_running_loop().run_in_executor(None, run.run, argv, timeout)
    except asyncio.CancelledError:
        run.cancel()
        raise
