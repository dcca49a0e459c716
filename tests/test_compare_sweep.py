"""ShiftComparator.compare with both passes' masks from one sweep: whatever the
inputs, and whatever runs between the passes, the regions must be exactly
those of the two passes run as written (the generic path)."""
import threading

import cv2
import numpy as np
import pytest

import qel_cv
from test_compare import force_generic, peak_bytes, regions

FIND_CONTOURS = cv2.findContours


def both_ways(monkeypatch, work):
    """work() on the fast path, then with every native path disabled."""
    fast = work()
    with monkeypatch.context() as m:
        force_generic(m)
        return fast, work()


def run(comparator, tgt):
    result = qel_cv.CompareResult(None)
    comparator.compare(tgt, result)
    return regions(result)


def textured(rng, h, w):
    noise = rng.integers(0, 256, (h, w), dtype=np.uint8)
    return cv2.normalize(cv2.GaussianBlur(noise, (0, 0), 1.5), None, 0, 255, cv2.NORM_MINMAX)


def make_target(rng, std, kind):
    h, w = std.shape
    tgt = std.astype(np.int32)
    if kind == "shifted":
        tgt = np.roll(tgt, (rng.integers(-2, 3), rng.integers(-2, 3)), axis=(0, 1)) + rng.integers(-10, 11, (h, w))
    elif kind == "blobs":
        for _ in range(rng.integers(1, 5)):
            y, x = rng.integers(0, h), rng.integers(0, w)
            tgt[y:y + rng.integers(1, 6), x:x + rng.integers(1, 6)] += rng.choice([-1, 1]) * rng.integers(60, 200)
    return np.clip(tgt, 0, 255).astype(np.uint8)


def laid_out(rng, image, layout):
    if layout == "strided":    # junk between the pixels a wrong stride would read
        big = rng.integers(0, 256, (2 * image.shape[0], 3 * image.shape[1])).astype(image.dtype)
        big[::2, ::3] = image
        return big[::2, ::3]
    return {"transposed": lambda: np.ascontiguousarray(image.T).T, "fortran": lambda: np.asfortranarray(image),
            "packed": lambda: image}[layout]()


# threshold, max_shift, step, slope, with cmp_region, judge, judge_parameter
SETTINGS = [
    (30, 0, 1, True, False, qel_cv.contour_is_too_long, 1),
    (30, 1, 1, False, False, qel_cv.contour_is_too_long, [2]),
    (0, 2, 1, True, True, qel_cv.contour_is_too_big, 0.0),
    (-25, 2, 2, True, False, qel_cv.contour_is_too_long, 1),
    (60, 5, 1, True, True, qel_cv.contour_is_too_long, (1, 9)),
    (40, 5, -1, True, False, qel_cv.contour_is_too_long, 1),
    (-1, 5, 2, False, True, lambda cnt, p: len(cnt) % 3 != p, 1),    # a Python judge
]


@pytest.mark.parametrize("tgt_dtype", [np.uint8, np.int16])
@pytest.mark.parametrize("layout", ["packed", "strided", "transposed", "fortran"])
@pytest.mark.parametrize("kind", ["shifted", "blobs", "identical"])
@pytest.mark.parametrize("shape", [(1, 37), (41, 1), (3, 7), (65, 129)])
def test_random_pairs_agree(monkeypatch, shape, kind, layout, tgt_dtype):
    h, w = shape
    rng = np.random.default_rng([h, w, len(kind), len(layout), np.dtype(tgt_dtype).itemsize])
    std8 = textured(rng, h, w)
    tgt8 = make_target(rng, std8, kind)
    # The comparator keeps an int16 standard as given: give it the other dtype.
    std = laid_out(rng, std8.astype(np.uint8 if tgt_dtype is np.int16 else np.int16), layout)
    tgt = laid_out(rng, tgt8.astype(tgt_dtype), layout)
    before = (std.copy(), tgt.copy())
    for threshold, max_shift, step, slope, region, judge, parameter in SETTINGS:
        cmp_region = (w // 4, h // 5, w - w // 3, h + 3) if region else None
        fast, generic = both_ways(monkeypatch, lambda: run(qel_cv.ShiftComparator(
            std, max_shift, threshold, parameter, judge, slope=slope, step=step, cmp_region=cmp_region), tgt))
        assert fast == generic, (threshold, max_shift, step, slope, cmp_region)
    assert np.array_equal(std, before[0]) and np.array_equal(tgt, before[1])


def test_sweep_over_several_stretches_agrees(monkeypatch):
    # So many trial shifts that the sweep gives the GIL back between row stretches.
    rng = np.random.default_rng(11)
    std = textured(rng, 600, 512)
    tgt = make_target(rng, std, "shifted")
    tgt[300:330, 200:260] = 0
    fast, generic = both_ways(monkeypatch, lambda: run(qel_cv.ShiftComparator(std, 100, 12, 1), tgt))
    assert fast == generic and fast


def square_pair(tgt_dtype=np.uint8):
    std = np.full((60, 60), 100, np.uint8)
    std[10:20, 10:30] = 250
    tgt = np.full((60, 60), 100, np.uint8)
    tgt[40:50, 40:50] = 250    # the one white spot
    tgt[25:31, 2:8] = 0
    return std, tgt.astype(tgt_dtype)


def sweeps():
    """Whether compare skips the int16 copy of a uint8 target, as only the sweep does."""
    std, tgt = (np.kron(a, np.ones((10, 10), np.uint8)) for a in square_pair())
    c = qel_cv.ShiftComparator(std, 2, 50, 1)
    c.compare(tgt, qel_cv.CompareResult(None))    # fills the mask pool
    return peak_bytes(lambda: c.compare(tgt, qel_cv.CompareResult(None))) < tgt.size


def test_fast_path_is_taken_only_under_its_guards(monkeypatch):
    assert sweeps()
    with monkeypatch.context() as m:
        force_generic(m)
        assert not sweeps()
    assert sweeps()


@pytest.mark.parametrize("tgt_dtype", [np.uint8, np.int16])
@pytest.mark.parametrize("width, parameter, exc", [
    (59, 1, ValueError), (61, 1, ValueError),    # same height: only the width says the rows do not line up
    (60, [], IndexError), (60, (), IndexError),  # the stock judge reads a sequence's first item
])
def test_errors_of_the_written_passes(monkeypatch, width, parameter, exc, tgt_dtype):
    """A target of another width fails where the written comparison fails; an empty judge
    parameter raises at the first dark spot, before any region is reported."""
    std = square_pair()[0]
    tgt = np.pad(square_pair(tgt_dtype)[1], ((0, 0), (0, 1)), mode="edge")[:, :width]

    def work():
        result = qel_cv.CompareResult(None)
        with pytest.raises(exc) as info:
            qel_cv.ShiftComparator(std, 1, 50, parameter).compare(tgt, result)
        return str(info.value), regions(result)

    fast, generic = both_ways(monkeypatch, work)
    assert fast == generic and fast[1] == []


# --- what runs between the passes -----------------------------------------------------------


CHANGES = ["translate", "compare_image_difference", "threshold", "target", "std_threshold", "target, translate"]
def change_between_passes(change, comparator, image, m, calls):
    """Each change hides the white spot, or counts the second pass's calls."""
    if "target" in change:
        image[40:50, 40:50] = 100
    if change == "std_threshold":
        comparator.std_threshold[40:50, 40:50] = 250
    if change == "threshold":
        comparator.threshold = 200
    for name in ("translate", "compare_image_difference"):
        if name in change:
            m.setattr(qel_cv, name, lambda *a, f=getattr(qel_cv, name): calls.append(1) or f(*a))


@pytest.mark.parametrize("hook, change, tgt_dtype, region", [
    (hook, change, dtype, region)
    for hook in ["judge", "findContours"] for change in CHANGES for dtype in [np.uint8, np.int16]
    for region in [None, (0, 0, 60, 60)]])
def test_changes_between_the_passes(monkeypatch, hook, change, tgt_dtype, region):
    """Python code run by the first pass (a judge, or a rebound findContours with the
    module's own judge) changes what the second pass, run as written, sees."""
    std, tgt = square_pair(tgt_dtype)
    baseline = run(qel_cv.ShiftComparator(std, 2, 50, 1, cmp_region=region), tgt)

    def work():
        image, calls = tgt.copy(), []
        c = qel_cv.ShiftComparator(std, 2, 50, 1, cmp_region=region)
        with monkeypatch.context() as m:
            def once():
                if not calls:
                    calls.append(1)
                    change_between_passes(change, c, image, m, calls)
            if hook == "judge":
                c._ShiftComparator__judge = lambda cnt, p: once() or True
            else:
                m.setattr(qel_cv._cv, "findContours", lambda *a: once() or FIND_CONTOURS(*a))
            return run(c, image), len(calls)

    fast, generic = both_ways(monkeypatch, work)
    assert fast == generic
    assert (fast[1] > 1) is (change not in ("threshold", "target", "std_threshold"))
    # The second pass reads the int16 copy taken before the first (an int16 target is its own copy).
    hidden = change == "threshold" or region is None and (
        change == "std_threshold" or "target" in change and tgt_dtype is np.int16)
    assert (fast[0] != baseline) is hidden


# --- changes to the class --------------------------------------------------------------------


@pytest.mark.parametrize("tgt_dtype", [np.uint8, np.int16])
@pytest.mark.parametrize("how", ["patched", "subclass", "property"])
def test_class_changes_are_followed_and_undone(monkeypatch, how, tgt_dtype):
    std, tgt = square_pair(tgt_dtype)
    baseline = run(qel_cv.ShiftComparator(std, 2, 50, 1), tgt)
    seen, original, cls = [], qel_cv.ShiftComparator._do_compare_image_with_shift, qel_cv.ShiftComparator

    def wrapper(self, std_threshold, tgt_threshold, parameter, desc, result):
        seen.append((std_threshold.dtype, tgt_threshold.dtype, desc))
        return original(self, std_threshold, tgt_threshold, parameter, desc, result)

    if how == "subclass":
        cls = type("Sub", (cls,), {"_do_compare_image_with_shift": wrapper})
    elif how == "patched":
        monkeypatch.setattr(cls, "_do_compare_image_with_shift", wrapper)
    else:
        monkeypatch.setattr(cls, "black_spot_desc", property(lambda self: "dark"))
    if how == "property":
        assert run(cls(std, 2, 50, 1), tgt) == [(r, d.replace("black spot", "dark")) for r, d in baseline]
    else:    # a pass written in Python gets the arrays as written: both int16
        assert run(cls(std, 2, 50, 1), tgt) == baseline
        assert seen == [(np.int16, np.int16, "black spot"), (np.int16, np.int16, "white spot")]
    monkeypatch.undo()
    assert run(qel_cv.ShiftComparator(std, 2, 50, 1), tgt) == baseline and sweeps()


# --- the empty-mask skip and the mask pool -------------------------------------------------


@pytest.mark.parametrize("region", [None, (3, 3, 50, 40)])
@pytest.mark.parametrize("kind", ["identical", "lighter only", "darker only"])
def test_rebound_contour_search_sees_every_mask(monkeypatch, kind, region):
    std = square_pair()[0]
    tgt = std.copy()
    if kind != "identical":
        tgt[30:35, 30:36] = 250 if kind == "lighter only" else 0

    def work():
        masks = []
        with monkeypatch.context() as m:
            m.setattr(qel_cv._cv, "findContours", lambda mask, *a: masks.append(mask.copy()) or FIND_CONTOURS(mask, *a))
            return run(qel_cv.ShiftComparator(std, 1, 50, 1, cmp_region=region), tgt), masks

    fast, generic = both_ways(monkeypatch, work)
    assert fast[0] == generic[0] and len(fast[1]) == len(generic[1]) == 2
    assert all(a.dtype == b.dtype == np.uint8 and np.array_equal(a, b) for a, b in zip(fast[1], generic[1]))


@pytest.mark.parametrize("judge", [qel_cv.contour_is_too_long, "keeping"])
def test_masks_and_contours_handed_out_stay_as_they_were(monkeypatch, judge):
    rng = np.random.default_rng(5)
    kept = []
    if judge == "keeping":
        judge = lambda cnt, p: kept.append((cnt, cnt.copy())) or True
    monkeypatch.setattr(qel_cv._cv, "findContours", lambda mask, *a: kept.append((mask, mask.copy())) or
                        FIND_CONTOURS(mask, *a))
    for h, w in [(40, 50), (40, 50), (50, 40), (40, 50), (7, 3), (40, 50)]:
        std = textured(rng, h, w)
        run(qel_cv.ShiftComparator(std, 1, 20, 1, judge), make_target(rng, std, "blobs"))
    assert len(kept) >= 12 and any(a.any() for a, _ in kept)
    assert all(np.array_equal(a, b) for a, b in kept)


def test_pooled_masks_after_other_sizes_and_contents(monkeypatch):
    rng = np.random.default_rng(8)
    cases = []
    for i, (h, w) in enumerate([(30, 40), (30, 40), (40, 30), (1, 40), (30, 40), (40, 30), (30, 40)]):
        std = textured(rng, h, w)
        cases.append((std, make_target(rng, std, ["shifted", "blobs", "identical"][i % 3]), i % 2))
    # Each mask comes back from the pool holding another pair's pixels.
    work = lambda: [run(qel_cv.ShiftComparator(s, shift, 20, 1), t) for s, t, shift in cases + cases[::-1]]
    fast, generic = both_ways(monkeypatch, work)
    assert fast == generic


def test_judge_raising_or_comparing_in_the_first_pass(monkeypatch):
    std, tgt = square_pair()
    tgt[2:8, 50:56] = 0    # a third black spot
    other = make_target(np.random.default_rng(2), std, "blobs")

    def work():
        calls = []

        def judge(cnt, parameter):    # a nested compare of the same size, then an error
            calls.append(run(qel_cv.ShiftComparator(std, 1, 20, 1), other))
            if len(calls) == 2:
                raise KeyError("second")
            return True
        result = qel_cv.CompareResult(None)
        with pytest.raises(KeyError):
            qel_cv.ShiftComparator(std, 2, 50, 1, judge).compare(tgt, result)
        return regions(result), calls, run(qel_cv.ShiftComparator(std, 2, 50, 1), tgt)

    fast, generic = both_ways(monkeypatch, work)
    assert fast == generic
    assert len(fast[0]) == 1 and len(fast[2]) == 4


def test_threads_get_the_sequential_results():
    rng = np.random.default_rng(21)
    jobs = []
    for h, w in [(240, 320), (240, 320), (90, 70)]:
        std = textured(rng, h, w)
        comparator = qel_cv.ShiftComparator(std, 2, 25, 1)
        jobs += [(comparator, make_target(rng, std, kind)) for kind in ("shifted", "blobs")]
    expected = [run(c, t) for c, t in jobs]
    got = [[] for _ in jobs]
    barrier = threading.Barrier(len(jobs))

    def worker(i):
        barrier.wait()
        got[i] += [run(*jobs[i]) for _ in range(10)]

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == [[e] * 10 for e in expected] and any(expected)


@pytest.mark.parametrize("seed", range(4))
def test_far_apart_defects_keep_their_order(monkeypatch, seed):
    # Defects in bands of rows far apart, several side by side in a band, some touching the edges.
    rng = np.random.default_rng(seed)
    std = textured(rng, 480, 640)
    tgt = std.copy()
    for y in rng.choice([0, 40, 200, 205, 300, 470], 4, replace=False):
        for x in rng.choice([0, 30, 50, 400, 630], 3, replace=False):
            tgt[y:y + rng.integers(3, 12), x:x + rng.integers(3, 12)] = rng.choice([0, 255])
    fast, generic = both_ways(monkeypatch, lambda: run(qel_cv.ShiftComparator(std, 1, 40, 1), tgt))
    assert fast == generic and len(fast) > 6


@pytest.mark.parametrize("seed", range(6))
def test_scattered_defects_keep_their_order(monkeypatch, seed):
    # Many small defects, in clusters and alone, nested rings and pixels on the edges: the
    # contour search runs on tiles cut along empty rows and columns, merged back in order.
    rng = np.random.default_rng(100 + seed)
    std = textured(rng, 300, 400)
    tgt = std.copy()
    for _ in range(rng.integers(5, 60)):
        y, x = rng.integers(0, 300), rng.integers(0, 400)
        tgt[y:y + rng.integers(1, 7), x:x + rng.integers(1, 7)] = rng.choice([0, 255])
    tgt[150:170, 200:220] = 0
    tgt[155:165, 205:215] = std[155:165, 205:215]       # a ring around a hole
    tgt[[0, 299], [0, 399]] = 255 - tgt[[0, 299], [0, 399]]
    fast, generic = both_ways(monkeypatch, lambda: run(qel_cv.ShiftComparator(std, 1, 40, 1), tgt))
    assert fast == generic and len(fast) > 4


def test_baseline_kernels_agree_too():
    """Where the processor has wider vectors the sweeps use them; the baseline build must give
    the written results as well."""
    import os
    import subprocess
    import sys
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, QEL_CV_KERNELS="baseline")
    tests = [os.path.join(here, "test_compare_sweep.py") + "::" + name for name in (
        "test_random_pairs_agree", "test_scattered_defects_keep_their_order", "test_far_apart_defects_keep_their_order",
        "test_sweep_over_several_stretches_agrees")]
    tests.append(os.path.join(here, "test_compare.py") + "::test_native_and_generic_agree")
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *tests],
                          env=env, cwd=os.path.dirname(here), capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-2000:]
    assert " passed" in done.stdout.splitlines()[-1]


def test_found_contours_are_measured_as_the_library_measures_them(monkeypatch):
    """While `_cv.boundingRect` is the original, a found contour's rectangle is measured in place;
    rebound, it is called for every contour (by the judge and for the region), with the same results."""
    rng = np.random.default_rng(7)
    std = textured(rng, 200, 300)
    tgt = std.copy()
    for _ in range(25):
        y, x = rng.integers(0, 200), rng.integers(0, 300)
        tgt[y:y + rng.integers(1, 9), x:x + rng.integers(1, 9)] = rng.choice([0, 255])
    measured = lambda: run(qel_cv.ShiftComparator(std, 1, 40, 2), tgt)
    inplace = measured()
    calls = []
    real = cv2.boundingRect
    with monkeypatch.context() as m:
        m.setattr(qel_cv._cv, "boundingRect", lambda points: calls.append(1) or real(points))
        assert measured() == inplace and len(inplace) > 5
    assert len(calls) >= 2 * len(inplace)
    # In place or through the library, the judge answers (or fails) alike.
    points = rng.integers(-40, 4000, (301, 1, 2)).astype(np.int32)

    def judged(p, length):
        try:
            return qel_cv.contour_is_too_long(p, length)
        except cv2.error as e:
            return type(e)

    for p in (points, points[::3], points.reshape(-1, 2), points.astype(np.float32), points[:1], points[:, :, :1]):
        for length in (1, 7, 500, 5000):
            inplace = judged(p, length)
            with monkeypatch.context() as m:
                m.setattr(qel_cv._cv, "boundingRect", lambda points: real(points))
                assert judged(p, length) == inplace
