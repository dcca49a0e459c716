"""The wheel's build step: CMake, the one build description, compiles the
extension with the flags every build uses and installs its `python` component
(the module, its stub beside it and as a stub-only package, the station package)
into the tree the wheel is made from. Metadata lives in pyproject.toml.

QEL_SANITIZE=1 in the environment builds with the sanitizers, as the CMake
option of that name does.
"""
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
SWITCH = {"": "OFF", "0": "OFF", "off": "OFF", "no": "OFF", "false": "OFF",
          "1": "ON", "on": "ON", "yes": "ON", "true": "ON"}


def switch(name):
    value = os.environ.get(name, "")
    if value.lower() not in SWITCH:
        sys.exit(f"{name}={value!r}: expected 1 or 0 (or on/off, yes/no, true/false)")
    return SWITCH[value.lower()]


class CMakeBuild(build_ext):
    def run(self):
        if self.inplace or getattr(self, "editable_mode", False):
            sys.exit("qel_cv is built in place by CMake (see the README), not by an editable install")
        sanitize = switch("QEL_SANITIZE")
        # A tree for each setting, so switching back and forth recompiles nothing.
        tree = os.path.join(os.path.abspath(self.build_temp), "cmake-sanitized" if sanitize == "ON" else "cmake")
        target = os.path.abspath(self.build_lib)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        self.spawn(["cmake", "-S", ROOT, "-B", tree, "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython3_EXECUTABLE={sys.executable}", "-DQEL_TEST_HOOKS=OFF",
                    f"-DQEL_SANITIZE={sanitize}", f"-DQEL_INSTALL_DIR={target}"])
        self.spawn(["cmake", "--build", tree, "--parallel", jobs])
        # The wheel holds whatever this tree holds: start it empty, so nothing an
        # earlier build left (a renamed file, say) slips in.
        shutil.rmtree(target, ignore_errors=True)
        self.spawn(["cmake", "--install", tree, "--component", "python"])


# Everything the build writes goes under build-wheel/, the checkout stays clean.
BASE = os.path.join(ROOT, "build-wheel")
os.makedirs(BASE, exist_ok=True)
# One extension, so the wheel is tagged for this interpreter and platform; CMake
# knows its sources.
setup(ext_modules=[Extension("qel_cv", sources=[])],
      cmdclass={"build_ext": CMakeBuild},
      options={"build": {"build_base": BASE}, "egg_info": {"egg_base": BASE}})
