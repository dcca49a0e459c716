"""The suite refuses to run against anything but the copy it was pointed at:
the build, or with QEL_CV_TEST_INSTALLED=1 the installed copy."""
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import qel_cv

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.dirname(qel_cv.__file__)


def collect_only(code, build=None):
    # Collection only: if the check failed to stop the run, nothing recurses.
    # Without a build, the installed copy is what the suite is pointed at.
    env = {k: v for k, v in os.environ.items() if k not in ("QEL_CV_BUILD_DIR", "QEL_CV_TEST_INSTALLED")}
    env.update({"QEL_CV_BUILD_DIR": build} if build else {"QEL_CV_TEST_INSTALLED": "1"})
    args = ["--co", "-q", "-p", "no:cacheprovider", os.path.join(HERE, "test_conftest.py")]
    return subprocess.run([sys.executable, "-c", f"{code}; import pytest, sys; sys.exit(pytest.main({args!r}))"],
                          env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("case", ["no build", "another copy", "another copy, testing the installed one"])
def test_the_suite_stops_with_one_line(case, tmp_path):
    if case == "no build":
        out = collect_only("pass", str(tmp_path))
        expected = f"Exit: no built qel_cv module in {tmp_path}: build it first, or set QEL_CV_BUILD_DIR to the build"
    else:
        other = tmp_path / "other"
        other.mkdir()
        copy = shutil.copy(qel_cv.__file__, other)
        installed = case.endswith("installed one")
        out = collect_only(f"import sys; sys.path.insert(0, {str(other)!r}); import qel_cv",
                           None if installed else BUILD)
        where = f"the installed copy in {sysconfig.get_path('platlib')}" if installed else f"the build in {BUILD}"
        expected = f"Exit: qel_cv was imported from {copy}, not from {where}"
    assert out.returncode == pytest.ExitCode.USAGE_ERROR, out.stdout + out.stderr
    assert out.stderr.strip().splitlines() == [expected]
