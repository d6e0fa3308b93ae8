#!/usr/bin/env python3
"""Runs one command against a private headless sound server, the one the
end-to-end suite starts, and exits with the command's exit code.

Usage: tests/e2e/with_sound_server.py COMMAND [ARGS...]

The command gets the server's environment (PULSE_SERVER, and HOME and
XDG_RUNTIME_DIR in the server's temporary folder) and PCMTAP_TEST_SERVER_PIDS,
the server's process ids, for tests that kill the server the hard way.
PCMTAP_E2E_SERVER=pipewire picks PipeWire's pulse server.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pulse_harness import SoundServer  # noqa: E402


def main(command):
    if not command:
        sys.exit(__doc__)
    server = SoundServer().start()
    try:
        env = dict(server.env,
                   PCMTAP_TEST_SERVER_PIDS=" ".join(str(pid) for pid in server.server_pids()))
        return subprocess.call(command, env=env)
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
