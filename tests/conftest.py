"""Test set-up: import the module built in this checkout, never an installed copy.

With QEL_CV_TEST_INSTALLED=1 the suite tests the copy installed for the running
interpreter instead (the wheel installed in a virtual environment, say),
never the checkout's: tests that need the build tree skip, saying why.
"""
import importlib.machinery
import os
import signal
import sys
import sysconfig

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSTALLED = os.environ.get("QEL_CV_TEST_INSTALLED") == "1"
_BUILD = os.path.abspath(os.environ.get("QEL_CV_BUILD_DIR", os.path.join(_ROOT, "build")))
_BUILT = any(os.path.isfile(os.path.join(_BUILD, "qel_cv" + suffix))
             for suffix in importlib.machinery.EXTENSION_SUFFIXES)
_SITE = sysconfig.get_path("platlib")
if not INSTALLED:
    if _BUILT:
        sys.path.insert(0, _BUILD)
    # The inspection station from this checkout too (python/qel_inspect).
    sys.path.insert(1 if os.path.isdir(_BUILD) else 0, os.path.join(_ROOT, "python"))

import pytest

# A suite started in the background of a script inherits Ctrl-C ignored, and
# its child interpreters with it: the tests that press Ctrl-C need it heard.
signal.signal(signal.SIGINT, signal.default_int_handler)

# Child interpreters import the same copies as the suite: the checkout's through
# PYTHONPATH, an installed one through the interpreter's own paths.
if INSTALLED:
    CHILD_ENV = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    QEL_INSPECT = os.path.join(sysconfig.get_path("scripts"), "qel-inspect")
else:
    CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(_ROOT, "python"), _BUILD]))
    QEL_INSPECT = os.path.join(_ROOT, "scripts", "qel-inspect")


def skip_unless_build_tree(what):
    """Skip the calling test when the suite tests an installed copy."""
    if INSTALLED:
        pytest.skip(f"{what}: only in the build tree, not in an installed copy")


def pytest_configure(config):
    # Without a build, or with the build shadowed, the suite would quietly test
    # whatever copy is installed (or, testing an installed copy, the checkout's):
    # stop with one line instead.
    if not INSTALLED and not _BUILT:
        pytest.exit(f"no built qel_cv module in {_BUILD}: build it first, or set QEL_CV_BUILD_DIR to the build",
                    returncode=pytest.ExitCode.USAGE_ERROR)
    if INSTALLED:
        expected = dict.fromkeys(["qel_cv", "qel_inspect"], (_SITE, f"the installed copy in {_SITE}"))
    else:
        python = os.path.join(_ROOT, "python")
        expected = {"qel_cv": (_BUILD, f"the build in {_BUILD}"), "qel_inspect": (python, python)}
    for name, (folder, where) in expected.items():
        try:
            module = importlib.import_module(name)
        except ImportError as e:
            pytest.exit(f"cannot import {name} from {where}: {e}", returncode=pytest.ExitCode.USAGE_ERROR)
        # A package's folder sits in the expected one, a module's file does.
        path = os.path.dirname(module.__file__) if name == "qel_inspect" else module.__file__
        if os.path.dirname(os.path.realpath(path)) != os.path.realpath(folder):
            pytest.exit(f"{name} was imported from {module.__file__}, not from {where}",
                        returncode=pytest.ExitCode.USAGE_ERROR)


def pytest_sessionfinish(session):
    """Run on the test variant of the module (tests/test_fast_paths.py does), leave what it
    saw of the fast paths in the file QEL_CV_FAST_PATH_LOG names."""
    log = os.environ.get("QEL_CV_FAST_PATH_LOG")
    hooks = sys.modules.get("_qel_cv_test_hooks")
    if log and hooks is not None:
        import json
        with open(log, "w") as f:
            json.dump(hooks.records(), f, indent=1, sort_keys=True)


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
