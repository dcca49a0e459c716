"""Native fast paths held to their written contract (docs/fast-paths.md).

The test variant of the module (build/test_hooks) watches them: what each generic
region looks up while its guard holds, and which paths are taken; and it can run
code between the two passes of a comparison. This test runs the suites that drive
the fast paths on that variant, with `variant_fast_paths.py` (the tests that need
the variant's hooks), and fails on any name a generic region looks up that its
guard does not cover."""
import json
import os
import subprocess
import sys

import pytest

import qel_cv
from conftest import skip_unless_build_tree

HERE = os.path.dirname(os.path.abspath(__file__))
# Every suite that drives a fast path or its generic region.
SUITES = ["test_compare.py", "test_compare_sweep.py", "test_geometry.py", "test_geometry_shift.py",
          "test_filters.py", "test_circle.py", "test_barcode.py", "test_result_model.py", "test_template_match.py",
          "test_module.py", "variant_fast_paths.py"]


@pytest.mark.skipif("_qel_cv_test_hooks" in sys.modules, reason="this is the run it starts")
def test_fast_paths_keep_their_contract(tmp_path):
    skip_unless_build_tree("the test variant of the module")
    variant = os.path.join(os.path.dirname(qel_cv.__file__), "test_hooks")
    assert os.path.isdir(variant), f"no test variant in {variant}: configure with -DQEL_TEST_HOOKS=ON (the default)"
    log = tmp_path / "fast_paths.json"
    env = dict(os.environ, QEL_CV_BUILD_DIR=variant, QEL_CV_FAST_PATH_LOG=str(log))
    # The kernels' baseline build is checked by a run of its own.
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-k", "not baseline_kernels",
                           *[os.path.join(HERE, s) for s in SUITES]],
                          env=env, cwd=os.path.dirname(HERE), capture_output=True, text=True, timeout=3600)
    assert log.exists(), done.stdout[-4000:] + done.stderr[-2000:]
    records = json.loads(log.read_text())
    problems = [f"the generic path of '{what}' looks up '{name}', which its guard does not cover"
                for what, seen in sorted(records.items()) for name in sorted(seen["uncovered"])]
    problems += [f"the generic region of '{what}' never ran under its guard" for what, seen in sorted(records.items())
                 if seen["recorded"] == 0]
    problems += [f"'{what}' was never taken" for what, seen in sorted(records.items()) if seen["taken"] == 0]
    if done.returncode != 0:
        problems.append("the run on the test variant failed:\n" + done.stdout[-4000:] + done.stderr[-2000:])
    assert not problems, "\n".join(problems)
