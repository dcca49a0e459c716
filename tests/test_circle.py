"""Circle fitting: FittingCircle, its residual, and CirclePeeler.

The plain-Python classes below are the oracle: the same algorithm written
directly against numpy, scipy.optimize.leastsq and cv2.
"""
import os
import subprocess
import sys
import warnings

import cv2
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.optimize import leastsq

import qel_cv
from conftest import assert_no_growth
from plain import PlainFittingCircle

FittingCircle = qel_cv.FittingCircle
CirclePeeler = qel_cv.CirclePeeler
error = FittingCircle._FittingCircle__error
distance_square = FittingCircle._FittingCircle__distance_square


def ref_peel(image, threshold, iteration, thresh_type=cv2.THRESH_BINARY, min_area=0):
    """Returns the (center, radius) of every pass; writes the same files."""
    _value, th_img = cv2.threshold(image, thresh=threshold, maxval=255, type=thresh_type)
    contours = cv2.findContours(th_img, mode=cv2.RETR_EXTERNAL, method=cv2.CHAIN_APPROX_NONE)[-2]
    kept = [cnt for cnt in contours if cv2.contourArea(cnt) >= min_area]
    mask = cv2.fillPoly(np.zeros(image.shape[:2], dtype=np.uint8), kept, 255)
    center, radius, fits = (-1, -1), 0, []
    for _ in range(iteration):
        cv2.circle(mask, center, radius, color=0, thickness=-1)
        cv2.imwrite("Peeler %d.bmp" % (len(fits) + 1), mask)
        found = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)[-2]
        fit = PlainFittingCircle(points=[pnt[0] for cnt in found for pnt in cnt])
        fits.append((fit.center, fit.radius))
        center, radius = (int(fit.center[0]), int(fit.center[1])), int(fit.radius)
    return fits


def same_fit(got, ref):
    return got.center == ref.center and got.radius == ref.radius


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.int64)


def on_circle(cx, cy, r, n, start=0.0, stop=2 * np.pi):
    t = np.linspace(start, stop, n, endpoint=False)
    return cx + r * np.cos(t), cy + r * np.sin(t)


def disc(shape=(200, 200), center=(95, 104), radius=60, value=255):
    img = np.zeros(shape, np.uint8)
    cv2.circle(img, center, radius, value, -1)
    return img


def contour_rows(img):
    found = cv2.findContours(img, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)[-2]
    return [pnt[0] for cnt in found for pnt in cnt]


RNG = np.random.default_rng(20240501)
NOISY = [(float(x), float(y)) for x, y in zip(*on_circle(40.5, -12.25, 30, 300))]
NOISY = [(x + RNG.normal(0, 0.7), y + RNG.normal(0, 0.7)) for x, y in NOISY]


# --- the class surface -----------------------------------------------------------

def test_class_layout():
    assert FittingCircle.__bases__ == (object,) and FittingCircle.__doc__ is None
    members = [k for k in vars(FittingCircle) if not k.startswith("__") or k == "__init__"]
    assert members == ["_FittingCircle__distance_square", "_FittingCircle__error", "__init__", "center", "radius"]
    assert isinstance(vars(FittingCircle)["_FittingCircle__error"], staticmethod)
    assert isinstance(vars(FittingCircle)["center"], property) and vars(FittingCircle)["center"].fset is None
    assert FittingCircle.__init__.__defaults__ == (None, None, None)
    assert distance_square.__annotations__["return"] is np.ndarray
    assert error.__annotations__ == {"x": np.ndarray, "y": np.ndarray, "return": "float"}
    assert FittingCircle.radius.fget.__annotations__ == {"return": "float"}
    assert CirclePeeler.__doc__ == "\n\t通过反复消减内周或（和）外周采样点来提高拟合圆的准确度。\n\t"
    assert CirclePeeler.__init__.__doc__.startswith("\n\t\t:param image: 灰度图片\n\t\t:param threshold: ")
    assert CirclePeeler.__init__.__defaults__ == (cv2.THRESH_BINARY, 0)
    assert CirclePeeler.peel.__annotations__ == {"iteration": "int", "return": FittingCircle}


# --- FittingCircle ---------------------------------------------------------------

@pytest.mark.parametrize("cx, cy, r, n, stop", [
    (12.5, -3.25, 7.0, 40, 2 * np.pi),
    (300.0, 200.0, 150.0, 1000, 2 * np.pi),
    (-5.0, 8.0, 2.5, 9, np.pi),          # half an arc
    (0.0, 0.0, 1e4, 3, 2 * np.pi),      # three points define the circle
])
def test_exact_float_points_give_the_circle(cx, cy, r, n, stop):
    x, y = on_circle(cx, cy, r, n, stop=stop)
    fit = FittingCircle(x=list(x), y=list(y))
    assert fit.center == pytest.approx((cx, cy), abs=1e-9 * r)
    assert fit.radius == pytest.approx(r, rel=1e-9)
    assert type(fit.center) is tuple and all(type(v) is np.float64 for v in fit.center)
    assert type(fit.radius) is np.float64
    assert fit.center is fit.center


def test_contour_of_a_drawn_disc():
    rows = contour_rows(disc(center=(95, 104), radius=60))
    fit = FittingCircle(points=rows)
    assert fit.center == pytest.approx((95, 104), abs=0.05)
    assert fit.radius == pytest.approx(60, abs=1.0)
    assert same_fit(fit, PlainFittingCircle(points=rows))


def test_same_coordinates_in_every_form_give_the_same_fit():
    rows = contour_rows(disc(center=(70, 80), radius=33))
    xs = [r[0] for r in rows]
    ys = [r[1] for r in rows]
    forms = [
        FittingCircle(points=rows),
        FittingCircle(points=[(int(a), int(b)) for a, b in rows]),
        FittingCircle(points=[[int(a), int(b)] for a, b in rows]),
        FittingCircle(points=tuple(np.array(rows, dtype=np.int64))),
        FittingCircle(x=[int(v) for v in xs], y=[int(v) for v in ys]),
        FittingCircle(x=xs, y=ys),
        FittingCircle(x=np.array(xs), y=np.array(ys)),
        FittingCircle(points=iter(rows)),
        FittingCircle(x=[1, 2, 3], y=[7, 8, 9, 10], points=rows),  # points win
    ]
    for fit in forms:
        assert fit.center == forms[0].center and fit.radius == forms[0].radius


@pytest.mark.parametrize("points", [
    NOISY,
    NOISY[:40],                                             # a short arc
    [(int(round(x)), int(round(y))) for x, y in NOISY],     # Python ints
    [np.array(p) for p in NOISY],                           # float64 rows
    [(np.float32(x), np.float32(y)) for x, y in NOISY],     # float32 scalars
    [(x, int(y)) for x, y in NOISY],                        # float x, int y
    [(True, 1), (0, 5), (3, 3), (6, 0)],                    # a bool among ints
    [(1.0, 2.0), (np.float64(5.0), 1), (4.0, -3.0)],        # mixed kinds in y
])
def test_fit_equals_leastsq_from_plain_python(points):
    fit = FittingCircle(points=points)
    ref = PlainFittingCircle(points=points)
    assert fit.center == pytest.approx(ref.center, abs=1e-9)
    assert fit.radius == pytest.approx(ref.radius, abs=1e-9)
    assert same_fit(fit, ref)  # the same operations: not merely close, equal


def test_leastsq_is_called_with_the_residual_start_point_and_args(monkeypatch):
    calls = []

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return leastsq(*args, **kwargs)

    monkeypatch.setattr(qel_cv, "_leastsq", spy)
    fit = FittingCircle(points=NOISY)
    (args, kwargs), = calls
    assert kwargs == {} and len(args) == 3
    func, start, extra = args
    assert func is error
    x = np.array([p[0] for p in NOISY])
    y = np.array([p[1] for p in NOISY])
    assert start.dtype == np.float64 and start.tolist() == [x.mean(), y.mean()]
    assert type(extra) is tuple and len(extra) == 2
    assert np.array_equal(extra[0], x) and np.array_equal(extra[1], y)
    assert same_fit(fit, PlainFittingCircle(points=NOISY))


def test_late_binding_of_numpy_and_the_residual(monkeypatch):
    """A rebound `_np` or residual is used, so no native shortcut may skip it."""
    calls = []

    class Proxy:
        def __getattr__(self, name):
            return getattr(np, name)

        def array(self, value):
            calls.append(value)
            return np.array(value)

    monkeypatch.setattr(qel_cv, "_np", Proxy())
    fit = FittingCircle(points=NOISY)
    assert len(calls) == 3 and same_fit(fit, PlainFittingCircle(points=NOISY))
    monkeypatch.undo()

    seen = []

    def other_distances(para, x, y):
        seen.append(1)
        return PlainFittingCircle.distance_square(para, x, y)

    monkeypatch.setattr(FittingCircle, "_FittingCircle__distance_square", staticmethod(other_distances))
    fit = FittingCircle(points=NOISY)
    assert len(seen) > 3  # every residual evaluation and the radius
    assert same_fit(fit, PlainFittingCircle(points=NOISY))


@pytest.mark.parametrize("kwargs", [{"points": []}, {"x": [], "y": []}, {"x": (), "y": np.zeros(0)}])
def test_empty_fit(kwargs):
    fit = FittingCircle(**kwargs)
    assert fit.center == (0, 0) and type(fit.center[0]) is int
    assert fit.radius == 0 and type(fit.radius) is int


@pytest.mark.parametrize("kwargs, exc, text", [
    ({}, TypeError, "object of type 'NoneType' has no len()"),
    ({"x": [1, 2, 3], "y": [1, 2]}, AssertionError, ""),
    ({"points": [(1, 2, 3), (4, 5, 6)]}, ValueError, "too many values to unpack (expected 2)"),
    ({"points": [(1, 2), (4,)]}, ValueError, "need more than 1 value to unpack"),
    ({"points": [np.array([1, 2, 3])]}, ValueError, "too many values to unpack (expected 2)"),
    ({"points": 5}, TypeError, "'int' object is not iterable"),
])
def test_error_texts(kwargs, exc, text):
    with pytest.raises(exc) as e:
        FittingCircle(**kwargs)
    assert str(e.value) == text


@pytest.mark.parametrize("kwargs", [
    {"points": [(3.0, 4.0)]},          # one point: fewer residuals than parameters
    {"x": [1], "y": [2]},
    {"points": [("a", "b"), ("c", "d")]},
    {"points": [(None, 1), (2, 3)]},
    {"x": ["1", "2"], "y": [1, 2]},
    {"x": [[1, 2], [3]], "y": [1, 2]},
    {"points": [(2 ** 70, 1), (0, 5), (3, 3)]},    # an int beyond int64: an object array
])
def test_library_errors_reach_the_caller_unchanged(kwargs):
    with pytest.raises(Exception) as expected:
        PlainFittingCircle(**kwargs)
    with pytest.raises(Exception) as got:
        FittingCircle(**kwargs)
    assert type(got.value) is type(expected.value)
    assert str(got.value) == str(expected.value)


def test_assert_honours_python_O():
    build = os.path.dirname(qel_cv.__file__)
    script = ("import qel_cv; f = qel_cv.FittingCircle(x=[0.0, 4.0, 2.0, 2.0], y=[2.0]);"
              "print(type(f).__name__)")
    env = dict(os.environ, PYTHONPATH=build)
    out = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, env=env)
    assert out.stdout.strip() == "FittingCircle", out.stderr
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert "AssertionError" in out.stderr


def test_inputs_are_not_modified():
    x = np.array([p[0] for p in NOISY])
    y = np.array([p[1] for p in NOISY])
    rows = [np.array(p) for p in NOISY]
    pts = list(NOISY)
    keep = (x.copy(), y.copy(), [r.copy() for r in rows], list(pts))
    FittingCircle(x=x, y=y)
    FittingCircle(points=rows)
    FittingCircle(points=pts)
    assert np.array_equal(x, keep[0]) and np.array_equal(y, keep[1])
    assert all(np.array_equal(a, b) for a, b in zip(rows, keep[2])) and pts == keep[3]


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.integers(-500, 500), st.integers(-500, 500)), min_size=2, max_size=60),
       st.sampled_from(["tuple", "float", "int32 row"]))
def test_fit_matches_plain_python_on_random_points(raw, form):
    if form == "float":
        points = [(a / 7, b / 3) for a, b in raw]
    elif form == "int32 row":
        points = list(np.array(raw, dtype=np.int32))
    else:
        points = raw
    try:
        ref = PlainFittingCircle(points=points)
    except Exception as expected:  # noqa: BLE001 - compare whatever it is
        with pytest.raises(type(expected)) as got:
            FittingCircle(points=points)
        assert str(got.value) == str(expected)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = FittingCircle(points=points)
    assert fit.center == ref.center or np.isnan(ref.center).any()
    assert fit.radius == ref.radius or np.isnan(ref.radius)


# --- the residual: native loop against numpy -----------------------------------------

def numpy_error(center, x, y):
    d = (center[0] - x) ** 2 + (center[1] - y) ** 2
    return d - d.mean()


def generic(a):
    """The same values in a byte order the native loop declines."""
    return a.astype(a.dtype.newbyteorder(">")) if isinstance(a, np.ndarray) else a


@pytest.mark.parametrize("n", [1, 2, 7, 8, 9, 127, 128, 129, 2000, 20011])
@pytest.mark.parametrize("dtype", [np.float64, np.int32, np.int64])
def test_native_residual_equals_numpy(n, dtype):
    rng = np.random.default_rng(n)
    x = (rng.normal(0, 300, n)).astype(dtype)
    y = (rng.normal(50, 90, n)).astype(dtype)
    center = rng.normal(0, 100, 2)
    want = numpy_error(center, x, y)
    for c in (center, tuple(center), list(center), (float(center[0]), float(center[1]))):
        got = error(c, x, y)
        slow = error(generic(np.asarray(c)) if isinstance(c, np.ndarray) else c, generic(x), generic(y))
        assert got.dtype == np.float64 and got.shape == (n,)
        assert np.array_equal(bits(got), bits(want)) and np.array_equal(bits(slow), bits(want))
    d_want = (center[0] - x) ** 2 + (center[1] - y) ** 2
    assert np.array_equal(bits(distance_square(center, x, y)), bits(d_want))
    assert np.array_equal(bits(distance_square(center, generic(x), generic(y))), bits(d_want))


@pytest.mark.parametrize("x, y", [
    (np.arange(39.0)[::3], np.arange(39.0)[1::3]),                    # strided views
    (np.arange(30.0)[::-2], np.arange(15, dtype=np.int32)),           # negative stride, mixed dtypes
    (np.arange(10.0), np.array([4.0])),                                # broadcasting
    (np.zeros(0), np.zeros(0)),                                        # empty: numpy's warning
    (np.array([1.0, np.nan, 3.0]), np.array([np.inf, 2.0, 1.0])),     # NaN and infinity
    (np.array([1e200, 0.0, -1e200]), np.array([0.0, 1e200, 0.0])),    # overflow
    (np.array([1e-170, 1.0, 2.0]), np.array([0.0, 1.0, 3.0])),        # underflowing square
    (np.arange(10, dtype=np.int16), np.arange(10.0)),                  # a dtype left to numpy
    (np.arange(6.0).reshape(2, 3), np.arange(6.0).reshape(2, 3)),      # 2-D
])
def test_native_residual_edge_inputs(x, y):
    center = np.array([0.0, 0.0])
    with warnings.catch_warnings(record=True) as w_ref:
        warnings.simplefilter("always")
        want = numpy_error(center, x, y)
    with warnings.catch_warnings(record=True) as w_got:
        warnings.simplefilter("always")
        got = error(center, x, y)
    assert got.shape == want.shape and got.dtype == want.dtype
    assert np.array_equal(bits(got), bits(want))
    assert [str(w.message) for w in w_got] == [str(w.message) for w in w_ref]


@pytest.mark.parametrize("center", [np.array([3.5, 99.0, -2.25])[::2], np.array([-2.25, 3.5])[::-1]],
                         ids=["stride 16", "reversed"])
def test_strided_centre_array(center):
    x = np.array([0.0, 1.5, -4.0, 7.25])
    y = np.array([2, -3, 5, 1], np.int32)
    assert np.array_equal(bits(distance_square(center, x, y)), bits((center[0] - x) ** 2 + (center[1] - y) ** 2))
    assert np.array_equal(bits(error(center, x, y)), bits(numpy_error(center, x, y)))


@pytest.mark.parametrize("condition", ["under", "over"])
def test_floating_point_errors_are_reported_as_numpy_would(condition):
    x = np.array([1e-170, 1.0, 2.0]) if condition == "under" else np.array([1e200, 1.0, 2.0])
    with np.errstate(**{condition: "raise"}):
        with pytest.raises(FloatingPointError) as want:
            numpy_error(np.array([0.0, 0.0]), x, x)
        with pytest.raises(FloatingPointError) as got:
            error(np.array([0.0, 0.0]), x, x)
    assert str(got.value) == str(want.value)


# --- CirclePeeler --------------------------------------------------------------------

def notched_disc(size=400, center=(200, 190), radius=120):
    """A disc with notches cut into one side of its edge (burrs of a punched part)."""
    img = disc((size, size), center, radius)
    for ang in (0.2, 0.5, 0.8):
        cv2.circle(img, (int(center[0] + 125 * np.cos(ang)), int(center[1] + 125 * np.sin(ang))), 20, 0, -1)
    return img


def read(path):
    return cv2.imread(str(path), cv2.IMREAD_UNCHANGED)


@pytest.mark.parametrize("iteration", [0, -3])
def test_no_pass_writes_nothing(tmp_path, monkeypatch, iteration):
    monkeypatch.chdir(tmp_path)
    assert CirclePeeler(disc(), 127).peel(iteration) is None
    assert os.listdir(tmp_path) == []


def test_one_pass(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    img = disc()
    fit = CirclePeeler(img, 127).peel(1)
    assert os.listdir(tmp_path) == ["Peeler 1.bmp"]
    assert np.array_equal(read(tmp_path / "Peeler 1.bmp"), img)
    assert same_fit(fit, PlainFittingCircle(points=contour_rows(img)))


def test_three_passes_show_the_earlier_disks_and_repeat(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    img = notched_disc()
    keep = img.copy()
    peeler = CirclePeeler(img, 127)
    state = dict(vars(peeler))
    contours = [c.copy() for c in state["_CirclePeeler__contours"]]
    fits = [peeler.peel(k) for k in (1, 2, 3)]
    assert sorted(os.listdir(tmp_path)) == ["Peeler 1.bmp", "Peeler 2.bmp", "Peeler 3.bmp"]
    masks = [read(tmp_path / ("Peeler %d.bmp" % k)) for k in (1, 2, 3)]
    expected = img.copy()
    for k in (1, 2):
        (x, y), r = fits[k - 1].center, fits[k - 1].radius
        cv2.circle(expected, (int(x), int(y)), int(r), 0, -1)
        assert np.array_equal(masks[k], expected)
        assert masks[k][int(y), int(x)] == 0 and masks[0][int(y), int(x)] == 255
    assert same_fit(peeler.peel(3), fits[2])
    assert [(f.center, f.radius) for f in fits] == ref_peel(img, 127, 3)
    # peel changes neither the object nor anything it was given
    assert list(vars(peeler)) == ["_CirclePeeler__threshold", "_CirclePeeler__thresh_type",
                                  "_CirclePeeler__contours", "_CirclePeeler__shape"]
    assert all(vars(peeler)[k] is v for k, v in state.items()) and state["_CirclePeeler__shape"] == (400, 400)
    assert all(np.array_equal(a, b) for a, b in zip(state["_CirclePeeler__contours"], contours))
    assert np.array_equal(img, keep)


def test_later_passes_move_toward_the_notch_free_circle(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    peeler = CirclePeeler(notched_disc(center=(200, 190), radius=120), 127)
    errors = []
    for k in (1, 3, 5):
        fit = peeler.peel(k)
        errors.append((np.hypot(fit.center[0] - 200, fit.center[1] - 190), abs(fit.radius - 120)))
    assert errors[0][0] > errors[1][0] > errors[2][0]
    assert errors[0][1] > errors[1][1] > errors[2][1]


@pytest.mark.parametrize("min_area, kept", [(100, True), (101, False)])
def test_min_area_is_inclusive(tmp_path, monkeypatch, min_area, kept):
    monkeypatch.chdir(tmp_path)
    img = disc((100, 100), (70, 70), 12)
    img[10:21, 10:21] = 255  # an 11 x 11 square: contour area 100
    peeler = CirclePeeler(img, 127, min_area=min_area)
    assert len(vars(peeler)["_CirclePeeler__contours"]) == (2 if kept else 1)
    peeler.peel(1)
    assert read(tmp_path / "Peeler 1.bmp")[15, 15] == (255 if kept else 0)


@pytest.mark.parametrize("iteration", [1, 3])
def test_all_black_gives_the_empty_circle(tmp_path, monkeypatch, iteration):
    monkeypatch.chdir(tmp_path)
    fit = CirclePeeler(disc((50, 60), (25, 25), 10, value=100), 127).peel(iteration)
    assert fit.center == (0, 0) and fit.radius == 0 and type(fit.radius) is int
    assert len(os.listdir(tmp_path)) == iteration


def test_dark_object_with_binary_inv_and_keywords(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    img = 255 - disc(center=(90, 100), radius=50)
    fit = CirclePeeler(image=img, threshold=127, thresh_type=cv2.THRESH_BINARY_INV, min_area=10).peel(iteration=2)
    assert [(fit.center, fit.radius)] == ref_peel(img, 127, 2, cv2.THRESH_BINARY_INV, 10)[-1:]
    assert fit.center == pytest.approx((90, 100), abs=1.0)


def test_lone_pixel_raises_after_writing(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    img = np.zeros((20, 20), np.uint8)
    img[5, 5] = 255
    with pytest.raises(TypeError) as e:
        CirclePeeler(img, 127).peel(3)
    assert str(e.value).startswith("Improper input")
    assert os.listdir(tmp_path) == ["Peeler 1.bmp"]


@pytest.mark.parametrize("image", [
    np.zeros((30, 30, 3), np.uint8),
    disc((40, 40), (20, 20), 10).astype(np.float32),
    [[0, 255], [255, 0]],
    None,
    np.zeros((0, 0), np.uint8),                 # nothing to find: the empty circle
])
def test_bad_images_behave_as_opencv_makes_them(tmp_path, monkeypatch, image):
    monkeypatch.chdir(tmp_path)

    def outcome(run):
        try:
            return run()
        except Exception as e:  # noqa: BLE001 - whatever it is, it must match
            return type(e)

    want = outcome(lambda: ref_peel(image, 127, 1)[-1])
    got = outcome(lambda: CirclePeeler(image, 127).peel(1))
    if isinstance(want, type):
        assert got is want
    else:
        assert (got.center, got.radius) == want


def test_peel_uses_the_current_fitting_circle_and_imwrite(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    written = []
    monkeypatch.setattr(qel_cv._cv, "imwrite", lambda name, image: written.append((name, image.copy())) or False)
    made = []

    class Spy(PlainFittingCircle):
        def __init__(self, **kwargs):
            made.append(kwargs)
            super().__init__(**kwargs)

    monkeypatch.setattr(qel_cv, "FittingCircle", Spy)
    fit = CirclePeeler(disc(), 127).peel(2)
    assert isinstance(fit, Spy) and [list(k) for k in made] == [["points"], ["points"]]
    assert all(type(p) is np.ndarray and p.shape == (2,) for p in made[0]["points"])
    assert [name for name, _ in written] == ["Peeler 1.bmp", "Peeler 2.bmp"]
    assert os.listdir(tmp_path) == []


def test_repeated_calls_leak_nothing(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    pts = [(1.0, 2.0), (3.0, 1.0), (2.0, 5.0), (0.5, 0.5)]
    rows = list(np.array([[1, 2], [3, 1], [2, 5], [0, 0]], np.int32))
    x = np.arange(10.0)
    peeler = CirclePeeler(disc((40, 40), (20, 20), 8), 127)
    watched = [pts, pts[0], rows, rows[0], x]

    def work():
        FittingCircle(points=pts)
        FittingCircle(points=rows)
        FittingCircle(x=[1, 2, 3], y=[3, 1, 2])
        error(np.array([1.0, 2.0]), x, x)
        error((1, 2), x, x)
        peeler.peel(2)
        for bad in ([(1, 2, 3)], [(1, 2)]):
            with pytest.raises((ValueError, TypeError)):
                FittingCircle(points=bad)

    # One leaked object per round would be 4.8 kB or more.
    assert_no_growth(work, watched, rounds=300, limit_bytes=3000, warmup=20)


def test_peeler_finds_contours_with_keywords_then_positionally(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    seen = []
    find = cv2.findContours

    def spy(*args, **kwargs):
        seen.append((len(args), sorted(kwargs)))
        return (args[0],) + tuple(find(*args, **kwargs))  # the three-value form

    monkeypatch.setattr(cv2, "findContours", spy)
    image = np.zeros((40, 40), np.uint8)
    cv2.circle(image, (20, 20), 10, 255, -1)
    peeler = qel_cv.CirclePeeler(image, 100)
    peeler.peel(1)
    assert seen == [(1, ["method", "mode"]), (3, [])]
