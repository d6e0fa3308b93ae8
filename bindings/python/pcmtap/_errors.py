"""Status lines from pcmtap's stderr, and the error they turn into."""

from typing import Dict, NamedTuple, Optional, Tuple, Union

# The result codes worth a name, with what to do about each (the same words as
# the Node package's). Anything else is named by its hex value.
_KNOWN: Dict[int, Tuple[str, str]] = {
    0x80070057: ("E_INVALIDARG", "pcmtap refused its command line; pass a non-zero process id "
                 "or a live window handle"),
    0x80070002: ("ERROR_FILE_NOT_FOUND", "the process-loopback device was not found"),
    0x88890004: ("AUDCLNT_E_DEVICE_INVALIDATED", "the audio device went away or the audio "
                 "service restarted; start the capture again"),
    0x88890010: ("AUDCLNT_E_SERVICE_NOT_RUNNING", "the audio service is not running; start it "
                 "(Windows Audio), then start the capture again"),
    0x800705B4: ("ERROR_TIMEOUT", "the audio service did not complete the activation in time; "
                 "try again, and restart the Windows Audio service if it keeps happening"),
    0x80070005: ("E_ACCESSDENIED", "access to the audio was denied; run pcmtap as the same user "
                 "as the target process, and check the privacy settings for audio capture"),
    0x80070070: ("ERROR_DISK_FULL", "the disk or device that pcmtap's output goes to is full"),
    0x8007000A: ("ERROR_BAD_ENVIRONMENT", "PCMTAP_AUDIO names no audio group (Linux); set it to "
                 "pulse or pipewire, or leave it unset"),
}

_FILE_NOT_FOUND = 0x80070002
_ACTIVATION_STAGES = ("activate", "activate-result")
# Process loopback arrived in Windows 10 build 19041; older Windows and Wine
# answer the activation with "file not found".
_NO_PROCESS_LOOPBACK = (
    "process-loopback capture is not available on this system; it needs Windows 10 version "
    "2004 (build 19041) or later, and Wine has none")
_NOT_SUPPORTED = 0x80070032
# pcmtap writes binary audio, which a console must not get.
_CONSOLE_OUTPUT = "pcmtap's standard output is a console; give it a pipe or a file"


class PcmtapError(Exception):
    """pcmtap failed: `stage` is its stage label, `hresult` the result code as an
    unsigned number, `code` its name ('HRESULT_0x%08x' when it has none).

    Failures the package sees itself have stages of their own: 'spawn' (code
    'PCMTAP_NOT_FOUND': no binary), 'ready' (ERROR_TIMEOUT: no READY in time),
    'exit' (code 'PCMTAP_EXITED': pcmtap ended without an ERROR line) and
    'list' (list_apps(): ERROR_TIMEOUT, or 'PCMTAP_BAD_OUTPUT' for a line that
    is no app record)."""

    def __init__(self, stage: str, hresult: Optional[int], code: str, message: str) -> None:
        super().__init__(message)
        self.stage = stage
        self.hresult = hresult
        self.code = code

    def __reduce__(self) -> Tuple[type, Tuple[str, Optional[int], str, str]]:
        return (type(self), (self.stage, self.hresult, self.code, str(self)))


def error_code(hresult: int) -> str:
    known = _KNOWN.get(hresult)
    return known[0] if known else "HRESULT_0x%08x" % hresult


def _advice(stage: str, hresult: int) -> str:
    if hresult == _FILE_NOT_FOUND and stage in _ACTIVATION_STAGES:
        return _NO_PROCESS_LOOPBACK
    if hresult == _NOT_SUPPORTED and stage == "output":
        return _CONSOLE_OUTPUT
    if hresult in _KNOWN:
        return _KNOWN[hresult][1]
    if hresult >> 16 == 0x8007:
        return ("it carries Win32 error %d; look that number up among the system error codes"
                % (hresult & 0xFFFF))
    return "no advice is known for this code; see the result code in the Windows documentation"


def error_from_status(stage: str, hresult: int) -> PcmtapError:
    code = error_code(hresult)
    return PcmtapError(stage, hresult, code, "pcmtap failed at %s with 0x%08x (%s): %s"
                       % (stage, hresult, code, _advice(stage, hresult)))


def exit_error(returncode: Optional[int], detail: str) -> PcmtapError:
    if returncode is None:
        how = "pcmtap's output ended"
    elif returncode < 0:
        how = "pcmtap was ended by signal %d" % -returncode
    else:
        how = "pcmtap exited with code %d" % returncode
    return PcmtapError("exit", None, "PCMTAP_EXITED", "%s %s" % (how, detail))


class BinaryNotFoundError(PcmtapError, FileNotFoundError):
    """No pcmtap binary where it was looked for (a FileNotFoundError too)."""

    def __init__(self, message: str) -> None:
        super().__init__("spawn", None, "PCMTAP_NOT_FOUND", message)

    def __reduce__(self) -> Tuple[type, Tuple[str]]:  # type: ignore[override]
        return (type(self), (str(self),))


class ReadyInfo(NamedTuple):
    """What the READY line said: the target pid (one include, exclude or hwnd)
    or the number of sources (mix mode, several targets or excludes; app mode:
    the process trees found)."""
    pid: Optional[int]
    sources: Optional[int]


_MIXES = ("mix", "app", "include", "exclude")  # READY lines that count sources


def parse_status(line: str) -> Union[ReadyInfo, PcmtapError, None]:
    """One stderr line (its line end removed): READY info, an error, or None
    for a line that is neither."""
    words = line.split()
    try:
        if len(words) == 2 and words[0] == "READY":
            return ReadyInfo(int(words[1]), None)
        if len(words) == 3 and words[0] == "READY" and words[1] in _MIXES:
            return ReadyInfo(None, int(words[2]))
        if len(words) == 3 and words[0] == "ERROR" and words[2].startswith("0x"):
            return error_from_status(words[1], int(words[2], 16) & 0xFFFFFFFF)
    except ValueError:
        pass
    return None
