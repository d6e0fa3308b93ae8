"""The wheel holds the pcmtap binary, so it is tagged for that binary's
platform (any Python 3) instead of being a pure-Python wheel."""

import os
import sysconfig

from setuptools import setup
from setuptools.dist import Distribution
from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))


def binary_platform():
    bin_dir = os.path.join(HERE, "pcmtap", "bin")
    if os.path.isfile(os.path.join(bin_dir, "pcmtap.exe")):
        return "win_amd64"
    if os.path.isfile(os.path.join(bin_dir, "pcmtap")):
        return sysconfig.get_platform().replace("-", "_").replace(".", "_")
    raise SystemExit("pcmtap/bin holds no pcmtap binary: build wheels with build_wheel")


class BinaryDistribution(Distribution):
    def has_ext_modules(self):
        return True  # so the files go to platlib, in a wheel that is not pure


class BinaryWheel(bdist_wheel):
    def get_tag(self):
        return "py3", "none", binary_platform()


setup(distclass=BinaryDistribution, cmdclass={"bdist_wheel": BinaryWheel})
