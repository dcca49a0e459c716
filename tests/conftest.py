"""Test set-up: import the module built in this checkout, never an installed copy."""
import importlib.machinery
import os
import sys

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_BUILD = os.path.abspath(os.environ.get("QEL_CV_BUILD_DIR", os.path.join(_ROOT, "build")))
_BUILT = any(os.path.isfile(os.path.join(_BUILD, "qel_cv" + suffix))
             for suffix in importlib.machinery.EXTENSION_SUFFIXES)
if _BUILT:
    sys.path.insert(0, _BUILD)
# The inspection station from this checkout too (python/qel_inspect).
sys.path.insert(1 if os.path.isdir(_BUILD) else 0, os.path.join(_ROOT, "python"))

import pytest


def pytest_configure(config):
    # Without a build, or with the build shadowed, the suite would quietly test
    # whatever copy is installed: stop with one line instead.
    if not _BUILT:
        pytest.exit(f"no built qel_cv module in {_BUILD}: build it first, or set QEL_CV_BUILD_DIR to the build",
                    returncode=pytest.ExitCode.USAGE_ERROR)
    try:
        import qel_cv
    except ImportError as e:
        pytest.exit(f"cannot import the qel_cv build in {_BUILD}: {e}", returncode=pytest.ExitCode.USAGE_ERROR)
    if os.path.dirname(os.path.realpath(qel_cv.__file__)) != os.path.realpath(_BUILD):
        pytest.exit(f"qel_cv was imported from {qel_cv.__file__}, not from the build in {_BUILD}",
                    returncode=pytest.ExitCode.USAGE_ERROR)


# Memory-growth checks measure RSS, which a sanitizer's quarantine inflates.
SANITIZED = os.environ.get("QEL_CV_SANITIZED") == "1"
skip_if_sanitized = pytest.mark.skipif(SANITIZED, reason="RSS is not meaningful under the sanitizers")


def pytest_addoption(parser):
    parser.addoption("--fuzz-long", action="store_true", default=False,
                     help="run the whole-API fuzzing with many more examples")


@pytest.fixture
def fuzz_examples(request):
    return 2000 if request.config.getoption("--fuzz-long") else 40


def assert_no_growth(work, watched, rounds, limit_bytes, warmup=3):
    """Run `work` `rounds` times after a warm-up: the reference counts of the
    `watched` objects must not change and traced memory must grow by less
    than `limit_bytes` (one leaked object a round would exceed it)."""
    import sys
    import tracemalloc

    for _ in range(warmup):
        work()
    counts = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            work()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert grown < limit_bytes, grown


# CI replays the same examples every run, so a green main stays green; local
# runs keep exploring new ones.
from hypothesis import settings as _hypothesis_settings

_hypothesis_settings.register_profile("ci", derandomize=True, database=None)
if os.environ.get("CI") == "true":
    _hypothesis_settings.load_profile("ci")
