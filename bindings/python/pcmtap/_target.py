"""The command line for a capture target, checked before anything is started."""

from typing import List, Optional

_MAX_PID = 0xFFFFFFFF
_MAX_HWND = 0xFFFFFFFFFFFFFFFF
_MAX_NAME = 260  # MAX_PATH, as pcmtap allows


def _check_int(name: str, value: object, largest: int) -> int:
    # pcmtap reads values like strtoul: "-1" would become the largest pid, "1.5"
    # would become 1. Only a plain integer in range may reach it.
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not 0 < value <= largest:
        raise ValueError("%s must be between 1 and %d, got %d" % (name, largest, value))
    return value


def _check_name(value: object) -> str:
    # An executable's file name, which pcmtap matches without regard to case or
    # ".exe". It refuses an empty one, a path and more than MAX_PATH UTF-16
    # units, as Windows counts; a NUL would cut the argument short.
    if not isinstance(value, str):
        raise TypeError("app must be a str, not %s" % type(value).__name__)
    units = len(value.encode("utf-16-le", "surrogatepass")) // 2
    if not value or units > _MAX_NAME or any(c in value for c in "/\\\0"):
        raise ValueError("app must be an executable's file name, 1 to %d characters with no "
                         "path or NUL in it, got %r" % (_MAX_NAME, value))
    return value


def target_args(include: Optional[int], exclude: Optional[int], mix: Optional[int],
                hwnd: Optional[int], app: Optional[str] = None) -> List[str]:
    given = [(option, value) for option, value in
             (("include", include), ("exclude", exclude), ("mix", mix), ("hwnd", hwnd),
              ("app", app))
             if value is not None]
    if len(given) != 1:
        raise TypeError("give exactly one of include=, exclude=, mix=, hwnd= or app= (got %s)"
                        % (", ".join(option + "=" for option, _ in given) or "none"))
    option, value = given[0]
    if option == "app":
        return ["--app", _check_name(value)]
    checked = _check_int(option, value, _MAX_HWND if option == "hwnd" else _MAX_PID)
    return ["--" + option, str(checked)]
