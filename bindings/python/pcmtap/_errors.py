"""Status lines from pcmtap's stderr, and the error they turn into."""

from typing import Dict, NamedTuple, Optional, Tuple, Union

# The result codes worth a name and a hint: (code, what to do).
_KNOWN: Dict[int, Tuple[str, str]] = {
    0x80070057: ("E_INVALIDARG",
                 "pcmtap found no target: pass a non-zero process id, or the handle of an "
                 "existing window"),
    0x88890004: ("AUDCLNT_E_DEVICE_INVALIDATED",
                 "the audio device went away (unplugged, disabled or the default device "
                 "changed): start the capture again"),
    0x88890010: ("AUDCLNT_E_SERVICE_NOT_RUNNING",
                 "the audio service is not running: start it (Windows Audio; on Linux the "
                 "PulseAudio or PipeWire server) and try again"),
    0x800705B4: ("ERROR_TIMEOUT",
                 "activating the capture timed out: the audio service is busy or hung; "
                 "try again, and restart the audio service if it persists"),
    0x80070005: ("E_ACCESSDENIED",
                 "access denied: the process may not capture that target (run at the "
                 "target's integrity level or higher, or check the microphone privacy settings)"),
}

_FILE_NOT_FOUND = 0x80070002
_ACTIVATION_STAGES = ("activate", "activate-result")
_NO_PROCESS_LOOPBACK = (
    "process-loopback capture is not available: it needs Windows 10 version 2004 "
    "(build 19041) or later, and Wine does not provide it")


class PcmtapError(Exception):
    """pcmtap failed: `stage` is its stage label, `hresult` the result code as an
    unsigned number, `code` its name ('HRESULT_0x%08x' when it has none).

    Failures the package sees itself (pcmtap ended without an ERROR line) have
    stage 'exit', hresult None and code 'EXITED'."""

    def __init__(self, stage: str, hresult: Optional[int], code: str, message: str) -> None:
        super().__init__(message)
        self.stage = stage
        self.hresult = hresult
        self.code = code

    def __reduce__(self) -> Tuple[type, Tuple[str, Optional[int], str, str]]:
        return (type(self), (self.stage, self.hresult, self.code, str(self)))


def error_code(stage: str, hresult: int) -> str:
    if hresult == _FILE_NOT_FOUND and stage in _ACTIVATION_STAGES:
        return "ERROR_FILE_NOT_FOUND"
    known = _KNOWN.get(hresult)
    return known[0] if known else "HRESULT_0x%08x" % hresult


def error_from_status(stage: str, hresult: int) -> PcmtapError:
    code = error_code(stage, hresult)
    if code == "ERROR_FILE_NOT_FOUND":
        advice = _NO_PROCESS_LOOPBACK
    elif hresult in _KNOWN:
        advice = _KNOWN[hresult][1]
    else:
        advice = "see the stage table in pcmtap's README"
    return PcmtapError(stage, hresult, code,
                       "pcmtap failed at %s with 0x%08x (%s): %s" % (stage, hresult, code, advice))


def exit_error(returncode: Optional[int], detail: str) -> PcmtapError:
    if returncode is None:
        how = "pcmtap's output ended"
    elif returncode < 0:
        how = "pcmtap was ended by signal %d" % -returncode
    else:
        how = "pcmtap exited with code %d" % returncode
    return PcmtapError("exit", None, "EXITED", "%s %s" % (how, detail))


class ReadyInfo(NamedTuple):
    """What the READY line said: the target pid (include and exclude modes) or
    the number of sources (mix mode)."""
    pid: Optional[int]
    sources: Optional[int]


def parse_status(line: str) -> Union[ReadyInfo, PcmtapError, None]:
    """One stderr line (its line end removed): READY info, an error, or None
    for a line that is neither."""
    words = line.split()
    try:
        if len(words) == 2 and words[0] == "READY":
            return ReadyInfo(int(words[1]), None)
        if len(words) == 3 and words[:2] == ["READY", "mix"]:
            return ReadyInfo(None, int(words[2]))
        if len(words) == 3 and words[0] == "ERROR" and words[2].startswith("0x"):
            return error_from_status(words[1], int(words[2], 16) & 0xFFFFFFFF)
    except ValueError:
        pass
    return None
