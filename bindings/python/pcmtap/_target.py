"""The command line for a capture target, checked before anything is started."""

import re
from typing import Callable, List, Optional, Sequence, TypeVar, Union

_MAX_PID = 0xFFFFFFFF
_MAX_HWND = 0xFFFFFFFFFFFFFFFF
_MAX_NAME = 260  # MAX_PATH, in UTF-16 units, as pcmtap allows

# Characters no Windows file name holds, and the final dot or space that
# Windows strips from one: a name made of them can never match, and pcmtap
# refuses it. A surrogate would reach pcmtap as invalid UTF-8 (it is what
# undecodable bytes become); a NUL would cut the argument short.
_NOT_A_FILE_NAME = re.compile(r'[\x00-\x1f<>:"|?*\\/\ud800-\udfff]|[. ]\Z')

T = TypeVar("T")
OneOrMore = Union[T, Sequence[T]]


def _check_int(name: str, value: object, largest: int) -> str:
    # pcmtap reads values like strtoul: "-1" would become the largest pid, "1.5"
    # would become 1. Only a plain integer in range may reach it.
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not 0 < value <= largest:
        raise ValueError("%s must be between 1 and %d, got %d" % (name, largest, value))
    return str(value)


def _check_name(name: str, value: object) -> str:
    # An executable's file name, which pcmtap matches without regard to case or
    # ".exe", counted in UTF-16 units as Windows counts.
    if not isinstance(value, str):
        raise TypeError("app must be a str, not %s" % type(value).__name__)
    units = len(value.encode("utf-16-le", "surrogatepass")) // 2
    if not value or units > _MAX_NAME or _NOT_A_FILE_NAME.search(value):
        raise ValueError("app must be an executable's file name, 1 to %d UTF-16 units with no path, "
                         "control character or any of < > : \" | ? *, not ending in a dot or a "
                         "space, got %r" % (_MAX_NAME, value))
    return value


def _each(name: str, value: object, check: Callable[[str, object], str]) -> List[str]:
    """One value or a list or tuple of them, each checked; an empty one is as good as none."""
    if value is None:
        return []
    if isinstance(value, (list, tuple)):
        return [check(name, v) for v in value]
    return [check(name, value)]


def target_args(include: Optional[OneOrMore[int]], exclude: Optional[OneOrMore[int]],
                mix: Optional[int], hwnd: Optional[OneOrMore[int]],
                app: Optional[OneOrMore[str]] = None) -> List[str]:
    if mix is not None:
        others = [name + "=" for name, value in
                  (("include", include), ("exclude", exclude), ("hwnd", hwnd), ("app", app))
                  if value is not None]
        if others:
            raise TypeError("mix= takes no other target (got %s too)" % ", ".join(others))
        return ["--mix", _check_int("mix", mix, _MAX_PID)]

    pids = _each("include", include, lambda n, v: _check_int(n, v, _MAX_PID))
    handles = _each("hwnd", hwnd, lambda n, v: _check_int(n, v, _MAX_HWND))
    names = _each("app", app, _check_name)
    left_out = _each("exclude", exclude, lambda n, v: _check_int(n, v, _MAX_PID))
    if (pids or handles or names) and left_out:
        raise TypeError("a capture either takes trees (include=, hwnd=, app=) or leaves them out "
                        "(exclude=), not both")
    if not (pids or handles or names or left_out):
        raise TypeError("give a target: include=, hwnd= or app= (each one value or a list, "
                        "together as you like), exclude= (one or a list) or mix=")

    # At most one --include, --hwnd or --exclude: of two, the last one's pid
    # would replace the first's. Every other pid or handle is an --add-*.
    args: List[str] = []
    for option, values in (("include", pids), ("hwnd", handles), ("exclude", left_out)):
        for value in values:
            args += ["--" + option if not args else "--add-" + option, value]
    for name in names:
        args += ["--app", name]
    return args
