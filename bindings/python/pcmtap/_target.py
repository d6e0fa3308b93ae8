"""The command line for a capture target, checked before anything is started."""

from typing import List, Optional

_MAX_PID = 0xFFFFFFFF
_MAX_HWND = 0xFFFFFFFFFFFFFFFF


def _check_int(name: str, value: object, largest: int) -> int:
    # pcmtap reads values like strtoul: "-1" would become the largest pid, "1.5"
    # would become 1. Only a plain integer in range may reach it.
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if not 0 < value <= largest:
        raise ValueError("%s must be between 1 and %d, got %d" % (name, largest, value))
    return value


def target_args(include: Optional[int], exclude: Optional[int], mix: Optional[int],
                hwnd: Optional[int]) -> List[str]:
    given = [(option, value) for option, value in
             (("include", include), ("exclude", exclude), ("mix", mix), ("hwnd", hwnd))
             if value is not None]
    if len(given) != 1:
        raise TypeError("give exactly one of include=, exclude=, mix= or hwnd= (got %s)"
                        % (", ".join(option + "=" for option, _ in given) or "none"))
    option, value = given[0]
    checked = _check_int(option, value, _MAX_HWND if option == "hwnd" else _MAX_PID)
    return ["--" + option, str(checked)]
