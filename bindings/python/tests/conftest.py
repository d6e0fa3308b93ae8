"""The package under test from this checkout, the pcmtap binary of the build
(or PCMTAP_PATH), and the headless sound server of the end-to-end suite."""

import os
import shutil
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.dirname(HERE)
ROOT = os.path.abspath(os.path.join(PACKAGE, "..", ".."))
sys.path.insert(0, PACKAGE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from pulse_harness import Players, SoundServer  # noqa: E402

BINARY = os.path.abspath(os.environ.get("PCMTAP_PATH") or
                         os.path.join(ROOT, "build", "linux", "pcmtap"))


def _server_environment(server):
    return {key: server.env[key] for key in
            ("PULSE_SERVER", "HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME") if key in server.env}


@pytest.fixture(scope="session")
def binary():
    if not os.access(BINARY, os.X_OK):
        pytest.fail("no pcmtap binary at %s: build the linux preset or set PCMTAP_PATH" % BINARY)
    return BINARY


def _start_server():
    if not shutil.which("pactl") or not (shutil.which("pulseaudio") or shutil.which("pipewire")):
        pytest.skip("no PulseAudio or PipeWire installed")
    return SoundServer().start()


@pytest.fixture(scope="session")
def shared_server():
    server = _start_server()
    yield server
    server.stop()


@pytest.fixture
def server(shared_server, binary, monkeypatch):
    """The shared server, reached by every pcmtap this test starts."""
    for key, value in _server_environment(shared_server).items():
        monkeypatch.setenv(key, value)
    monkeypatch.setenv("PCMTAP_PATH", binary)
    return shared_server


@pytest.fixture
def own_server(binary, monkeypatch):
    """A server of this test's own, for tests that kill it."""
    server = _start_server()
    for key, value in _server_environment(server).items():
        monkeypatch.setenv(key, value)
    monkeypatch.setenv("PCMTAP_PATH", binary)
    yield server
    server.stop()


@pytest.fixture
def players(request):
    server = request.getfixturevalue("own_server" if "own_server" in request.fixturenames
                                     else "server")
    p = Players(server)
    yield p
    p.stop()
