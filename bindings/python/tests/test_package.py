"""The package as a user gets it: types checked strictly, the wheel built
for the binary's platform, installed into a fresh venv and its example run."""

import os
import re
import shutil
import subprocess
import sys
import venv
import zipfile

import pytest

from conftest import PACKAGE, ROOT

WINDOWS_BINARY = os.path.join(ROOT, "build", "windows", "pcmtap.exe")


def test_types_check_strictly_for_python_3_9():
    pytest.importorskip("mypy", reason="no mypy installed (Debian: mypy)")
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--python-version", "3.9",
                          "--no-incremental", "pcmtap", "examples"],
                         cwd=PACKAGE, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr


def build_wheel(binary, out):
    run = subprocess.run([os.path.join(PACKAGE, "build_wheel"), binary, str(out)],
                         env=dict(os.environ, PYTHON=sys.executable), capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr
    return run.stdout.strip()


def test_windows_wheel_holds_the_exe(tmp_path):
    if not os.path.isfile(WINDOWS_BINARY):
        pytest.skip("no Windows build at %s" % WINDOWS_BINARY)
    wheel = build_wheel(WINDOWS_BINARY, tmp_path)
    assert os.path.basename(wheel) == "pcmtap-0.1.0-py3-none-win_amd64.whl"
    names = zipfile.ZipFile(wheel).namelist()
    assert "pcmtap/bin/pcmtap.exe" in names and "pcmtap/py.typed" in names


def test_wheel_installs_into_a_fresh_venv_and_its_example_captures_a_tone(
        server, players, binary, tmp_path):
    wheel = build_wheel(binary, tmp_path / "dist")
    assert re.fullmatch(r"pcmtap-0\.1\.0-py3-none-linux_\w+\.whl", os.path.basename(wheel)), wheel
    members = zipfile.ZipFile(wheel).infolist()
    inside = {m.filename: m.external_attr >> 16 for m in members}
    assert inside["pcmtap/bin/pcmtap"] & 0o111, "the binary lost its executable bit"

    env_dir = tmp_path / "venv"
    venv.EnvBuilder(with_pip=True).create(str(env_dir))
    python = str(env_dir / "bin" / "python")
    clean = {k: v for k, v in os.environ.items() if k not in ("PCMTAP_PATH", "PYTHONPATH")}
    install = subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-index", wheel],
                             env=clean, capture_output=True, text=True)
    assert install.returncode == 0, install.stdout + install.stderr

    player = players.play(440)
    assert players.wait_until_playing(1)
    example = str(tmp_path / "capture_one_second.py")  # away from the checkout
    shutil.copy(os.path.join(PACKAGE, "examples", "capture_one_second.py"), example)
    run = subprocess.run([python, example, str(player.pid)], env=clean, cwd=str(tmp_path),
                         capture_output=True, text=True, timeout=60)
    print(run.stdout)
    assert run.returncode == 0, run.stderr
    found = re.fullmatch(r"ReadyInfo\(pid=(\d+), sources=None\): (\d+) frames, peak (\d+)\n",
                         run.stdout)
    assert found, run.stdout
    assert (int(found[1]), int(found[2])) == (player.pid, 48000)
    assert int(found[3]) > 4000  # the tone is played at a quarter of full scale

    where = subprocess.run([python, "-c", "import pcmtap; print(pcmtap.find_binary())"],
                           env=clean, cwd=str(tmp_path), capture_output=True, text=True)
    assert where.stdout.startswith(str(env_dir)), where.stdout + where.stderr
