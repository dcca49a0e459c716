"""Whole-API fuzzing: every public callable, fed generated arguments of every
kind, either returns or raises an ordinary exception with a message, and never
changes inputs it promises to leave alone.

The default run is short; `pytest --fuzz-long tests/test_fuzz.py` goes deeper."""
import inspect
import pickle

import cv2
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qel_cv

FUNCTION_TYPE = type(qel_cv.CompareResult.reset)

# Parameters that a callable may change in place, by its documented behaviour.
MAY_MODIFY = {
    "take_middle": {"src"}, "take_min_or_max": {"src"}, "take_min": {"src"}, "take_max": {"src"},
    "fill_threshold": {"threshold"},
    "ShiftComparator.compare": {"result"},
    "ShiftComparator._do_compare_image_with_shift": {"compare_result"},
}

# Parameters that count loop rounds or iterations: kept small so a call
# finishes, whatever else is generated.
SMALL_INTS = {"iteration": (-2, 3), "max_shift": (-2, 6), "step": (-2, 3), "head_off": (-6, 6),
              "tail_off": (-6, 6), "x": (-3, 12), "pos_tip": (-4, 12)}


def public_callables():
    """(qualname, callable, parameter names) for every function, method,
    constructor, static method and property accessor of the module."""
    found = []
    for name, value in vars(qel_cv).items():
        if isinstance(value, FUNCTION_TYPE):
            found.append((value.__qualname__, value))
        elif isinstance(value, type) and value.__module__ == "qel_cv":
            for member in vars(value).values():
                if isinstance(member, FUNCTION_TYPE):
                    found.append((member.__qualname__, member))
                elif isinstance(member, staticmethod):
                    found.append((member.__func__.__qualname__, member.__func__))
                elif isinstance(member, property):
                    for accessor in (member.fget, member.fset):
                        if accessor is not None:
                            found.append((accessor.__qualname__ + (".fset" if accessor is member.fset else ""),
                                          accessor))
    return [(q, f, f.__code__.co_varnames[:f.__code__.co_argcount]) for q, f in found]


CALLABLES = public_callables()

DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
          np.float16, np.float32, np.float64, object]


@st.composite
def arrays(draw):
    dtype = draw(st.sampled_from(DTYPES))
    ndim = draw(st.integers(0, 4))
    shape = tuple(draw(st.lists(st.integers(0, 9), min_size=ndim, max_size=ndim)))
    size = int(np.prod(shape)) if shape else 1
    if dtype is object:
        values = draw(st.lists(st.one_of(st.integers(-300, 300), st.none(), st.floats()), min_size=size,
                               max_size=size))
        arr = np.empty(size, dtype=object)
        arr[:] = values
        arr = arr.reshape(shape)
    else:
        raw = draw(st.binary(min_size=size * np.dtype(dtype).itemsize, max_size=size * np.dtype(dtype).itemsize))
        arr = np.frombuffer(raw, dtype=dtype).reshape(shape).copy()
        if dtype is np.bool_:
            arr = arr.view(np.uint8).astype(bool)
    view = draw(st.sampled_from(["plain", "reversed", "strided", "readonly", "transposed"]))
    if view == "reversed" and arr.ndim:
        arr = arr[::-1]
    elif view == "strided" and arr.ndim:
        arr = arr[::2]
    elif view == "readonly":
        arr.flags.writeable = False
    elif view == "transposed":
        arr = arr.T
    return arr


@st.composite
def images(draw):
    """Mostly-sensible images: small grey or colour uint8 pictures with blobs."""
    h, w = draw(st.integers(1, 24)), draw(st.integers(1, 24))
    colour = draw(st.booleans())
    img = np.zeros((h, w, 3) if colour else (h, w), np.uint8)
    for _ in range(draw(st.integers(0, 3))):
        y, x = draw(st.integers(0, h - 1)), draw(st.integers(0, w - 1))
        img[y:y + draw(st.integers(1, 8)), x:x + draw(st.integers(1, 8))] = draw(st.integers(0, 255))
    return img


scalars = st.one_of(
    st.integers(-3, 300), st.integers(), st.sampled_from([2**63, -2**63, 2**64, 10**30]),
    st.floats(allow_nan=True, allow_infinity=True), st.booleans(), st.none(), st.text(max_size=4),
    st.just(b"x"), st.just(1j),
)
contours = st.builds(lambda pts: np.array(pts, np.int32).reshape(-1, 1, 2),
                     st.lists(st.tuples(st.integers(-5, 30), st.integers(-5, 30)), min_size=0, max_size=12))
values = st.deferred(lambda: st.one_of(
    scalars, arrays(), images(), contours,
    st.lists(st.integers(-5, 40), max_size=5).map(list),
    st.lists(st.integers(-5, 40), max_size=5).map(tuple),
    st.lists(st.lists(st.integers(-5, 40), max_size=3), max_size=4),
    st.lists(contours, max_size=3),
    st.builds(lambda x: iter(x), st.lists(st.integers(0, 9), max_size=4)),
))


def value_for(qualname, param):
    if qualname == "calculate_contour_vertical_distances" and param == "contour":
        # The walk visits every column between the contour's ends, so only
        # contours of modest width finish in fuzzing time.
        return st.one_of(contours, st.lists(contours, max_size=2), scalars)
    if param in SMALL_INTS:
        lo, hi = SMALL_INTS[param]
        return st.one_of(st.integers(lo, hi), st.none(), st.floats(-3, 3), st.just("1"))
    return values


def snapshot(value):
    if isinstance(value, np.ndarray):
        if value.dtype == object:
            return ("array", value.shape, value.strides, pickle.dumps(value.tolist()))
        return ("array", value.shape, value.strides, value.tobytes())
    if isinstance(value, (list, tuple)):
        try:
            return ("seq", pickle.dumps(value))
        except Exception:
            return None
    return None


def check_call(qualname, func, params, args):
    before = [snapshot(a) for a in args]
    try:
        func(*args)
    except Exception as e:  # an ordinary exception is fine; SystemError never is
        assert not isinstance(e, SystemError), f"{qualname}: {e!r}"
        if not isinstance(e, (AssertionError, KeyError, StopIteration)):
            assert str(e), f"{qualname} raised {type(e).__name__} without a message"
    exempt = MAY_MODIFY.get(qualname, set())
    for name, value, old in zip(params, args, before):
        if name in exempt or name == "self" or old is None:
            continue
        assert snapshot(value) == old, f"{qualname} changed its argument {name}"


def self_for(qualname, draw):
    """A real instance for methods, sometimes junk (nothing checks self)."""
    cls_name = qualname.split(".")[0]
    img = np.zeros((12, 12), np.uint8)
    img[3:7, 4:9] = 255
    makers = {
        "NGRegion": lambda: qel_cv.NGRegion([1, 2, 3, 4], "d"),
        "CompareResult": lambda: qel_cv.CompareResult(img),
        "FittingCircle": lambda: qel_cv.FittingCircle([1.0, 5.0, 3.0], [2.0, 2.0, 6.0]),
        "CirclePeeler": lambda: qel_cv.CirclePeeler(img, 100),
        "ShiftComparator": lambda: qel_cv.ShiftComparator(img, 1, 10, 2),
    }
    if draw(st.integers(0, 4)) == 0 or cls_name not in makers:
        return draw(values)
    return makers[cls_name]()


@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::RuntimeWarning", "ignore::FutureWarning")
@pytest.mark.parametrize("qualname, func, params", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_fuzz_callable(qualname, func, params, fuzz_examples, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # debug images land here

    @settings(max_examples=fuzz_examples, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(st.data())
    def run(data):
        count = data.draw(st.sampled_from([len(params)] * 4 + [0, len(params) - 1, len(params) + 1]))
        args = []
        for i in range(max(count, 0)):
            name = params[i] if i < len(params) else "extra"
            if name == "self" and "." in qualname and i == 0:
                args.append(self_for(qualname, data.draw))
            else:
                args.append(data.draw(value_for(qualname, name)))
        check_call(qualname, func, params, args)

    run()


def test_fuzz_covers_the_whole_surface():
    names = {q for q, _, _ in CALLABLES}
    assert {"CompareResult.marked_image", "NGRegion.get_region", "CompareResult.ok"} <= names
    assert len(names) == len(CALLABLES)
    for _, func, params in CALLABLES:
        assert list(inspect.signature(func).parameters) == list(params)


NO_CHANNELS = np.zeros((2000, 2000, 0), np.uint8)
CONTOUR = np.array([[[1, 1]], [[5, 5]]], np.int32)


@pytest.mark.parametrize("call", [
    lambda a: qel_cv.translate(a, 1, 1),
    lambda a: qel_cv.translate_and_rotate(a, (1, 1), (2, 2), 3),
    lambda a: qel_cv.CirclePeeler(a, 3),
    lambda a: qel_cv.find_barcode_contours(a, (0, 0, 2000, 2000)),
    lambda a: qel_cv.rotate_correcting(a, [CONTOUR], 1.0, (0, 0, 5, 5)),
    lambda a: qel_cv.ShiftComparator(a, 1, 1, 1).compare(a, qel_cv.CompareResult(a)),
    lambda a: qel_cv.shift_compare_barcode(a, a, (0, 0, 2000, 2000), 1, 1, 1),
    lambda a: qel_cv.get_max_area_contour(a, 3),
    lambda a: qel_cv.extract_center_contours(a, 3),
    lambda a: qel_cv.rotate_to_make_edge_horizontal(a, CONTOUR),
], ids=["translate", "translate_and_rotate", "CirclePeeler", "find_barcode_contours", "rotate_correcting",
        "ShiftComparator", "shift_compare_barcode", "get_max_area_contour", "extract_center_contours",
        "rotate_to_make_edge_horizontal"])
def test_images_without_channels_are_refused_before_opencv_reads_them(call):
    # OpenCV takes such an array for 512 channels over an empty buffer.
    with pytest.raises(ValueError, match="empty channel axis"):
        call(NO_CHANNELS)


@pytest.mark.parametrize("image", [np.zeros((4000, 4000, 1, 0), np.uint8), np.zeros((4000, 4000, 0, 1), np.uint8),
                                   np.zeros((4000, 4000, 0, 3), np.uint8)], ids=["hw10", "hw01", "hw03"])
@pytest.mark.parametrize("call", [
    lambda a: qel_cv.extract_center_contours(a, 3),
    lambda a: qel_cv.get_max_area_contour(a, 3),
    lambda a: qel_cv.CirclePeeler(a, 3),
    lambda a: qel_cv.extract_poly(a, [[1, 1], [5, 1], [5, 5]]),
], ids=["extract_center_contours", "get_max_area_contour", "CirclePeeler", "extract_poly"])
def test_higher_dimensional_images_without_channels_are_refused(call, image):
    with pytest.raises(ValueError, match="empty channel axis"):
        call(image)


@pytest.mark.parametrize("poly", [np.zeros((1, 0, 2)), [np.zeros((0, 2))], np.zeros((0, 2), np.int32), []])
def test_polygons_without_points_cover_nothing(poly):
    image = np.full((5, 5), 9, np.uint8)
    out = qel_cv.extract_poly(image, poly)
    assert out.shape == image.shape and not out.any()


def test_peeling_skips_an_empty_stored_contour(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    image = np.zeros((30, 30), np.uint8)
    image[5:20, 5:20] = 255
    peeler = qel_cv.CirclePeeler(image, 10)
    peeler._CirclePeeler__contours = peeler._CirclePeeler__contours + [np.zeros((0, 1, 2), np.int32)]
    assert peeler.peel(1).radius > 0


@pytest.mark.parametrize("angle", [float("inf"), float("nan")])
def test_non_finite_rectangle_angle_is_refused(monkeypatch, angle):
    monkeypatch.setattr(cv2, "minAreaRect", lambda points: ((5.0, 5.0), (4.0, 2.0), angle), raising=True)
    with pytest.raises(ValueError, match="non-finite angle"):
        qel_cv.rotate_to_make_edge_horizontal(np.zeros((10, 10), np.uint8), CONTOUR)


@pytest.mark.parametrize("angle", [1e300, -1e300, 450.0, -100.0, -180.0, 90.0])
def test_huge_rectangle_angles_fold_without_looping(monkeypatch, angle):
    seen = []
    real = cv2.getRotationMatrix2D

    def spy(center, degree, scale):
        seen.append(degree)
        return real(center, degree, scale)

    monkeypatch.setattr(cv2, "minAreaRect", lambda points: ((5.0, 5.0), (4.0, 2.0), angle))
    monkeypatch.setattr(cv2, "getRotationMatrix2D", spy)
    qel_cv.rotate_to_make_edge_horizontal(np.zeros((10, 10), np.uint8), CONTOUR)
    assert len(seen) == 1


def test_profile_walk_refuses_columns_too_large_to_step():
    contour = np.array([[[2.0**53, 0]], [[2.0**53 + 2, 5]], [[2.0**53 + 4, 5]]])
    with pytest.raises(ValueError, match="too large to step by one"):
        qel_cv.calculate_contour_vertical_distances(contour)
