"""Every Python snippet in the README runs as it stands."""
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def snippets():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        return re.findall(r"```python\n(.*?)```", f.read(), re.S)


def test_readme_has_snippets():
    assert len(snippets()) >= 4


@pytest.mark.parametrize("index", range(len(snippets())))
def test_readme_snippet_runs(index, tmp_path, monkeypatch, capsys):
    # Run where written files land in a scratch directory, with the examples at hand.
    (tmp_path / "examples").symlink_to(os.path.join(ROOT, "examples"))
    monkeypatch.chdir(tmp_path)
    exec(compile(snippets()[index], f"README snippet {index}", "exec"), {"__name__": "__readme__"})
