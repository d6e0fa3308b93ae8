"""Process checks shared by the tests."""

import os
import time


def alive(pid):
    """True while pid runs (a zombie left for a reaper counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False
    return state not in ("Z", "X")


def children_named(name, parent=None):
    parent = os.getpid() if parent is None else parent
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, errors="replace") as f:  # a name may be any bytes
                stat = f.read()
        except (FileNotFoundError, ProcessLookupError):
            continue
        comm = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat.rsplit(")", 1)[1].split()
        if comm == name and int(fields[1]) == parent and fields[0] not in ("Z", "X"):
            found.append(int(entry))
    return found


def wait_until(predicate, timeout, step=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()
