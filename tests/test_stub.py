"""The type stub matches the live module, and type checkers use it."""
import ast
import importlib.util
import inspect
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import qel_cv
from conftest import INSTALLED

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = os.path.join(ROOT, "src", "qel_cv.pyi")


def stub_text():
    with open(STUB, encoding="utf-8") as f:
        return f.read()


def stub_tree():
    return ast.parse(stub_text())


def stub_parameters(node):
    args = node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults)) + list(node.args.defaults)
    return [(a.arg, d is not None) for a, d in zip(args, defaults)]


def live_parameters(func):
    return [(p.name, p.default is not inspect.Parameter.empty) for p in inspect.signature(func).parameters.values()]


def stub_entries():
    """(name, live object, stub node) for every def in the stub, methods included."""
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, getattr(qel_cv, node.name), node
        elif isinstance(node, ast.ClassDef):
            cls = getattr(qel_cv, node.name)
            for member in node.body:
                if not isinstance(member, ast.FunctionDef):
                    continue
                live = cls.__dict__[member.name]
                if isinstance(live, property):
                    is_setter = any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in member.decorator_list)
                    live = live.fset if is_setter else live.fget
                elif isinstance(live, staticmethod):
                    live = live.__func__
                yield f"{node.name}.{member.name}", live, member


def test_stub_names_every_public_name():
    tree = stub_tree()
    in_stub = [n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))]
    live = [name for name, value in vars(qel_cv).items()
            if callable(value) and getattr(value, "__module__", None) == "qel_cv"]
    assert in_stub == live


@pytest.mark.parametrize("name, live, node", list(stub_entries()), ids=lambda v: v if isinstance(v, str) else "")
def test_stub_signature_matches(name, live, node):
    assert stub_parameters(node) == live_parameters(live)
    annotated = {a.arg for a in node.args.args if a.annotation is not None}
    assert annotated == {k for k in live.__annotations__ if k != "return"}
    assert (node.returns is not None) == ("return" in live.__annotations__)


def test_stub_is_installed_beside_the_module(tmp_path):
    if INSTALLED:
        module = pathlib.Path(qel_cv.__file__)
    else:
        # Installed under a scratch root, so the check reads this build's install
        # rules and never the system's copy, which may be another build's.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        env["DESTDIR"] = str(tmp_path)
        out = subprocess.run(["cmake", "--install", os.path.dirname(qel_cv.__file__)], env=env,
                             capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stderr
        [module] = tmp_path.rglob(os.path.basename(qel_cv.__file__))
    for path in (module.parent / "qel_cv.pyi", module.parent / "qel_cv-stubs" / "__init__.pyi"):
        assert path.read_text(encoding="utf-8") == stub_text()


def test_stub_is_what_the_script_writes():
    out = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make_stub.py"),
                          os.path.dirname(qel_cv.__file__)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout == stub_text()


SAMPLES = {
    "FittingCircle": lambda: qel_cv.FittingCircle(points=[(0, 5), (5, 0), (0, -5)]),
    "CirclePeeler": lambda: qel_cv.CirclePeeler(np.full((6, 6), 200, np.uint8), 100),
    "NGRegion": lambda: qel_cv.NGRegion(None),
    "CompareResult": lambda: qel_cv.CompareResult(np.zeros((6, 6), np.uint8)),
    "ShiftComparator": lambda: qel_cv.ShiftComparator(np.zeros((6, 6), np.uint8), 2, 50, (6,), cmp_region=(0, 0, 3, 3)),
}


@pytest.mark.parametrize("name", list(SAMPLES))
def test_stub_lists_the_instance_attributes(name):
    node = next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == name)
    in_stub = [m.target.id for m in node.body if isinstance(m, ast.AnnAssign)]
    assert in_stub == list(vars(SAMPLES[name]()))


def run_mypy(tmp_path, files):
    """mypy on host code, against this checkout's stub, or the installed copy's
    found the way type checkers find installed packages."""
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if not INSTALLED:
        env["MYPYPATH"] = os.path.dirname(STUB)
    out = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary", *files],
                         capture_output=True, text=True, cwd=tmp_path, env=env, timeout=300)
    return out.stdout.strip().splitlines()


needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


@needs_mypy
def test_mypy_sees_the_signatures(tmp_path):
    assert run_mypy(tmp_path, {"use.py":
        "import numpy as np\n"
        "import qel_cv\n"
        "r = qel_cv.CompareResult(np.zeros((4, 4), np.uint8))\n"
        "img: np.ndarray = r.marked_image()\n"
        "qel_cv.translate(img, 1, 2)\n"
        "qel_cv.translate(img)\n"}) == [
        "use.py:6: error: Missing positional arguments \"right\", \"down\" in call to \"translate\"  [call-arg]"]


@needs_mypy
def test_mypy_sees_the_instance_attributes(tmp_path):
    good = textwrap.dedent("""\
        import numpy as np
        import qel_cv

        std = np.zeros((8, 8), np.uint8)
        comparator = qel_cv.ShiftComparator(std, max_shift=2, threshold=50, judge_parameter=6)
        comparator.max_shift += comparator.step
        comparator.slope = False
        comparator.compare_region = (0, 0, 8, 8)
        levels: np.ndarray = comparator.std_threshold
        result = qel_cv.CompareResult(std)
        comparator.compare(std, result)
        if len(result.ng_regions) > 0:
            x1, y1, x2, y2 = result.ng_regions[0].rect
            text: str = result.ng_regions[0].desc
        result.ng_regions.append(qel_cv.NGRegion(None, "whole image"))
        image: np.ndarray = result.image
        """)
    bad = textwrap.dedent("""\
        import numpy as np
        import qel_cv

        result = qel_cv.CompareResult(np.zeros((8, 8), np.uint8))
        print(result.ng_region)
        print(result.ng_regions[0].rectangle)
        qel_cv.ShiftComparator(result.image, 1, 1, 1).threshold = "50"
        """)
    assert run_mypy(tmp_path, {"good.py": good, "bad.py": bad}) == [
        'bad.py:5: error: "CompareResult" has no attribute "ng_region"; maybe "ng_regions"?  [attr-defined]',
        'bad.py:6: error: "NGRegion" has no attribute "rectangle"  [attr-defined]',
        'bad.py:7: error: Incompatible types in assignment (expression has type "str", variable has type "int")  '
        '[assignment]']
