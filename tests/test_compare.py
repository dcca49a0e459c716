"""Contour judges and the shift comparator: both renderings of a pass (the
one-sweep native pass and the generic pass through translate and
compare_image_difference) must find the same pixels and the same regions."""
import math
import tracemalloc

import cv2
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qel_cv
from conftest import assert_no_growth

ORIGINAL_TRANSLATE = qel_cv.translate


def force_generic(monkeypatch):
    """Rebind translate to an equivalent wrapper: the native pass no longer applies."""
    def translate(image, right, down, border_mode=cv2.BORDER_REPLICATE):
        return ORIGINAL_TRANSLATE(image, right, down, border_mode)
    monkeypatch.setattr(qel_cv, "translate", translate)


@pytest.fixture(params=["native", "generic"])
def path(request, monkeypatch):
    if request.param == "generic":
        force_generic(monkeypatch)
    return request.param


def square(x0, y0, size=100, side=20, value=255):
    image = np.zeros((size, size), np.uint8)
    image[y0:y0 + side, x0:x0 + side] = value
    return image


def regions(result):
    return [(r.rect, r.desc) for r in result.ng_regions]


def compare(std, tgt, *args, **kwargs):
    result = qel_cv.CompareResult(tgt)
    qel_cv.ShiftComparator(std, *args, **kwargs).compare(tgt, result)
    return result


# --- judges -------------------------------------------------------------------------------

BOX_5X3 = np.array([[[2, 1]], [[6, 1]], [[6, 3]], [[2, 3]]], np.int32)      # bounding rect 5 x 3
AREA_12 = np.array([[[0, 0]], [[4, 0]], [[4, 3]], [[0, 3]]], np.int32)      # encloses 12.0
POINT = np.array([[[7, 7]]], np.int32)


class TupleSub(tuple):
    pass


@pytest.mark.parametrize("cnt, length, expected", [
    (BOX_5X3, 5, True), (BOX_5X3, 6, False), (BOX_5X3, 3, True), (BOX_5X3, 4.5, True),
    (BOX_5X3, (5, 100), True), (BOX_5X3, [5], True), (BOX_5X3, [6, 1], False), (BOX_5X3, TupleSub((5,)), True),
    (POINT, 1, True), (POINT, 2, False),
])
def test_contour_is_too_long(cnt, length, expected):
    assert qel_cv.contour_is_too_long(cnt, length) is expected


@pytest.mark.parametrize("length, exc", [((), IndexError), ([], IndexError), ("5", TypeError), (None, TypeError)])
def test_contour_is_too_long_bad_length(length, exc):
    with pytest.raises(exc):
        qel_cv.contour_is_too_long(BOX_5X3, length)


@pytest.mark.parametrize("cnt, area, expected", [
    (AREA_12, 12, True), (AREA_12, 12.5, False), (AREA_12, True, True),
    (POINT, 0, True), (POINT, 0.01, False), (BOX_5X3[:2], 0, True),
])
def test_contour_is_too_big(cnt, area, expected):
    assert qel_cv.contour_is_too_big(cnt, area) is expected


def test_contour_is_too_big_converts_area_before_opencv():
    with pytest.raises(TypeError, match="^must be real number, not list$"):
        qel_cv.contour_is_too_big(None, [10])
    assert qel_cv.contour_is_too_big.__annotations__ == {"area": "float", "return": bool}
    assert qel_cv.contour_is_too_long.__annotations__ == {"return": bool}


# --- the comparator's shape ---------------------------------------------------------------------


def test_attributes_in_order():
    std = square(40, 40)
    c = qel_cv.ShiftComparator(std, 3, 100, [7], slope=0, step=2, cmp_region=(1, 2, 3, 4))
    assert list(vars(c)) == [
        "std_threshold", "max_shift", "threshold", "_ShiftComparator__judge_parameter",
        "_ShiftComparator__judge", "slope", "step", "compare_region",
        "_ShiftComparator__black_spot_desc", "_ShiftComparator__white_spot_desc"]
    assert c.std_threshold.dtype == np.int16 and np.array_equal(c.std_threshold, std)
    assert not np.shares_memory(c.std_threshold, std)
    assert c._ShiftComparator__judge is qel_cv.contour_is_too_long
    assert (c.max_shift, c.threshold, c.slope, c.step, c.compare_region) == (3, 100, 0, 2, (1, 2, 3, 4))


def test_default_judge_is_bound_at_start_up(monkeypatch):
    original = qel_cv.contour_is_too_long
    monkeypatch.setattr(qel_cv, "contour_is_too_long", lambda *a: pytest.fail("rebound judge called"))
    assert qel_cv.ShiftComparator.__init__.__defaults__ == (original, True, 1, None)
    result = compare(square(40, 40), square(42, 40), 1, 100, 10)
    assert result.ng_count == 2


# --- the worked examples ------------------------------------------------------------------------------

TWO_COLUMNS = [([40, 40, 41, 60], "black spot: 20, [40, 40, 41, 60]"),
               ([61, 40, 62, 60], "white spot: 20, [61, 40, 62, 60]")]
DIAGONAL_PIXELS = [([40, 40, 41, 41], "black spot: 1, [40, 40, 41, 41]"),
                   ([60, 60, 61, 61], "white spot: 1, [60, 60, 61, 61]")]


@pytest.mark.parametrize("tgt_at, max_shift, step, slope, judge_parameter, expected", [
    ((42, 40), 2, 1, True, 10, []),
    ((42, 40), 1, 1, True, 10, TWO_COLUMNS),
    ((42, 40), 1, 1, False, 10, TWO_COLUMNS),
    ((42, 40), 2, 2, True, 10, TWO_COLUMNS),
    ((42, 40), 1, 1, True, 21, []),
    ((41, 41), 2, 1, True, 1, []),
    ((41, 41), 2, 1, False, 1, DIAGONAL_PIXELS),
    ((40, 40), 0, 1, True, 1, []),
])
def test_square_examples(path, tgt_at, max_shift, step, slope, judge_parameter, expected):
    std, tgt = square(40, 40), square(*tgt_at)
    result = compare(std, tgt, max_shift, 100, judge_parameter, slope=slope, step=step)
    assert regions(result) == expected
    assert all(type(r.rect) is list and all(type(v) is int for v in r.rect) for r in result.ng_regions)


def test_descriptions_follow_the_properties(path):
    std, tgt = square(40, 40), square(42, 40)
    c = qel_cv.ShiftComparator(std, 1, 100, 10)
    c.black_spot_desc = "暗点"
    c.white_spot_desc = None
    result = qel_cv.CompareResult(tgt)
    c.compare(tgt, result)
    assert result.descriptions == ["暗点: 20, [40, 40, 41, 60]", "None: 20, [61, 40, 62, 60]"]


def test_regions_accumulate_over_compares(path):
    std = square(40, 40)
    c = qel_cv.ShiftComparator(std, 1, 100, 10)
    result = qel_cv.CompareResult(std)
    c.compare(square(42, 40), result)
    c.compare(square(40, 42), result)
    assert [r.desc for r in result.ng_regions] == [
        "black spot: 20, [40, 40, 41, 60]", "white spot: 20, [61, 40, 62, 60]",
        "black spot: 20, [40, 40, 60, 41]", "white spot: 20, [40, 61, 60, 62]"]


INSIDE = ([20, 20, 28, 28], "white spot: 8, [20, 20, 28, 28]")
OUTSIDE_BLACK = ([70, 10, 78, 18], "black spot: 8, [70, 10, 78, 18]")
OUTSIDE_WHITE = ([60, 60, 68, 68], "white spot: 8, [60, 60, 68, 68]")


@pytest.mark.parametrize("region, expected", [
    (None, [OUTSIDE_BLACK, OUTSIDE_WHITE, INSIDE]),
    ((10, 10, 50, 50), [INSIDE]),
    ([55, 5, 100, 100], [OUTSIDE_BLACK, OUTSIDE_WHITE]),
    ((10, 10, 24, 50), [([20, 20, 24, 28], "white spot: 8, [20, 20, 24, 28]")]),
    ((0, 0, 500, 500), [OUTSIDE_BLACK, OUTSIDE_WHITE, INSIDE]),
    ((50, 50, 10, 10), []),
])
def test_compare_region_masks_both_images(path, region, expected):
    std = np.zeros((100, 100), np.uint8)
    tgt = std.copy()
    tgt[20:28, 20:28] = 255
    tgt[60:68, 60:68] = 255
    std[10:18, 70:78] = 255
    std_before, tgt_before = std.copy(), tgt.copy()
    result = compare(std, tgt, 1, 100, 3, cmp_region=region)
    assert regions(result) == expected
    assert np.array_equal(std, std_before) and np.array_equal(tgt, tgt_before)


def test_public_settings_are_read_at_each_compare(path):
    std, tgt = square(40, 40), square(42, 40)
    c = qel_cv.ShiftComparator(std, 2, 100, 10)
    result = qel_cv.CompareResult(tgt)
    c.compare(tgt, result)
    assert result.ok
    c.max_shift = 1
    c.compare(tgt, result)
    assert regions(result) == TWO_COLUMNS
    c.threshold = 255
    result.reset(tgt)
    c.compare(tgt, result)
    assert result.ok


@pytest.mark.parametrize("verdict, counted", [([1], True), (5, True), ("x", True), (0, False), (None, False),
                                              ([], False), ((), False)])
def test_judge_truth(path, verdict, counted):
    seen = []

    def judge(cnt, parameter):
        seen.append((cnt.dtype, cnt.shape[1:], parameter))
        return verdict

    result = compare(square(40, 40), square(42, 40), 1, 100, ("p",), judge)
    assert seen == [(np.int32, (1, 2), ("p",))] * 2
    assert regions(result) == (TWO_COLUMNS if counted else [])


def test_judge_errors_propagate_without_rollback(path):
    calls = []

    def judge(cnt, parameter):
        calls.append(1)
        if len(calls) == 2:
            raise KeyError("second")
        return True

    result = qel_cv.CompareResult(None)
    c = qel_cv.ShiftComparator(square(40, 40), 1, 100, 10, judge)
    with pytest.raises(KeyError, match="second"):
        c.compare(square(42, 40), result)
    assert regions(result) == TWO_COLUMNS[:1]


def test_area_judge_with_a_list_fails_at_the_first_contour(path):
    c = qel_cv.ShiftComparator(square(40, 40), 1, 100, [10], qel_cv.contour_is_too_big)
    with pytest.raises(TypeError, match="^must be real number, not list$"):
        c.compare(square(42, 40), qel_cv.CompareResult(None))
    assert qel_cv.CompareResult(None).ok


# --- spot descriptions ------------------------------------------------------------------------------


class Text(str):
    pass


@pytest.mark.parametrize("name", ["black_spot_desc", "white_spot_desc"])
def test_desc_properties(name):
    c = qel_cv.ShiftComparator(square(40, 40), 1, 100, 10)
    assert getattr(c, name) == name.split("_")[0] + " spot"
    setattr(c, name, "dark")
    assert getattr(c, name) == "dark"
    for bad, type_name in [(5, "int"), (Text("x"), "Text"), (b"x", "bytes")]:
        with pytest.raises(TypeError) as info:
            setattr(c, name, bad)
        assert str(info.value) == f"Argument 'desc' has incorrect type (expected str, got {type_name})"
        assert getattr(c, name) == "dark"
    setattr(c, name, None)
    assert getattr(c, name) is None
    with pytest.raises(AttributeError, match=f"^property '{name}' of 'ShiftComparator' object has no deleter$"):
        delattr(c, name)


def test_desc_getter_checks_the_stored_value(path):
    std, tgt = square(40, 40), square(42, 40)
    c = qel_cv.ShiftComparator(std, 1, 100, 10)
    c._ShiftComparator__white_spot_desc = 7
    with pytest.raises(TypeError, match="^Expected unicode, got int$"):
        c.white_spot_desc
    result = qel_cv.CompareResult(tgt)
    with pytest.raises(TypeError, match="^Expected unicode, got int$"):
        c.compare(tgt, result)
    assert regions(result) == TWO_COLUMNS[:1]    # the black spot pass already ran
    c._ShiftComparator__black_spot_desc = Text("x")
    result.reset(tgt)
    with pytest.raises(TypeError, match="^Expected unicode, got Text$"):
        c.compare(tgt, result)
    assert result.ok


def test_repeated_compares_leak_nothing(path):
    std, tgt = square(40, 40), square(42, 40)
    parameter = object()
    c = qel_cv.ShiftComparator(std, 2, 100, parameter, lambda cnt, p: True, slope=False)
    c.max_shift = 1
    result = qel_cv.CompareResult(tgt)

    def run(times):
        for _ in range(times):
            c.compare(tgt, result)
            result.reset(tgt)

    watched = (std, tgt, parameter, c, c.std_threshold, result)
    assert_no_growth(lambda: run(1), watched, rounds=30, limit_bytes=4096, warmup=6)


# --- the generic pass: calls through the module namespace ---------------------------------------------


def diagonal_count(max_shift, step):
    return len(range(1, int(max_shift / math.sqrt(2)) + 1, step))


@pytest.mark.parametrize("max_shift, step, slope, a, d", [
    (0, 1, True, 0, 0), (1, 1, True, 1, 0), (2, 1, True, 2, 1), (5, 1, True, 5, 3), (10, 1, True, 10, 7),
    (5, 2, True, 3, 2), (5, 1, False, 5, 0), (5, -1, True, 0, 0), (-3, -1, True, 3, 2), (-3, 1, True, 0, 0),
])
def test_call_counts_per_pass(monkeypatch, max_shift, step, slope, a, d):
    assert (a, d) == (len(range(1, max_shift + 1, step)), diagonal_count(max_shift, step) if slope else 0)
    counts = {"translate": 0, "compare_image_difference": 0}
    std, tgt = square(40, 40), square(42, 40)

    for name in counts:
        original = getattr(qel_cv, name)

        def counting(*args, _name=name, _original=original):
            counts[_name] += 1
            return _original(*args)

        with monkeypatch.context() as m:
            m.setattr(qel_cv, name, counting)
            compare(std, tgt, max_shift, 100, 10, slope=slope, step=step)
    assert counts == {"translate": 2 * (4 * a + 4 * d), "compare_image_difference": 2 * (1 + 4 * a + 4 * d)}


def test_trial_shifts_in_order(monkeypatch):
    seen = []

    def translate(image, right, down):
        seen.append((right, down))
        return ORIGINAL_TRANSLATE(image, right, down)

    monkeypatch.setattr(qel_cv, "translate", translate)
    c = qel_cv.ShiftComparator(square(40, 40), 2, 100, 10)
    c._do_compare_image_with_shift(c.std_threshold, c.std_threshold, 10, "x", qel_cv.CompareResult(None))
    assert seen == [(1, 0), (2, 0), (-1, 0), (-2, 0), (0, 1), (0, 2), (0, -1), (0, -2),
                    (1, 1), (-1, 1), (1, -1), (-1, -1)]


def peak_bytes(call):
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        start = tracemalloc.get_traced_memory()[0]
        call()
        return tracemalloc.get_traced_memory()[1] - start
    finally:
        tracemalloc.stop()


def rebind(target, name, wrapper_of):
    def patch(m):
        m.setattr(target, name, wrapper_of(getattr(target, name)))
    return patch


def passthrough(f):
    return lambda *a, **k: f(*a, **k)


@pytest.mark.parametrize("change, one_sweep", [
    (None, True),
    (rebind(qel_cv, "translate", passthrough), False),
    (rebind(qel_cv, "compare_image_difference", passthrough), False),
    (rebind(cv2, "warpAffine", passthrough), False),
    (rebind(np, "logical_and", passthrough), False),
    (rebind(cv2, "findContours", passthrough), True),   # not something the pass replaces
    ("step", False), ("threshold", False), ("max_shift", False), ("float", False), ("swapped", False),
    ("strided", True),
])
def test_one_sweep_only_under_its_guards(monkeypatch, change, one_sweep):
    """The native pass allocates only its mask; the generic one an image per step."""
    std = np.zeros((300, 300), np.int16)
    tgt = std.copy()
    tgt[100:150, 100:150] = 50
    c = qel_cv.ShiftComparator(std, 3, 10, 1)
    if callable(change):
        change(monkeypatch)
    elif change == "step":
        c.step = True
    elif change == "threshold":
        c.threshold = np.int64(10)
    elif change == "max_shift":
        c.max_shift = np.int16(3)
    elif change == "float":
        std, tgt = std.astype(np.float32), tgt.astype(np.float32)
    elif change == "swapped":
        std, tgt = std.astype(">i2"), tgt.astype(">i2")
    elif change == "strided":
        std, tgt = np.repeat(std, 2, axis=1)[:, ::2], np.repeat(tgt, 2, axis=1)[:, ::2]
    result = qel_cv.CompareResult(None)
    peak = peak_bytes(lambda: c._do_compare_image_with_shift(tgt, std, 1, "x", result))
    assert result.descriptions == ["x: 50, [100, 100, 150, 150]"]
    assert (peak < 2 * std.size) is one_sweep


# --- both renderings agree ---------------------------------------------------------------------------

INT16_EDGES = [-32768, -32767, -32700, -256, -1, 0, 1, 255, 256, 32700, 32766, 32767]


@st.composite
def image_pairs(draw):
    shape = draw(st.sampled_from(["small", "wide", "tall"]))
    h = draw(st.integers(1, 4) if shape == "wide" else st.integers(1, 18) if shape == "small" else st.integers(17, 70))
    w = draw(st.integers(1, 4) if shape == "tall" else st.integers(1, 18) if shape == "small" else st.integers(17, 70))
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 32 - 1)))
    kind = draw(st.sampled_from(["grey", "blobs", "extreme", "misaligned"]))
    if kind == "extreme":
        a = rng.choice(INT16_EDGES, size=(h, w)).astype(np.int16)
        b = rng.choice(INT16_EDGES, size=(h, w)).astype(np.int16)
    else:
        a = rng.integers(0, 256, size=(h, w)).astype(np.int16)
        if kind == "blobs":
            a[:] = rng.integers(0, 256)
            for _ in range(rng.integers(1, 4)):
                y, x = rng.integers(0, h), rng.integers(0, w)
                a[y:y + rng.integers(1, 6), x:x + rng.integers(1, 6)] = rng.integers(0, 256)
        b = a.copy()
        if kind == "misaligned":
            b = np.roll(b, (rng.integers(-2, 3), rng.integers(-2, 3)), axis=(0, 1))
        for _ in range(rng.integers(0, 4)):
            y, x = rng.integers(0, h), rng.integers(0, w)
            b[y:y + rng.integers(1, 5), x:x + rng.integers(1, 5)] = rng.integers(0, 256)
    layout = draw(st.sampled_from(["packed", "transposed", "flipped", "strided", "swapped"]))
    if layout == "transposed":
        a, b = np.ascontiguousarray(a.T).T, np.ascontiguousarray(b.T).T
    elif layout == "flipped":
        a, b = a[::-1, ::-1].copy()[::-1, ::-1], b[::-1, ::-1].copy()[::-1, ::-1]
    elif layout == "strided":
        a, b = np.repeat(a, 3, axis=1)[:, ::3], np.repeat(b, 3, axis=1)[:, ::3]
    elif layout == "swapped":
        a, b = a.astype(">i2"), b.astype(">i2")
    return a, b, layout


def clamped_shift(image, right, down):
    h, w = image.shape
    return image[np.clip(np.arange(h) - down, 0, h - 1)][:, np.clip(np.arange(w) - right, 0, w - 1)]


def reference_mask(stay, moved, max_shift, threshold, slope, step):
    """The pass's mask written out directly, shifting by clamped indexing."""
    def differs(a, b):
        d = a - b
        return d > threshold if threshold >= 0 else d < threshold

    axis = range(1, max_shift + 1, step)
    shifts = [(i, 0) for i in axis] + [(-i, 0) for i in axis] + [(0, i) for i in axis] + [(0, -i) for i in axis]
    if slope:
        diag = range(1, int(max_shift / math.sqrt(2)) + 1, step)
        shifts += [(i, i) for i in diag] + [(-i, i) for i in diag] + [(i, -i) for i in diag] + [(-i, -i) for i in diag]
    result = differs(stay, moved)
    for right, down in shifts:
        result &= differs(stay, clamped_shift(moved, right, down))
    return result * np.uint8(255)


def run_pass(monkeypatch, generic, stay, moved, max_shift, threshold, slope, step):
    masks = []
    real_find = cv2.findContours

    def recording(image, mode, method):
        masks.append(image.copy())
        return real_find(image, mode, method)

    with monkeypatch.context() as m:
        m.setattr(cv2, "findContours", recording)
        if generic:
            force_generic(m)
        c = qel_cv.ShiftComparator(np.zeros((1, 1)), max_shift, threshold, "p", lambda cnt, p: True,
                                   slope=slope, step=step)
        result = qel_cv.CompareResult(None)
        c._do_compare_image_with_shift(stay, moved, "p", "spot", result)
    return masks[0], regions(result)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pair=image_pairs(),
       threshold=st.one_of(st.integers(-300, 300), st.sampled_from([0, -1, 32766, 32767, -32767, -32768, 40000,
                                                                    -40000, 2 ** 70])),
       max_shift=st.one_of(st.integers(0, 12), st.integers(13, 40)),
       step=st.sampled_from([1, 1, 2, 3]),
       slope=st.booleans(),
       swap=st.booleans())
def test_native_and_generic_agree(monkeypatch, pair, threshold, max_shift, step, slope, swap):
    a, b, layout = pair
    stay, moved = (b, a) if swap else (a, b)
    before = (stay.copy(), moved.copy())
    native = run_pass(monkeypatch, False, stay, moved, max_shift, threshold, slope, step)
    generic = run_pass(monkeypatch, True, stay, moved, max_shift, threshold, slope, step)
    assert np.array_equal(stay, before[0]) and np.array_equal(moved, before[1])
    assert native[0].dtype == generic[0].dtype == np.uint8
    assert np.array_equal(native[0], generic[0])
    assert native[1] == generic[1]
    if layout != "swapped":    # OpenCV reads byte-swapped pixels as they lie in memory
        assert np.array_equal(native[0], reference_mask(stay, moved, max_shift, threshold, slope, step))


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(h=st.integers(1, 6), w=st.integers(1, 6), seed=st.integers(0, 2 ** 32 - 1),
       max_shift=st.integers(-6, 8), step=st.sampled_from([-3, -2, -1, 1, 4, 10 ** 20]),
       slope=st.sampled_from([True, False, 1, 0, None, "yes"]))
def test_native_and_generic_agree_on_odd_ranges(monkeypatch, h, w, seed, max_shift, step, slope):
    rng = np.random.default_rng(seed)
    a = rng.integers(0, 4, size=(h, w)).astype(np.int16) * 60
    b = rng.integers(0, 4, size=(h, w)).astype(np.int16) * 60
    native = run_pass(monkeypatch, False, a, b, max_shift, 50, slope, step)
    generic = run_pass(monkeypatch, True, a, b, max_shift, 50, slope, step)
    assert np.array_equal(native[0], generic[0]) and native[1] == generic[1]


def test_whole_compare_agrees_on_a_textured_pair(monkeypatch):
    rng = np.random.default_rng(3)
    std = cv2.GaussianBlur(rng.integers(0, 256, size=(120, 160), dtype=np.uint8), (0, 0), 2)
    std = cv2.normalize(std, None, 0, 255, cv2.NORM_MINMAX)
    tgt = np.roll(std, 1, axis=1)
    cv2.circle(tgt, (50, 60), 6, 0, -1)
    cv2.circle(tgt, (120, 30), 4, 255, -1)
    native = regions(compare(std, tgt, 3, 30, 3))
    with monkeypatch.context() as m:
        force_generic(m)
        generic = regions(compare(std, tgt, 3, 30, 3))
    assert native == generic
    assert [d.split(":")[0] for _, d in native].count("black spot") >= 1
    assert [d.split(":")[0] for _, d in native].count("white spot") >= 1


# --- bad input -------------------------------------------------------------------------------------


@pytest.mark.parametrize("settings_, tgt, exc, text", [
    ({}, None, TypeError, None),
    ({}, np.zeros((50, 50), np.uint8), ValueError, None),
    ({}, np.zeros((100, 100, 3), np.uint8), ValueError, None),
    ({"max_shift": 2.0}, "square", TypeError, "^'float' object cannot be interpreted as an integer$"),
    ({"max_shift": None}, "square", TypeError, None),
    ({"step": 0}, "square", ValueError, "^range\\(\\) arg 3 must not be zero$"),
    ({"step": 1.0}, "square", TypeError, None),
    ({"cmp_region": (1, 2, 3)}, "square", ValueError, "^need more than 3 values to unpack$"),
    ({"cmp_region": (1, 2, 3, 4, 5)}, "square", ValueError, "^too many values to unpack \\(expected 4\\)$"),
    ({"cmp_region": 5}, "square", TypeError, "^'int' object is not iterable$"),
])
def test_bad_input_raises_and_changes_nothing(path, settings_, tgt, exc, text):
    std = square(40, 40)
    if isinstance(tgt, str):
        tgt = square(42, 40)
    kwargs = {"max_shift": 1, **settings_}
    std_before = std.copy()
    tgt_before = None if tgt is None else tgt.copy()
    c = qel_cv.ShiftComparator(std, kwargs.pop("max_shift"), 100, 10, **kwargs)
    result = qel_cv.CompareResult(tgt)
    with pytest.raises(exc, match=text):
        c.compare(tgt, result)
    assert np.array_equal(std, std_before)
    assert tgt is None or np.array_equal(tgt, tgt_before)


@pytest.mark.parametrize("std, tgt", [
    (np.zeros((20, 20, 3), np.uint8), np.zeros((20, 20, 3), np.uint8)),
    (np.zeros((20, 20), np.int16), np.zeros((20, 21), np.int16)),
    (np.zeros((20, 20), np.int16), np.zeros((20, 20), np.uint8)),
    (np.zeros((0, 5), np.int16), np.zeros((0, 5), np.int16)),
    (np.zeros(20, np.int16), np.zeros(20, np.int16)),
    (np.zeros((20, 20), object), np.zeros((20, 20), object)),
])
def test_bad_arrays_in_a_pass_raise_or_work_without_crashing(std, tgt):
    c = qel_cv.ShiftComparator(np.zeros((1, 1)), 2, 10, 1)
    before = (std.copy(), tgt.copy())
    try:
        c._do_compare_image_with_shift(std, tgt, 1, "x", qel_cv.CompareResult(None))
    except Exception:
        pass
    assert np.array_equal(std, before[0]) and np.array_equal(tgt, before[1])


@pytest.mark.parametrize("shape", [(0, 5), (5, 0)])
def test_empty_images_fail_as_the_generic_pass_fails(path, shape):
    empty = np.zeros(shape, np.uint8)
    with pytest.raises(cv2.error, match=r"src\.cols > 0 && src\.rows > 0 in function 'warpAffine'"):
        compare(empty, empty, 2, 10, 1)


def test_construction_needs_an_image():
    with pytest.raises(TypeError):
        qel_cv.ShiftComparator(None, 1, 100, 10)


def test_slope_truth_runs_before_the_native_pass_can_trust_its_guards(monkeypatch):
    h, w = 4000, 2
    std = np.zeros((h, w), np.int16)
    tgt = np.full((h, w), 255, np.int16)

    class Reshaping:
        def __bool__(self):
            std.shape = (w, h)
            tgt.shape = (w, h)
            return True

    comparator = qel_cv.ShiftComparator(np.zeros((2, 2), np.uint8), 3, -10, 1, slope=Reshaping())
    # The generic pass runs: the reshaped arrays no longer match the mask.
    with pytest.raises(ValueError, match="could not be broadcast"):
        comparator._do_compare_image_with_shift(std, tgt, 1, "x", qel_cv.CompareResult(tgt))

    calls = []
    translate = qel_cv.translate

    class Rebinding:
        def __bool__(self):
            monkeypatch.setattr(qel_cv, "translate", lambda *a: calls.append(a[1:]) or translate(*a))
            return True

    img = np.zeros((20, 20), np.int16)
    comparator = qel_cv.ShiftComparator(np.zeros((2, 2), np.uint8), 3, 10, 1, slope=Rebinding())
    comparator._do_compare_image_with_shift(img, img, 1, "x", qel_cv.CompareResult(img))
    assert calls == [(1, 1), (2, 2), (-1, 1), (-2, 2), (1, -1), (2, -2), (-1, -1), (-2, -2)]
