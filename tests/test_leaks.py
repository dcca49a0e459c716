"""Reference and memory checks: every public callable, called successfully and
unsuccessfully many times, leaves the process's live objects and traced memory
where they were.

Failing calls fail in the module or in numpy, never inside OpenCV: OpenCV's
own error path leaks a little memory on every raise."""
import collections
import gc
import json
import os
import tracemalloc

import cv2
import numpy as np
import pytest

import qel_cv
from conftest import skip_if_sanitized

SAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "samples")


def _print():
    with open(os.path.join(SAMPLES, "samples.json")) as f:
        meta = json.load(f)
    std = cv2.imread(os.path.join(SAMPLES, "standard.png"), cv2.IMREAD_GRAYSCALE)
    good = cv2.imread(os.path.join(SAMPLES, "good.png"), cv2.IMREAD_GRAYSCALE)
    return std, good, tuple(meta["aoi"])


STD, GOOD, AOI = _print()
GREY = np.zeros((40, 40), np.uint8)
GREY[10:30, 12:28] = 200
BARS, _ = qel_cv.find_barcode_contours(STD, AOI)
CONTOUR = max(cv2.findContours(GREY, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)[0], key=len)
POINTS = [(10.0 + 5 * np.cos(t), 4.0 + 5 * np.sin(t)) for t in np.linspace(0, 6, 30)]
RESULT = qel_cv.CompareResult(GREY)
COMPARATOR = qel_cv.ShiftComparator(GREY, 2, 50, 3)
FIT = qel_cv.FittingCircle(points=POINTS)
PEELER = qel_cv.CirclePeeler(GREY, 100)
REGION = qel_cv.NGRegion([1, 2, 3, 4], "d")
X = np.array([1.0, 5.0, 3.0])
Y = np.array([2.0, 2.0, 6.0])


def threshold_copy():
    return cv2.threshold(STD, 100, 255, cv2.THRESH_BINARY)[1]


# name: (successful call, failing call, rounds)
CASES = {
    "FittingCircle.__distance_square": (lambda: qel_cv.FittingCircle._FittingCircle__distance_square((1, 2), X, Y),
                                        lambda: qel_cv.FittingCircle._FittingCircle__distance_square((1,), X, Y), 2000),
    "FittingCircle.__error": (lambda: qel_cv.FittingCircle._FittingCircle__error((1, 2), X, Y),
                              lambda: qel_cv.FittingCircle._FittingCircle__error(1, 2), 2000),
    "FittingCircle": (lambda: qel_cv.FittingCircle(points=POINTS), lambda: qel_cv.FittingCircle([1], [1, 2]), 500),
    "FittingCircle.center/radius": (lambda: (FIT.center, FIT.radius),
                                    lambda: qel_cv.FittingCircle.center.fget(FIT, 1), 2000),
    "CirclePeeler": (lambda: qel_cv.CirclePeeler(GREY, 100, min_area=5), lambda: qel_cv.CirclePeeler(GREY), 1000),
    "CirclePeeler.peel": (lambda: PEELER.peel(1), lambda: PEELER.peel(), 200),
    "take_middle": (lambda: qel_cv.take_middle(GREY.copy(), 10, 100),
                    lambda: qel_cv.take_middle(np.array([1, None]), 0, 5), 2000),
    "take_min_or_max": (lambda: qel_cv.take_min_or_max(GREY.copy(), 10, 100), lambda: qel_cv.take_min_or_max(None, 1, 2),
                        2000),
    "take_min": (lambda: qel_cv.take_min(GREY.copy(), 10), lambda: qel_cv.take_min(GREY), 2000),
    "take_max": (lambda: qel_cv.take_max(GREY.copy(), 10), lambda: qel_cv.take_max(GREY, 1, 2), 2000),
    "template_match_point": (lambda: qel_cv.template_match_point(GREY, GREY[8:20, 8:20]),
                             lambda: qel_cv.template_match_point(GREY, GREY, threshold="x"), 1000),
    "get_max_area_contour": (lambda: qel_cv.get_max_area_contour(GREY, 100), lambda: qel_cv.get_max_area_contour(), 1000),
    "extract_poly": (lambda: qel_cv.extract_poly(GREY, [[1, 1], [20, 1], [20, 20]]),
                     lambda: qel_cv.extract_poly(GREY), 1000),
    "rotate_to_make_edge_horizontal": (lambda: qel_cv.rotate_to_make_edge_horizontal(GREY, CONTOUR),
                                       lambda: qel_cv.rotate_to_make_edge_horizontal(GREY), 1000),
    "contour profile": (lambda: qel_cv.calculate_contour_vertical_distances(CONTOUR, 1, 1),
                        lambda: qel_cv.calculate_contour_vertical_distances(CONTOUR, 0.5), 1000),
    "contour profile helpers": (
        lambda: (qel_cv._collect_contour_points_equal_x(CONTOUR, 14),
                 qel_cv._get_points_equal_x([[1, 2], [1, 5], [2, 3]], 1),
                 qel_cv._calculate_max_vertical_distance([[1, 2], [1, 5]])),
        lambda: qel_cv._get_points_equal_x([[1, 2]], 1, 5), 2000),
    "compare_image_difference": (lambda: qel_cv.compare_image_difference(GREY, GREY, 3),
                                 lambda: qel_cv.compare_image_difference(GREY, GREY[:5], 3), 2000),
    "translate": (lambda: qel_cv.translate(GREY, 2, 3), lambda: qel_cv.translate(GREY, 1), 2000),
    "translate_and_rotate": (lambda: qel_cv.translate_and_rotate(GREY, (5, 5), (6, 7), 10.0),
                             lambda: qel_cv.translate_and_rotate(GREY, (5, 5), (6, 7), "x"), 1000),
    "NGRegion": (lambda: (qel_cv.NGRegion([1, 2, 3, 4]).get_region(), REGION.get_desc()),
                 lambda: REGION.get_desc(1), 2000),
    "CompareResult": (lambda: (qel_cv.CompareResult(GREY).reset(GREY), RESULT.ok, RESULT.ng, RESULT.ng_count,
                               RESULT.original_image, RESULT.descriptions, RESULT.marked_image()),
                      lambda: RESULT.marked_image(5), 1000),
    "judges": (lambda: (qel_cv.contour_is_too_long(CONTOUR, (5,)), qel_cv.contour_is_too_big(CONTOUR, 10)),
               lambda: qel_cv.contour_is_too_big(CONTOUR, [1]), 2000),
    "ShiftComparator": (lambda: qel_cv.ShiftComparator(GREY, 2, 50, 3, step=2),
                        lambda: qel_cv.ShiftComparator(GREY, 2), 1000),
    "ShiftComparator descriptions": (lambda: setattr(COMPARATOR, "black_spot_desc", COMPARATOR.white_spot_desc),
                                     lambda: setattr(COMPARATOR, "white_spot_desc", 5), 2000),
    "ShiftComparator.compare": (lambda: COMPARATOR.compare(np.roll(GREY, 3, axis=1), qel_cv.CompareResult(GREY)),
                                lambda: COMPARATOR.compare(GREY[:5], RESULT), 500),
    "bar detection": (lambda: (qel_cv.find_barcode_contours(STD, AOI), qel_cv.bounding_rect_top(BARS[0]),
                               qel_cv.fill_threshold(BARS, threshold_copy(), AOI)),
                      lambda: qel_cv.find_barcode_contours(STD, AOI[:3]), 100),
    "rotation": (lambda: qel_cv.rotate_correcting(STD, BARS, qel_cv.find_rotate_degree(STD, AOI), AOI),
                 lambda: qel_cv.rotate_correcting(STD, [], 1.0, AOI), 50),
    "cmp_rect_after_rotate_correcting": (lambda: qel_cv.cmp_rect_after_rotate_correcting(STD, AOI),
                                         lambda: qel_cv.cmp_rect_after_rotate_correcting(STD, (1, 2)), 100),
    "shift_compare_barcode": (lambda: qel_cv.shift_compare_barcode(STD, GOOD, AOI, 2, 50, 6),
                              lambda: qel_cv.shift_compare_barcode(STD, GOOD, AOI, 2, 50), 20),
    "contour_to_point_list": (lambda: qel_cv.contour_to_point_list(CONTOUR), lambda: qel_cv.contour_to_point_list(5),
                              2000),
    "extract_center_contours": (lambda: qel_cv.extract_center_contours(GREY, 100, 2),
                                lambda: qel_cv.extract_center_contours(GREY, 100, 0), 1000),
}


def _live_objects():
    gc.collect()
    return collections.Counter(type(o).__name__ for o in gc.get_objects())


def test_every_callable_is_covered():
    from test_fuzz import CALLABLES
    # Each case names the callables it exercises in its key or in its calls' code.
    text = " ".join(CASES) + " " + " ".join(
        " ".join(fn.__code__.co_names) for good, bad, _ in CASES.values() for fn in (good, bad))
    for qualname, _, _ in CALLABLES:
        parts = qualname.replace(".fset", "").split(".")
        assert parts[-1].lstrip("_") in text or parts[0] in text, qualname


@skip_if_sanitized
@pytest.mark.parametrize("name", list(CASES))
def test_no_growth(name, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    good, bad, rounds = CASES[name]

    def once():
        good()
        with pytest.raises(Exception):
            bad()

    for _ in range(max(rounds // 10, 3)):
        once()
    before = _live_objects()
    tracemalloc.start()
    start, _ = tracemalloc.get_traced_memory()
    for _ in range(rounds):
        once()
        capsys.readouterr()
    end, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    after = _live_objects()
    # A leak grows with the number of rounds; caches filled once do not.
    grown = {k: after[k] - before[k] for k in after if after[k] - before[k] > rounds // 4}
    assert not grown, grown
    assert end - start < 256 * 1024
