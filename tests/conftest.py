"""Test set-up: import the module built in this checkout, not an older install."""
import os
import sys

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_BUILD = os.environ.get("QEL_CV_BUILD_DIR", os.path.join(_ROOT, "build"))
if os.path.isdir(_BUILD):
    sys.path.insert(0, _BUILD)

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
