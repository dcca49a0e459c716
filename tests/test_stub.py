"""The type stub matches the live module, and type checkers use it."""
import ast
import importlib.util
import inspect
import os
import subprocess
import sys
import sysconfig

import pytest

import qel_cv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = os.path.join(ROOT, "src", "qel_cv.pyi")


def stub_tree():
    with open(STUB, encoding="utf-8") as f:
        return ast.parse(f.read())


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


def test_stub_is_installed_beside_the_module():
    site = sysconfig.get_path("platlib")
    installed = [p for p in os.listdir(site) if p.startswith("qel_cv")]
    if not any(p.endswith(".so") for p in installed):
        pytest.skip("the module is not installed")
    for path in (os.path.join(site, "qel_cv.pyi"), os.path.join(site, "qel_cv-stubs", "__init__.pyi")):
        with open(path, encoding="utf-8") as f, open(STUB, encoding="utf-8") as g:
            assert f.read() == g.read()


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_sees_the_signatures(tmp_path):
    snippet = tmp_path / "use.py"
    snippet.write_text(
        "import numpy as np\n"
        "import qel_cv\n"
        "r = qel_cv.CompareResult(np.zeros((4, 4), np.uint8))\n"
        "img: np.ndarray = r.marked_image()\n"
        "qel_cv.translate(img, 1, 2)\n"
        "qel_cv.translate(img)\n")
    out = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary", "use.py"],
                         capture_output=True, text=True, cwd=tmp_path)
    assert out.stdout.strip().splitlines() == [
        "use.py:6: error: Missing positional arguments \"right\", \"down\" in call to \"translate\"  [call-arg]"]
