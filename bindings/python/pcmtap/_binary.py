"""Where the pcmtap binary is: PCMTAP_PATH, else the package's own bin/."""

import os
import stat
from typing import Mapping, Optional

from ._errors import BinaryNotFoundError


def binary_name() -> str:
    return "pcmtap.exe" if os.name == "nt" else "pcmtap"


def _usable(path: str) -> bool:
    if not os.path.isfile(path):
        return False
    if os.name != "nt" and not os.access(path, os.X_OK):
        # Some installers drop the mode bits of package data; give them back.
        try:
            os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
        except OSError:
            return False
    return True


def find_binary(environ: Optional[Mapping[str, str]] = None) -> str:
    """The path of the pcmtap binary. A set PCMTAP_PATH is the only place looked
    at, so that a wrong setting is not hidden by the bundled binary."""
    env = os.environ if environ is None else environ
    tried = []
    configured = env.get("PCMTAP_PATH")
    if configured:
        tried.append("PCMTAP_PATH=" + configured)
        if _usable(configured):
            return configured
    else:
        own = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin", binary_name())
        tried.append(own)
        if _usable(own):
            return own
    raise BinaryNotFoundError("pcmtap binary not found (tried %s): set PCMTAP_PATH to one, or "
                              "install the wheel built for this platform" % ", ".join(tried))
