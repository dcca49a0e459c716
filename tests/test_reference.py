"""docs/reference.md covers every callable in namespace order, and its examples run."""
import os
import re

import pytest

import qel_cv

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

with open(os.path.join(ROOT, "docs", "reference.md"), encoding="utf-8") as _f:
    REFERENCE = _f.read()
EXAMPLES = re.findall(r"```python\n(.*?)```", REFERENCE, re.S)


def live_names():
    """Module callables in binding order, each class followed by its members."""
    for name, value in vars(qel_cv).items():
        if not callable(value) or getattr(value, "__module__", None) != "qel_cv":
            continue
        yield name
        if isinstance(value, type):
            yield from (f"{name}.{member}" for member in vars(value) if not member.startswith("__"))


def test_reference_has_an_entry_for_every_callable_in_order():
    entries = re.findall(r"^#{2,3} `([\w.]+)`$", REFERENCE, re.M)
    assert entries == list(live_names())


@pytest.mark.parametrize("index", range(len(EXAMPLES)))
def test_reference_example_runs(index, tmp_path, monkeypatch, capsys):
    # Files the examples write land in a scratch directory, with the sample prints at hand.
    (tmp_path / "examples").symlink_to(os.path.join(ROOT, "examples"))
    monkeypatch.chdir(tmp_path)
    exec(compile(EXAMPLES[index], f"reference example {index}", "exec"), {"__name__": "__reference__"})
