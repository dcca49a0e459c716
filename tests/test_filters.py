"""Value-band filters: take_middle, take_min_or_max, take_min, take_max."""
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import qel_cv

DOC_MIDDLE = ("\n\t保留处于区间内（含区间端点）的值，将小于区间左端点，或大于区间右端点的值设为0。\n\t:param src: 源数组"
              "\n\t:param min_value: 区间左端点值\n\t:param max_value: 区间右端点值\n\t:return: 一组与源数据形状相同的数组\n\t")
DOC_MIN_OR_MAX = ("\n\t保留处于区间外（含区间端点）的值，将大于区间左端点，且小于区间右端点的值设为0。\n\t:param src: 源数组"
                  "\n\t:param min_value: 区间左端点值\n\t:param max_value: 区间右端点值\n\t:return: 一组与源数据形状相同的数组\n\t")


class Sub(np.ndarray):
    """Not an exact ndarray: the filters take their element-by-element path on it."""


FILTERS = [("take_middle", 2), ("take_min_or_max", 2), ("take_min", 1), ("take_max", 1)]  # name, band ends


# --- surface ------------------------------------------------------------------------------

@pytest.mark.parametrize("name, params, doc, line", [
    ("take_middle", ["src", "min_value", "max_value"], DOC_MIDDLE, 120),
    ("take_min_or_max", ["src", "min_value", "max_value"], DOC_MIN_OR_MAX, 140),
    ("take_min", ["src", "max_value"], None, 160),
    ("take_max", ["src", "min_value"], None, 170),
])
def test_surface(name, params, doc, line):
    f = getattr(qel_cv, name)
    assert f.__doc__ == doc
    assert f.__defaults__ is None
    assert f.__annotations__ == {"src": np.ndarray}
    code = f.__code__
    assert code.co_varnames == tuple(params) + ("img", "idx")
    assert code.co_argcount == len(params)
    assert code.co_firstlineno == line


# --- behaviour ------------------------------------------------------------------------------

def test_band_ends_are_kept():
    src = np.array([1, 2, 3, 4, 5, 6], np.uint8)
    assert qel_cv.take_middle(src.copy(), 2, 5).tolist() == [0, 2, 3, 4, 5, 0]
    assert qel_cv.take_min_or_max(src.copy(), 2, 5).tolist() == [1, 2, 0, 0, 5, 6]
    assert qel_cv.take_min(src.copy(), 4).tolist() == [1, 2, 3, 4, 0, 0]
    assert qel_cv.take_max(src.copy(), 4).tolist() == [0, 0, 0, 4, 5, 6]


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.float32, object])
def test_crossed_band(dtype):
    src = np.arange(10).astype(dtype)
    assert not qel_cv.take_middle(src.copy(), 7, 3).any()
    assert qel_cv.take_min_or_max(src.copy(), 7, 3).tolist() == src.tolist()
    assert qel_cv.take_min_or_max(src.copy(), 5, 5).tolist() == src.tolist()


def test_full_range_keeps_only_the_extremes():
    src = np.arange(256, dtype=np.uint8)
    out = qel_cv.take_min_or_max(src, 0, 255)
    assert np.flatnonzero(out).tolist() == [255] and out[0] == 0


def test_three_channels_are_filtered_value_by_value():
    src = np.array([[[10, 100, 200], [150, 50, 120]]], np.uint8)
    out = qel_cv.take_middle(src, 60, 160)
    assert out.shape == (1, 2, 3)
    assert out.tolist() == [[[0, 100, 0], [150, 0, 120]]]


@pytest.mark.parametrize("dtype", [np.uint8, np.float64, object])
def test_contiguous_input_is_changed_in_place(dtype):
    src = np.arange(24).reshape(2, 4, 3).astype(dtype)
    out = qel_cv.take_max(src, 12)
    assert out.shape == src.shape and out.dtype == src.dtype
    assert np.shares_memory(out, src)
    assert src.ravel().tolist() == [0] * 12 + list(range(12, 24))


@pytest.mark.parametrize("cut", [
    lambda a: a[2:5, 3:7],          # narrower than the image it was cut from
    lambda a: a[:, ::-1],           # columns reversed
    lambda a: a.T,                  # transposed
])
def test_non_contiguous_input_is_left_alone(cut):
    big = np.arange(100, dtype=np.uint8).reshape(10, 10)
    src = cut(big)
    before, big_before = src.copy(), big.copy()
    out = qel_cv.take_middle(src, 30, 60)
    assert np.array_equal(src, before) and np.array_equal(big, big_before)
    assert not np.shares_memory(out, big)
    assert np.array_equal(out, np.where((before < 30) | (before > 60), 0, before))


@pytest.mark.parametrize("shape", [(0,), (0, 3), (4, 0, 3), (0, 0)])
@pytest.mark.parametrize("name, nbounds", FILTERS)
def test_empty_arrays(shape, name, nbounds):
    src = np.zeros(shape, np.uint8)
    out = getattr(qel_cv, name)(src, *([5] * nbounds))
    assert out.shape == shape and out.dtype == np.uint8


def test_zero_dimensional_array():
    src = np.array(7, np.int32)
    out = qel_cv.take_min(src, 3)
    assert out.shape == () and int(out) == 0 and int(src) == 0


def test_readonly_input():
    src = np.arange(5, dtype=np.uint8)
    src.flags.writeable = False
    # nothing to zero: fine, and the result is a view of the input
    assert qel_cv.take_middle(src, 0, 10).tolist() == [0, 1, 2, 3, 4]
    with pytest.raises(ValueError, match="read-only"):
        qel_cv.take_middle(src, 1, 3)
    assert src.tolist() == [0, 1, 2, 3, 4]


def test_failure_part_way_keeps_the_zeroing_done_so_far():
    src = np.array([5, 1, "x", 0, 9], dtype=object)
    with pytest.raises(TypeError, match="not supported"):
        qel_cv.take_max(src, 3)
    assert src.tolist() == [5, 0, "x", 0, 9]


class Recorder:
    """A band end that logs each comparison an element makes with it."""

    def __init__(self, name, log, value):
        self.name, self.log, self.value = name, log, value

    def __gt__(self, v):   # v < self
        self.log.append((self.name, "v<", v))
        return v < self.value

    def __lt__(self, v):   # v > self
        self.log.append((self.name, "v>", v))
        return v > self.value


class CountingReads(np.ndarray):
    reads = 0

    def __getitem__(self, key):
        type(self).reads += 1
        return super().__getitem__(key)


def test_take_middle_order_of_evaluation():
    log = []
    src = np.array([1, 5, 9], dtype=object).view(CountingReads)
    CountingReads.reads = 0
    qel_cv.take_middle(src, Recorder("lo", log, 3), Recorder("hi", log, 7))
    # second comparison only when the first fails; the element is read again for it
    assert log == [("lo", "v<", 1), ("lo", "v<", 5), ("hi", "v>", 5), ("lo", "v<", 9), ("hi", "v>", 9)]
    assert CountingReads.reads == 5
    assert np.asarray(src).tolist() == [0, 5, 0]


def test_take_min_or_max_chained_comparison():
    log = []

    class Lo(Recorder):
        def __lt__(self, v):   # self < v, the chain's first comparison
            self.log.append((self.name, "<v", v))
            return self.value < v

    src = np.array([1, 5, 9], dtype=object).view(CountingReads)
    CountingReads.reads = 0
    qel_cv.take_min_or_max(src, Lo("lo", log, 3), Recorder("hi", log, 7))
    assert log == [("lo", "<v", 1), ("lo", "<v", 5), ("hi", "v<", 5), ("lo", "<v", 9), ("hi", "v<", 9)]
    assert CountingReads.reads == 3
    assert np.asarray(src).tolist() == [1, 0, 9]


# --- native path against the element-by-element path --------------------------------

DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
          np.float16, np.float32, np.float64]

# Cases where numpy's scalar comparison is not plain arithmetic, or the end is
# not a plain int/float: each must come out exactly as the element loop does.
TRICKY = [
    (np.uint8, [0, 5, 255], -1, 300),
    (np.uint32, [0, 2**32 - 1], -2**40, 2**33),
    (np.int8, [-128, 0, 127], -129, 128),
    (np.int8, [99, 100, 101], 99.99999999, 100.00000001),
    (np.int16, [1, 2], 1.00000001, 1.99999999),
    (np.int64, [2**63 - 1, -2**63, 2**62 + 1], -2**63, 2**62),
    (np.int64, [2**53 + 1, 2**53], 2.0**53, 2.0**53),        # numpy rounds the element to float64
    (np.int64, [5], 2**63, 2**70),                            # end beyond int64
    (np.uint64, [2**60 + 1, 2**60], 2**60, 2**60),            # numpy compares through float64
    (np.uint64, [2**64 - 1, 0], -1, 2**64 - 2),
    (np.float32, [0.1, 0.2], 0.1, 0.2),
    (np.float32, [16777216.0], 16777217, 16777217),
    (np.float64, [2.0**53], 2**53 + 1, 2**53 + 1),            # numpy rounds the end to float64
    (np.float64, [np.nan, 1.0, -np.inf, np.inf], 0.0, 2.0),
    (np.float64, [1.0, 2.0], float("nan"), float("nan")),
    (np.float16, [0.1, 65504], 0.1, 65504),
    (np.bool_, [True, False], 0, 1),
    (np.bool_, [True, False], True, 0.5),
    (np.uint8, [1, 2, 3], True, False),
    (np.float64, [1.5, 2.5], np.float64(2.0), np.int64(2)),
]


@pytest.mark.parametrize("dtype, values, lo, hi", TRICKY)
@pytest.mark.parametrize("name, nbounds", FILTERS)
def test_tricky_cases_match_the_element_loop(dtype, values, lo, hi, name, nbounds):
    src = np.array(values, dtype)
    ends = (lo, hi) if nbounds == 2 else ((hi,) if name == "take_min" else (lo,))
    expected = np.asarray(getattr(qel_cv, name)(src.copy().view(Sub), *ends))
    got = getattr(qel_cv, name)(src, *ends)
    assert got.dtype == expected.dtype and got.tobytes() == expected.tobytes()


def outcome(f, src, ends):
    """(result bytes, whether it shares src's storage, src afterwards) or the error."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            out = f(src, *ends)
        except Exception as e:  # both paths must fail alike
            return ("error", type(e), str(e), np.asarray(src).tobytes())
    return (np.asarray(out).dtype, out.shape, np.asarray(out).tobytes(), np.shares_memory(out, src),
            np.asarray(src).tobytes())


LAYOUTS = {
    "contiguous": lambda a: a,
    "cut": lambda a: a[1:, 1:] if a.ndim == 2 else a[1:],
    "reversed": lambda a: a[::-1],
    "strided": lambda a: a[::2],
    "transposed": lambda a: a.T,
    "empty": lambda a: a[:0],
}


@st.composite
def band_case(draw):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    shape = draw(st.sampled_from([(7,), (3, 5), (4, 3, 3), (2, 6)]))
    n = int(np.prod(shape))
    raw = draw(st.binary(min_size=n * dtype.itemsize, max_size=n * dtype.itemsize))
    base = np.frombuffer(raw, dtype=np.uint8).view(dtype).reshape(shape).copy() if dtype != np.bool_ \
        else np.frombuffer(raw, dtype=np.uint8).astype(bool).reshape(shape)
    values = base.ravel().tolist()
    near = st.sampled_from(values) if values else st.just(0)

    def end():
        return st.one_of(
            st.integers(-300, 300), st.integers(-2**64, 2**64),
            st.sampled_from([2**53, 2**53 + 1, -2**53 - 1, 2**63 - 1, -2**63, 2**63, 2**64 - 1]),
            st.floats(allow_nan=True, allow_infinity=True), st.floats(-300, 300),
            near.map(lambda v: v), near.map(lambda v: float(v) + 1e-9 if not isinstance(v, bool) else v),
        )
    lo, hi = draw(end()), draw(end())
    layout = draw(st.sampled_from(sorted(LAYOUTS)))
    return base, layout, lo, hi


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=band_case(), which=st.sampled_from(FILTERS))
def test_native_path_matches_element_loop(case, which):
    base, layout, lo, hi = case
    name, nbounds = which
    f = getattr(qel_cv, name)
    ends = (lo, hi) if nbounds == 2 else ((hi,) if name == "take_min" else (lo,))
    fast_base = base.copy()
    slow_base = base.copy().view(Sub)
    fast = outcome(f, LAYOUTS[layout](fast_base), ends)
    slow = outcome(f, LAYOUTS[layout](slow_base), ends)
    assert fast == slow
    assert fast_base.tobytes() == np.asarray(slow_base).tobytes()


@settings(max_examples=60, deadline=None)
@given(values=st.lists(st.integers(-2**31, 2**31 - 1), max_size=20), lo=st.integers(-2**40, 2**40),
       hi=st.integers(-2**40, 2**40))
def test_int_subclass_end_gives_the_same_result(values, lo, hi):
    class I(int):
        pass
    src = np.array(values, np.int32)
    assert np.array_equal(qel_cv.take_middle(src.copy(), lo, hi), qel_cv.take_middle(src.copy(), I(lo), I(hi)))


def test_no_reference_leak():
    src = np.arange(1000, dtype=np.uint8)
    lo, hi = 10**30, 10**31    # not held elsewhere
    before = (sys.getrefcount(src), sys.getrefcount(lo), sys.getrefcount(hi))
    for _ in range(50):
        qel_cv.take_middle(src, lo, hi)
        qel_cv.take_min_or_max(src.view(Sub), lo, hi)
    assert (sys.getrefcount(src), sys.getrefcount(lo), sys.getrefcount(hi)) == before


@pytest.mark.parametrize("dtype, bits", [(np.float32, b"\x00\x00\x97\x7f"), (np.float64, b"\x01\x00\x00\x00\x00\x00\xf0\x7f")])
def test_signalling_nan_takes_the_path_that_warns_as_numpy_does(dtype, bits):
    src = np.zeros(5, dtype)
    src[2] = np.frombuffer(bits, dtype)[0]
    with warnings.catch_warnings(record=True) as fast_warnings:
        warnings.simplefilter("always")
        fast = qel_cv.take_middle(src.copy(), 0, 0)
    with warnings.catch_warnings(record=True) as slow_warnings:
        warnings.simplefilter("always")
        slow = qel_cv.take_middle(src.copy().view(Sub), 0, 0)
    assert fast.tobytes() == np.asarray(slow).tobytes()
    assert [str(w.message) for w in fast_warnings] == [str(w.message) for w in slow_warnings]
