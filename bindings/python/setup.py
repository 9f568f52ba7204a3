"""Builds the palaver package; pyproject.toml holds the rest of its metadata.

The version is the library's, read from palaver_c.h (PALAVER_VERSION names it
when the package is built away from the source tree). With
PALAVER_WHEEL_LIBRARIES (paths joined by os.pathsep: the library and, for
Windows, its runtime DLLs) the wheel carries them inside the package, where
_native.py looks first, and is tagged for one platform
(PALAVER_WHEEL_PLATFORM, this machine's by default): the library is loaded
with ctypes, so the wheel suits any Python 3 there, hence py3-none-PLATFORM.
"""

import os
import re
import shutil
import sysconfig
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    try:
        from wheel.bdist_wheel import bdist_wheel
    except ImportError:
        bdist_wheel = None  # no wheel to build: a plain install from this folder

NATIVE = [Path(p) for p in os.environ.get("PALAVER_WHEEL_LIBRARIES", "").split(os.pathsep) if p]
HEADER = Path(__file__).resolve().parent.parent.parent / "include" / "palaver_c.h"


def version():
    if os.environ.get("PALAVER_VERSION"):
        return os.environ["PALAVER_VERSION"]
    text = HEADER.read_text()
    parts = (re.search(rf"#define PALAVER_VERSION_{p} +(\d+)", text) for p in ("MAJOR", "MINOR", "PATCH"))
    return ".".join(part.group(1) for part in parts)


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        for path in NATIVE:
            # The file itself under the name _native.py looks for, whether
            # given as the libPalaver.so link or as libPalaver.so.1.4.0.
            name = "libPalaver.so" if path.name.startswith("libPalaver.so") else path.name
            shutil.copyfile(path.resolve(), Path(self.build_lib) / "palaver" / name)


class WithLibrary(Distribution):
    def has_ext_modules(self):
        return bool(NATIVE)  # the package goes to platlib: it is not pure


commands = {"build_py": BuildWithLibrary}
if bdist_wheel:

    class PlatformWheel(bdist_wheel):
        def get_tag(self):
            if not NATIVE:
                return super().get_tag()
            platform = os.environ.get("PALAVER_WHEEL_PLATFORM") or sysconfig.get_platform()
            return "py3", "none", platform.replace("-", "_").replace(".", "_")

    commands["bdist_wheel"] = PlatformWheel

setup(version=version(), distclass=WithLibrary, cmdclass=commands)
