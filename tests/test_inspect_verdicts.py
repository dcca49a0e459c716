"""The station gives the verdicts recorded in tests/verdicts.json (status,
reason, every defect's kind and boxes) on the sets no other test makes:
symbols without a label, a printhead's streaks, and every 5th frame of the
500 mixed labels (`tests/verdicts.py check` runs all 500). The bundled
frames and the label batches of the other tests are compared where those
tests run them."""
import pytest

import verdicts
from conftest import CHILD_ENV

OWN = ["symbols-dark", "symbols-knockout", "printhead"] + [n for n in verdicts.SETS if n.startswith("mixed-")]


@pytest.mark.parametrize("name", OWN)
def test_verdicts_are_as_recorded(name, tmp_path):
    got = verdicts.verdicts([name], verdicts.EVERY, CHILD_ENV, keep=str(tmp_path))
    assert got[name], "no frames"
    assert verdicts.differences(verdicts.load(), got, verdicts.EVERY) == []

