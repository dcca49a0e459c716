"""Fast paths in the test variant of the module, whose hooks these tests need: run by
test_fast_paths.py on that variant (so its name does not start with test_).

- Every name every guard covers is rebound, as a caller may, to an equivalent
  object: the path is no longer taken and the results stay the same.
- Code run between the two passes of a comparison (which only another thread or a
  signal handler can do when the first pass runs none) is followed by the second."""
import builtins
import os
import sys

import numpy as np
import pytest

import qel_cv
from test_compare import force_generic, regions

hooks = sys.modules.get("_qel_cv_test_hooks")
if hooks is None:
    pytest.skip("needs the test variant of the module (build/test_hooks)", allow_module_level=True)


# --- every guarded name rebound ------------------------------------------------------------------

def _pair():
    std = np.full((60, 60), 100, np.uint8)
    std[10:20, 10:30] = 250
    tgt = std.copy()
    tgt[40:50, 40:50] = 250     # a light spot
    tgt[25:31, 2:8] = 0         # a dark one
    return std, tgt


STD, TGT = _pair()
STD16, TGT16 = STD.astype(np.int16), TGT.astype(np.int16)
CONTOUR = (np.stack([np.arange(400) % 40, np.arange(400) % 13], 1).astype(np.int32).reshape(-1, 1, 2))
BOX = np.array([[[2, 1]], [[6, 1]], [[6, 3]], [[2, 3]]], np.int32)
T = np.linspace(0, 2 * np.pi, 40, endpoint=False)
XS, YS = list(30 + 12 * np.cos(T)), list(40 + 12 * np.sin(T))
DISC = np.zeros((120, 120), np.uint8)
DISC[np.hypot(*np.mgrid[-60:60, -55:65]) < 40] = 255
BAND = np.arange(40, dtype=np.uint8)


def compared():
    result = qel_cv.CompareResult(None)
    qel_cv.ShiftComparator(STD, 2, 50, 1).compare(TGT, result)
    return regions(result)


def one_pass():
    result = qel_cv.CompareResult(None)
    comparator = qel_cv.ShiftComparator(STD, 2, 50, 1)
    comparator._do_compare_image_with_shift(STD16, TGT16, 1, "spot", result)
    return regions(result)


def peeled():
    fit = qel_cv.CirclePeeler(DISC.copy(), 127).peel(2)
    written = {name: open(name, "rb").read() for name in sorted(os.listdir("."))}
    return fit.center, fit.radius, written


# A call that takes each fast path while nothing is rebound.
WORKLOADS = {
    "the native numpy.array": lambda: qel_cv.FittingCircle(XS, YS).center,
    "the native point columns": lambda: qel_cv.FittingCircle(points=list(zip(XS, YS))).radius,
    "the sweep of both passes": compared,
    "region reporting by the module's own judges": compared,
    "the native shift pass": one_pass,
    "the contour search of swept masks": compared,
    "the native band filter": lambda: qel_cv.take_middle(BAND.copy(), 5, 30).tolist(),
    "the native profile walk": lambda: qel_cv.calculate_contour_vertical_distances(CONTOUR, 2, 3),
    "the bounding rectangle of a found contour": lambda: [qel_cv.contour_is_too_long(BOX, n) for n in (4, 5, 6)],
    "the native len()": lambda: (qel_cv.CompareResult(None).ok, qel_cv.CompareResult(None).ng_count),
    "the native int()": peeled,
}


def outcome(work):
    try:
        return "returned", repr(work())
    except Exception as e:
        return "raised", type(e), str(e)


def stand_in(value):
    """An equivalent of `value` that is not the object start-up recorded."""
    if isinstance(value, type) and value.__module__ == "qel_cv":
        return type(value.__name__, (value,), {})
    if type(value) is int:
        return type("Int", (int,), {})(value)
    return lambda *args, **kwargs: value(*args, **kwargs)


def rebind(m, name):
    """Rebind a guarded name as a caller would: the module-level name (shadowing a builtin),
    or the attribute of what it names."""
    scope, _, attribute = name.partition(".")
    owner = getattr(qel_cv, scope) if hasattr(qel_cv, scope) else getattr(builtins, scope)
    if attribute:
        value = vars(owner)[attribute] if isinstance(owner, type) else getattr(owner, attribute)
        m.setattr(owner, attribute, stand_in(value))
    else:
        m.setattr(qel_cv, scope, stand_in(owner), raising=False)


def taken(what):
    return hooks.records()[what]["taken"]


GUARDED = [(what, name) for what, names in hooks.fast_paths() for name in names]


def test_every_fast_path_has_a_workload():
    assert sorted(what for what, _ in hooks.fast_paths()) == sorted(WORKLOADS)


@pytest.mark.parametrize("what, name", GUARDED, ids=[f"{w}-{n}" for w, n in GUARDED])
def test_every_guarded_name_rebound_gives_the_generic_results(monkeypatch, tmp_path, what, name):
    monkeypatch.chdir(tmp_path)    # the peeler writes its masks
    work = WORKLOADS[what]
    before = taken(what)
    expected = outcome(work)
    assert taken(what) > before, f"'{what}' was not taken with every name as start-up bound it"
    with monkeypatch.context() as m:
        rebind(m, name)
        before = taken(what)
        got = outcome(work)
        assert taken(what) == before, f"'{what}' was taken with '{name}' rebound"
    assert got == expected


# --- code run between the passes ------------------------------------------------------------------

SHIFTED = np.roll(TGT, 2, axis=1)   # forgiven only while max_shift reaches 2 and step 1
CHANGES = {
    None: lambda c, m, calls: None,
    "threshold": lambda c, m, calls: setattr(c, "threshold", 200),
    "max_shift": lambda c, m, calls: setattr(c, "max_shift", 1),
    "step": lambda c, m, calls: setattr(c, "step", 2),
    "translate": lambda c, m, calls: m.setattr(qel_cv, "translate", lambda *a, f=qel_cv.translate:
                                               calls.append(a[1:]) or f(*a)),
}


@pytest.mark.parametrize("tgt", [SHIFTED, SHIFTED.astype(np.int16)], ids=["uint8", "int16"])
@pytest.mark.parametrize("change", ["threshold", "max_shift", "step", "translate"])
def test_changes_between_the_passes_reach_the_second(monkeypatch, change, tgt):
    """Only another thread (or a signal handler) can run code between the passes when the first
    runs none: the second pass must still follow the comparator's settings and names as they are."""
    def work(change):
        calls = []
        comparator = qel_cv.ShiftComparator(STD, 2, 50, 1)
        result = qel_cv.CompareResult(None)
        with monkeypatch.context() as m:
            hooks.between_passes(lambda: CHANGES[change](comparator, m, calls))
            try:
                comparator.compare(tgt, result)
            finally:
                hooks.between_passes(None)
        return regions(result), len(calls)

    fast = work(change)
    with monkeypatch.context() as m:
        force_generic(m)
        generic = work(change)
    assert fast == generic
    assert fast[0] != work(None)[0] if change != "translate" else fast[1] > 0
