"""The release number: one file in the repository, read by every build and
install; an installed wheel's metadata describes the copy under test."""
import importlib.metadata
import os
import subprocess

import pytest

import qel_cv
import qel_inspect
from conftest import CHILD_ENV, INSTALLED, QEL_INSPECT

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
with open(os.path.join(ROOT, "VERSION"), encoding="utf-8") as _f:
    VERSION = _f.read().strip()


def test_station_reports_the_release_number():
    assert qel_inspect.__version__ == VERSION
    out = subprocess.run([QEL_INSPECT, "--version"], env=CHILD_ENV, capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout) == (0, f"qel-inspect {VERSION}\n"), out.stderr


@pytest.mark.skipif(not INSTALLED, reason="a build tree carries no distribution metadata")
def test_installed_metadata_describes_the_copy_under_test():
    dist = importlib.metadata.distribution("qel-cv")
    assert dist.version == importlib.metadata.version("qel_cv") == VERSION
    site = os.path.dirname(qel_cv.__file__)
    owned = {os.path.realpath(dist.locate_file(f)) for f in dist.files}
    for path in [qel_cv.__file__, qel_inspect.__file__, os.path.join(site, "qel_cv.pyi"),
                 os.path.join(site, "qel_cv-stubs", "__init__.pyi"), QEL_INSPECT]:
        assert os.path.realpath(path) in owned, path
    assert [(e.name, e.value) for e in dist.entry_points if e.group == "console_scripts"] == [
        ("qel-inspect", "qel_inspect.cli:main")]
