"""Test set-up: import the module built in this checkout, not an older install."""
import os
import sys

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_BUILD = os.environ.get("QEL_CV_BUILD_DIR", os.path.join(_ROOT, "build"))
if os.path.isdir(_BUILD):
    sys.path.insert(0, _BUILD)
# The inspection station from this checkout too (python/qel_inspect).
sys.path.insert(1 if os.path.isdir(_BUILD) else 0, os.path.join(_ROOT, "python"))

import pytest

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
