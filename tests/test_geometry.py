"""Contour and pixel utilities: largest contour and polygon masking, vertical
profile, centre region, edge-horizontal rotation."""
import contextlib
import sys
from typing import List, Sequence, Tuple

import cv2
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import plain
import qel_cv
from test_compare import peak_bytes


def outer_contours(img, method=cv2.CHAIN_APPROX_NONE):
    found = cv2.findContours(img, cv2.RETR_EXTERNAL, method)
    return list(found[-2])


def filled_rect_contour(x0, y0, x1, y1, size=(60, 60)):
    img = np.zeros(size, np.uint8)
    cv2.rectangle(img, (x0, y0), (x1, y1), 255, -1)
    return outer_contours(img)[0]


# --- surface ------------------------------------------------------------------------------

SURFACE = [
    # name, parameters, defaults, annotations, locals, line
    ("get_max_area_contour", ["image", "threshold", "threshold_type", "pre_erode", "dilate", "post_erode"],
     (None, cv2.THRESH_BINARY, 0, 0, 0),
     {"image": np.ndarray, "threshold_type": "int", "pre_erode": "int", "dilate": "int", "post_erode": "int"},
     ["_thd", "kernel", "max_area", "max_cnt", "_img", "cnts", "_hierarchy", "cnt", "area"], 230),
    ("extract_poly", ["image", "poly", "outer_value"], (0,),
     {"image": np.ndarray, "poly": Sequence[Sequence[int]], "return": np.ndarray},
     ["shape", "max_value", "zeros", "pts", "frame"], 260),
    ("rotate_to_make_edge_horizontal", ["image", "contour", "use_long_edge"], (True,),
     {"image": np.ndarray, "use_long_edge": bool},
     ["min_rect", "cur_height", "cur_width", "center_x", "center_y", "angle", "width", "height",
      "rotate_matrix", "rotated"], 280),
    ("_collect_contour_points_equal_x", ["contour", "x"], None, {"x": "int", "return": List[int]},
     ["points", "row", "item"], 320),
    ("_get_points_equal_x", ["points", "x", "pos_tip"], (0,),
     {"points": List[Sequence[int]], "x": "int", "pos_tip": "int",
      "return": Tuple[List[Sequence[int]], int]}, ["results", "idx", "max_idx"], 340),
    ("_calculate_max_vertical_distance", ["points"], None,
     {"points": Sequence[Sequence[int]], "return": "int"}, ["max_y", "min_y", "x", "y"], 360),
    ("calculate_contour_vertical_distances", ["contour", "head_off", "tail_off"], (0, 0),
     {"head_off": "int", "tail_off": "int"},
     ["leftmost", "rightmost", "min_x", "max_x", "begin", "end", "distances", "x", "all_points", "row",
      "point", "pos_tip", "points", "distance"], 380),
    ("contour_to_point_list", ["cnt"], None, {"cnt": List[List[List[int]]], "return": List[List[int]]},
     ["point_list", "point"], 920),
    ("extract_center_contours", ["src", "thresh", "step", "flag"], (1, cv2.THRESH_BINARY),
     {"src": np.ndarray, "thresh": "int", "step": "int", "flag": "int", "return": List},
     ["_th", "bin_img", "_a", "cnts", "_h", "last_cnts", "kernel", "first", "h", "w"], 940),
]

DOCS = {
    "get_max_area_contour": None,
    "_get_points_equal_x": None,
    "extract_poly": "\n\t从一张图片中抽取指定的区域，这个区域是一个由多个点确定的多边形。\n\t处于多边形内的点，值保持不变；"
                    "处于多边形外的点，值变为0（或者是由 outer_value 指定的值）。\n\t:param image: 源图片\n\t"
                    ":param poly: 由多个点对（x, y）作为元素的序列\n\t:param outer_value: 多边形外的点将被设为的值，"
                    "default = 0\n\t:return: 新的图片\n\t",
    "contour_to_point_list": "\n\t把一个轮廓（注意，是一个轮廓，不是从 findContours 返回的轮廓的列表）数据转换为可传递给 "
                             "extract_poly 的点列表。\n\t:param cnt: 一个轮廓数据\n\t:return: 轮廓上的点所构成的列表\n\t",
    "rotate_to_make_edge_horizontal": "\n\t旋转给定的图片和图片上找到的一个轮廓，使得旋转后的新轮廓最小外接矩形长边（或短边）"
                                      "与 X 轴平行。\n\t:param image: 给定的图片\n\t:param contour: 给定图片上的一个轮廓\n\t"
                                      ":param use_long_edge: True 意味着要长边与 X 轴平行，否则是要短边与 X 轴平行\n\t"
                                      ":return: 旋转后的图片\n\t",
    "_collect_contour_points_equal_x": "\n\t收集一个轮廓数据中所有符合以下条件的点：x 坐标值等于参数 x\n\t"
                                       ":param contour: 一个轮廓数据\n\t:param x: 目标 x 坐标\n\t"
                                       ":return: 所有符合条件的点组成的列表\n\t",
    "_calculate_max_vertical_distance": "\n\t计算给定的所有点之间垂直距离的最大值\n\t:param points: 给定的所有的点\n\t"
                                        ":return: 这些点之间垂直距离的最大值\n\t",
    "calculate_contour_vertical_distances": "\n\t计算给定的一个轮廓所有垂直切面的高度。\n\t"
                                            ":param contour: 一个轮廓数据，内含轮廓的所有点\n\t"
                                            ":param head_off: 去除最左边的部分；默认完全不去除\n\t"
                                            ":param tail_off: 去除最右边的部分；默认完全不去除\n\t"
                                            ":return: 包含两个元素的元组。第一个元素是一个包含两个元素的元组，横坐标的"
                                            "最小与最大值；第二个元素是各个横坐标对应的切面高度组成的列表\n\t",
    "extract_center_contours": "\n\t找到一片区域的几何中心信息。这些信息包括位置、值。如果有多个大小不一的区域，只会返回最大"
                               "那个（些）区域的信息。\n\t:param src: 源图片数据\n\t:param thresh: 划分区域的阈值\n\t"
                               ":param step: 步长，默认为 1\n\t:param flag: 二值化方法的类型，通常时 cv2.THRESH_BINARY 或 "
                               "cv2.THRESH_BINARY_INV。\n\t:return: 区域中心的信息。由于可能有多个区域，返回的是一个列表\n\t",
}


@pytest.mark.parametrize("name, params, defaults, annotations, local_names, line", SURFACE,
                         ids=[s[0] for s in SURFACE])
def test_surface(name, params, defaults, annotations, local_names, line):
    f = getattr(qel_cv, name)
    assert f.__defaults__ == defaults
    assert f.__annotations__ == annotations
    assert f.__doc__ == DOCS[name]
    assert f.__code__.co_varnames == tuple(params + local_names)
    assert f.__code__.co_argcount == len(params)
    assert f.__code__.co_firstlineno == line


# --- largest contour ----------------------------------------------------------------

def test_no_contour_gives_none():
    assert qel_cv.get_max_area_contour(np.zeros((20, 20), np.uint8), 127) is None


def test_largest_of_two_blobs():
    img = np.zeros((60, 60), np.uint8)
    img[5:15, 5:15] = 255      # 100 pixels
    img[30:50, 30:50] = 255    # 400 pixels
    cnt = qel_cv.get_max_area_contour(img, 127)
    assert cnt.dtype == np.int32 and cnt.shape[1:] == (1, 2)
    assert cv2.boundingRect(cnt) == (30, 30, 20, 20)


def test_equal_areas_give_the_first_listed():
    img = np.zeros((40, 60), np.uint8)
    img[5:15, 5:15] = 255
    img[20:30, 40:50] = 255
    first = outer_contours(cv2.threshold(img, 127, 255, cv2.THRESH_BINARY)[1])[0]
    assert np.array_equal(qel_cv.get_max_area_contour(img, 127), first)


def test_single_pixel_has_no_area():
    img = np.zeros((10, 10), np.uint8)
    img[4, 4] = 255
    assert len(outer_contours(img)) == 1
    assert qel_cv.get_max_area_contour(img, 127) is None


def bimodal():
    rng = np.random.default_rng(3)
    img = np.clip(rng.normal(60, 8, (50, 50)), 0, 255).astype(np.uint8)
    img[10:30, 12:40] = np.clip(rng.normal(190, 8, (20, 28)), 0, 255).astype(np.uint8)
    return img


def test_otsu_when_threshold_is_none():
    cnt = qel_cv.get_max_area_contour(bimodal())
    assert cv2.boundingRect(cnt) == (12, 10, 28, 20)


def test_otsu_inverted():
    img = bimodal()
    cnt = qel_cv.get_max_area_contour(img, None, cv2.THRESH_BINARY_INV)
    assert cv2.boundingRect(cnt) == (0, 0, 50, 50)   # the dark surround
    assert cv2.contourArea(cnt) > 0


def test_pre_erode_removes_thin_lines():
    img = np.zeros((60, 80), np.uint8)
    img[5:9, 2:78] = 255        # a 4-pixel line, larger than the square
    img[30:42, 30:42] = 255
    assert cv2.boundingRect(qel_cv.get_max_area_contour(img, 127)) == (2, 5, 76, 4)
    cnt = qel_cv.get_max_area_contour(img, 127, pre_erode=2)
    assert cv2.boundingRect(cnt) == (32, 32, 8, 8)


def test_clean_up_steps_through_cv2(monkeypatch):
    calls = []
    real = {"erode": cv2.erode, "dilate": cv2.dilate}

    def spy(op):
        def f(*args, **kwargs):
            calls.append((op, len(args), sorted(kwargs), kwargs["iterations"], kwargs["kernel"].dtype,
                          kwargs["kernel"].shape))
            return real[op](*args, **kwargs)
        return f
    monkeypatch.setattr(cv2, "erode", spy("erode"))
    monkeypatch.setattr(cv2, "dilate", spy("dilate"))
    img = np.zeros((30, 30), np.uint8)
    img[5:25, 5:25] = 255
    qel_cv.get_max_area_contour(img, 127, cv2.THRESH_BINARY, 1, 2, 3)
    assert calls == [("erode", 1, ["iterations", "kernel"], 1, np.uint8, (3, 3)),
                     ("dilate", 1, ["iterations", "kernel"], 2, np.uint8, (3, 3)),
                     ("erode", 1, ["iterations", "kernel"], 3, np.uint8, (3, 3))]
    calls.clear()
    qel_cv.get_max_area_contour(img, 127, cv2.THRESH_BINARY, -1, 0, -5)
    assert calls == []


# --- polygon masking ------------------------------------------------------------------

TRIANGLE = [(5, 5), (30, 8), (12, 28)]


def poly_mask(shape, poly):
    mask = np.zeros(shape[:2], np.uint8)
    cv2.fillPoly(mask, np.array([poly], np.int32), 255)
    return mask.astype(bool)


@pytest.mark.parametrize("channels", [None, 3])
@pytest.mark.parametrize("outer_value", [0, 255, 15])
def test_extract_poly(channels, outer_value):
    rng = np.random.default_rng(1)
    shape = (32, 36) if channels is None else (32, 36, channels)
    img = rng.integers(0, 256, shape, dtype=np.uint8)
    before = img.copy()
    out = qel_cv.extract_poly(img, TRIANGLE, outer_value)
    assert out.shape == img.shape and out.dtype == img.dtype and not np.shares_memory(out, img)
    inside = poly_mask(shape, TRIANGLE)
    assert np.array_equal(out[inside], img[inside])
    assert np.array_equal(out[~inside], img[~inside] & outer_value)
    assert np.array_equal(img, before)


def test_extract_poly_default_and_16_bit():
    img = np.full((20, 20), 0xABCD, np.uint16)
    out = qel_cv.extract_poly(img, [(2, 2), (15, 2), (15, 15), (2, 15)])
    assert out[8, 8] == 0xABCD and out[0, 0] == 0 and out[17, 17] == 0
    out = qel_cv.extract_poly(img, [(2, 2), (15, 2), (15, 15)], 0x0F0F)
    assert out[8, 12] == 0xABCD and out[19, 0] == 0x0B0D


@pytest.mark.parametrize("poly", [[], np.zeros((0, 2), np.int32), np.zeros((0, 1, 2), np.int32)],
                         ids=["empty list", "no points", "empty contour"])
def test_extract_poly_without_points_masks_everything(poly):
    img = np.full((6, 8, 3), 0xF3, np.uint8)
    assert not qel_cv.extract_poly(img, poly).any()
    assert np.array_equal(qel_cv.extract_poly(img, poly, 15), img & 15)


def test_extract_poly_float_image_fails():
    with pytest.raises(TypeError):
        qel_cv.extract_poly(np.ones((10, 10), np.float32), TRIANGLE)


def test_extract_poly_with_a_contour():
    img = np.zeros((40, 40), np.uint8)
    cv2.circle(img, (20, 20), 10, 200, -1)
    noisy = img.copy()
    noisy[0:3, 0:3] = 99
    cnt = qel_cv.get_max_area_contour(img, 100)
    out = qel_cv.extract_poly(noisy, qel_cv.contour_to_point_list(cnt))
    assert np.array_equal(out, img)


def test_contour_to_point_list_gives_views():
    cnt = filled_rect_contour(3, 4, 6, 8)
    points = qel_cv.contour_to_point_list(cnt)
    assert type(points) is list and len(points) == len(cnt)
    assert all(np.array_equal(p, c[0]) for p, c in zip(points, cnt))
    points[0][0] = 99
    assert cnt[0][0][0] == 99


def test_contour_to_point_list_edges():
    assert qel_cv.contour_to_point_list(np.zeros((0, 1, 2), np.int32)) == []
    assert qel_cv.contour_to_point_list([[[1, 2]], [[3, 4]]]) == [[1, 2], [3, 4]]
    with pytest.raises(TypeError):
        qel_cv.contour_to_point_list(5)
    with pytest.raises(IndexError):
        qel_cv.contour_to_point_list([[]])


# --- vertical profile ----------------------------------------------------------------

RECT = filled_rect_contour(10, 20, 14, 22)     # x 10..14, y 20..22, every boundary pixel


@pytest.mark.parametrize("kwargs, expected", [
    ({}, ((10, 14), [2, 2, 2, 2])),
    ({"head_off": 1, "tail_off": 1}, ((11, 13), [2, 2])),
    ({"head_off": 4}, ((14, 14), [])),
    ({"head_off": 3, "tail_off": 3}, ((13, 13), [])),
])
def test_profile_of_a_rectangle(kwargs, expected):
    before = RECT.copy()
    (begin, end), distances = qel_cv.calculate_contour_vertical_distances(RECT, **kwargs)
    assert ((begin, end), distances) == expected
    assert all(type(d) is np.int32 for d in distances)
    assert type(begin) is np.int64 and type(end) is np.int64
    assert np.array_equal(RECT, before)


def test_profile_of_a_line():
    line = np.array([[[x, 7]] for x in range(3, 12)] + [[[x, 7]] for x in range(10, 3, -1)], np.int32)
    (begin, end), distances = qel_cv.calculate_contour_vertical_distances(line)
    assert (begin, end) == (3, 11) and distances == [0] * 8
    # one point in column 3, two (going out and back) in the others
    assert type(distances[0]) is int and all(type(d) is np.int32 for d in distances[1:])


def test_whole_float_offsets_walk_and_fractional_ones_are_refused():
    (begin, end), distances = qel_cv.calculate_contour_vertical_distances(RECT, 1.0, 1.0)
    assert (begin, end) == (11.0, 13.0) and type(begin) is np.float64 and distances == [2, 2]


@pytest.mark.parametrize("head, tail", [(0.5, 0), (0, 1.25), (float("nan"), 0), (float("-inf"), 0)])
def test_non_whole_span_raises(head, tail):
    with pytest.raises(ValueError, match="whole number of columns"):
        qel_cv.calculate_contour_vertical_distances(RECT, head, tail)


def test_compressed_contour_runs_the_cursor_past_the_end():
    compressed = outer_contours(np.pad(np.full((3, 5), 255, np.uint8), 10), cv2.CHAIN_APPROX_SIMPLE)[0]
    with pytest.raises(IndexError, match="list index out of range"):
        qel_cv.calculate_contour_vertical_distances(compressed)


@pytest.mark.parametrize("head, tail, fails", [(-3, 0, False), (-100, 0, False), (0, -2, True), (-3, -3, True)])
def test_range_off_the_contour(head, tail, fails):
    # columns left of the contour have no points: the search finds nothing and
    # the cursor becomes -1; columns right of it run the cursor past the end
    got = run(qel_cv.calculate_contour_vertical_distances, RECT, head, tail)
    assert got == run(plain.profile, RECT, head, tail)
    assert (got[0] is IndexError) == fails


def test_cursor_wraps_from_the_last_point_in_the_walk():
    # Column 1 is empty, so the cursor is -1 when column 2 (the last) comes:
    # its run starts at the last point and wraps to the first, which ends it.
    contour = np.array([[0, 1], [0, 5], [2, 3], [2, 9]], np.int32).reshape(-1, 1, 2)
    assert qel_cv.calculate_contour_vertical_distances(contour, 0, -1) == ((0, 3), [4, 0, 0])
    assert type(qel_cv.calculate_contour_vertical_distances(contour, 0, -1)[1][2]) is int


@pytest.mark.parametrize("contour, err", [([[[1, 2]]], TypeError), (np.zeros((4, 2), np.int32), IndexError),
                                          (np.zeros((0, 1, 2), np.int32), ValueError)])
def test_profile_bad_contours(contour, err):
    with pytest.raises(err):
        qel_cv.calculate_contour_vertical_distances(contour)


def test_helpers_are_called_through_the_module(monkeypatch):
    calls = []
    original = qel_cv._get_points_equal_x
    monkeypatch.setattr(qel_cv, "_get_points_equal_x", lambda *a: calls.append(a[1:]) or original(*a))
    monkeypatch.setattr(qel_cv, "_calculate_max_vertical_distance", len)
    # column 10 is the rectangle's left side: three points
    assert qel_cv.calculate_contour_vertical_distances(RECT) == ((10, 14), [3, 2, 2, 2])
    assert [(int(x), tip) for x, tip in calls] == [(10, 0), (11, 3), (12, 5), (13, 7)]


def test_maxsize_is_read_through_its_alias(monkeypatch):
    monkeypatch.setattr(qel_cv, "_maxsize", 0)   # no y is below it: min_y stays 0
    assert qel_cv._calculate_max_vertical_distance([(3, 7), (3, 2), (3, 9)]) == 9
    assert qel_cv.calculate_contour_vertical_distances(RECT)[1] == [22, 22, 22, 22]


@pytest.mark.parametrize("points, expected, kind", [
    ([], 0, int), ([(3, 7)], 0, int), ([(3, 7), (3, 2), (3, 9)], 7, int),
    (np.array([[3, 7], [3, 2]], np.int32), 5, np.int32),
    ([(1, -4), (1, -2)], 3, int),    # max_y never rises above its start of -1
])
def test_max_vertical_distance(points, expected, kind):
    got = qel_cv._calculate_max_vertical_distance(points)
    assert got == expected and type(got) is kind


SORTED = [(1, 5), (1, 8), (2, 4), (3, 6)]


@pytest.mark.parametrize("x, tip, expected", [
    (2, 2, ([(2, 4)], 3)),
    (2, 0, ([(2, 4)], 3)),       # searched
    (1, 0, ([(1, 5), (1, 8)], 2)),
    (7, 0, ([], -1)),
    (3, -1, ([(3, 6)], 0)),      # -1 looks at the last point first
    (3, -4, ([(3, 6)], 4)),      # (1, 5) is not in column 3: searched
])
def test_get_points_equal_x(x, tip, expected):
    assert qel_cv._get_points_equal_x(SORTED, x, tip) == expected


def test_get_points_equal_x_wraps_from_the_last_point():
    # a cursor of -1 at a column whose run starts the list takes the last point twice
    pts = [(4, 1), (4, 3)]
    assert qel_cv._get_points_equal_x(pts, 4, -1) == ([(4, 3), (4, 1), (4, 3)], 2)


@pytest.mark.parametrize("points, tip", [([], 0), (SORTED, 4), (SORTED, -5)])
def test_get_points_equal_x_cursor_out_of_range(points, tip):
    with pytest.raises(IndexError):
        qel_cv._get_points_equal_x(points, 1, tip)


def test_collect_points_equal_x():
    got = qel_cv._collect_contour_points_equal_x(RECT, 12)
    assert sorted(p.tolist() for p in got) == [[12, 20], [12, 22]]
    assert all(np.shares_memory(p, RECT) for p in got)
    assert qel_cv._collect_contour_points_equal_x(RECT, 99) == []
    assert qel_cv._collect_contour_points_equal_x([[(1, 2), (3, 4)], [(1, 9)]], 1) == [(1, 2), (1, 9)]


@contextlib.contextmanager
def generic_walk():
    """Rebinding the helpers (to wrappers around them) turns the native walk off."""
    names = ("_get_points_equal_x", "_calculate_max_vertical_distance")
    saved = [getattr(qel_cv, n) for n in names]
    for n, f in zip(names, saved):
        setattr(qel_cv, n, lambda *a, _f=f: _f(*a))
    try:
        yield
    finally:
        for n, f in zip(names, saved):
            setattr(qel_cv, n, f)


def typed(result):
    """The result with the type of every number, or the error."""
    if isinstance(result, BaseException):
        return type(result), str(result)
    (begin, end), distances = result
    return (type(begin), begin, type(end), end), [(type(d), d) for d in distances]


def run(f, *args):
    try:
        return typed(f(*args))
    except Exception as e:
        return typed(e)


CONTOUR_LAYOUTS = {
    "plain": lambda pts: pts.reshape(-1, 1, 2),
    "reversed": lambda pts: pts.reshape(-1, 1, 2)[::-1],
    "every other": lambda pts: np.repeat(pts, 2, axis=0).reshape(-1, 1, 2)[::2],
    "spread coordinates": lambda pts: np.stack([pts[:, 0], pts[:, 0], pts[:, 1], pts[:, 1]], 1)
                                        .reshape(-1, 1, 4)[:, :, ::2],
}


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(pts=st.one_of(st.lists(st.tuples(st.integers(0, 12), st.integers(-2, 30)), min_size=1, max_size=40),
                     st.lists(st.tuples(st.integers(0, 6), st.integers(0, 9)), min_size=1, max_size=8)),
       layout=st.sampled_from(sorted(CONTOUR_LAYOUTS)),
       head=st.one_of(st.integers(-4, 8), st.integers(-4, 8).map(np.int64), st.integers(-4, 8).map(np.int32)),
       tail=st.one_of(st.sampled_from([0, -1]), st.integers(-4, 8)))
def test_native_walk_matches_generic_and_plain_python(pts, layout, head, tail):
    contour = CONTOUR_LAYOUTS[layout](np.array(pts, np.int32))
    assert contour.shape == (len(pts), 1, 2)
    before = contour.copy()
    native = run(qel_cv.calculate_contour_vertical_distances, contour, head, tail)
    with generic_walk():
        generic = run(qel_cv.calculate_contour_vertical_distances, contour, head, tail)
    assert native == generic == run(plain.profile, contour, head, tail)
    assert np.array_equal(contour, before)


def test_native_walk_runs_under_its_guards_only():
    # The native walk makes no Python object per point (only argmin's copy of the x column);
    # the generic one lists every point.
    n = 20000
    contour = np.stack([np.arange(n) % 200, np.arange(n) % 50], 1).astype(np.int32).reshape(-1, 1, 2)
    walk = lambda: qel_cv.calculate_contour_vertical_distances(contour)
    expected = walk()
    native = peak_bytes(walk)
    with generic_walk():
        generic = peak_bytes(walk)
        assert walk() == expected
    assert native < 8 * n < generic


@pytest.mark.parametrize("x_offset", [0, 2**31])
def test_int64_contours_beyond_int32_walk_as_plain_python(x_offset):
    # Low 32-bit halves of the large y values are small and positive: read as
    # int32 they would pass for other, plausible coordinates.
    pts = np.array([[0, 3], [1, 2**32 + 7], [1, 2], [3, 2**34 + 5], [2, 9], [4, 2**33 + 1], [4, 6]], np.int64)
    pts[:, 0] += x_offset
    contour = pts.reshape(-1, 1, 2)
    assert run(qel_cv.calculate_contour_vertical_distances, contour) == run(plain.profile, contour)


# --- centre region ------------------------------------------------------------------

def test_black_image_gives_an_empty_list():
    assert qel_cv.extract_center_contours(np.zeros((20, 20), np.uint8), 0) == []


def test_disc_core_is_at_its_centre():
    img = np.zeros((80, 80), np.uint8)
    cv2.circle(img, (40, 35), 20, 255, -1)
    before = img.copy()
    cnts = qel_cv.extract_center_contours(img, 128)
    assert type(cnts) is list and len(cnts) == 1
    x, y, w, h = cv2.boundingRect(cnts[0])
    assert abs(x + w / 2 - 40.5) <= 2 and abs(y + h / 2 - 35.5) <= 2 and w <= 5 and h <= 5
    assert np.array_equal(img, before)


def test_only_the_thickest_region_survives():
    img = np.zeros((80, 120), np.uint8)
    img[10:50, 10:50] = 255     # side 40
    img[10:30, 70:90] = 255     # side 20
    cnts = qel_cv.extract_center_contours(img, 128)
    assert cnts and all(10 <= cv2.boundingRect(c)[0] < 50 for c in cnts)


def test_identical_squares_both_survive():
    img = np.zeros((60, 100), np.uint8)
    img[10:30, 10:30] = 255
    img[10:30, 60:80] = 255
    assert len(qel_cv.extract_center_contours(img, 128)) == 2


def test_whole_image_region_shrinks_to_its_centre():
    cnts = qel_cv.extract_center_contours(np.full((8, 7), 200, np.uint8), 100)
    assert [cv2.boundingRect(c) for c in cnts] == [(3, 3, 1, 2)]


def test_first_pass_erodes_before_the_border_frame():
    # Touching the left, top and bottom borders: the first erosion leaves those
    # sides, then the frame cuts one pixel off them.
    img = np.zeros((11, 20), np.uint8)
    img[:, 0:6] = 255
    cnts = qel_cv.extract_center_contours(img, 100)
    assert [cv2.boundingRect(c) for c in cnts] == [(2, 2, 2, 7)]


def test_larger_step_takes_fewer_passes(monkeypatch):
    img = np.zeros((80, 80), np.uint8)
    img[10:70, 10:70] = 255
    calls = []
    real = cv2.erode
    monkeypatch.setattr(cv2, "erode", lambda *a, **k: calls.append(k["iterations"]) or real(*a, **k))
    one = qel_cv.extract_center_contours(img, 128, 1)
    n_one, calls[:] = len(calls), []
    four = qel_cv.extract_center_contours(img, 128, 4)
    assert calls == [4] * len(calls) and len(calls) < n_one
    assert cv2.contourArea(four[0]) >= cv2.contourArea(one[0])


@pytest.mark.parametrize("step", [0, -1, 0.5])
def test_step_below_one_is_refused(step):
    img = np.zeros((20, 20), np.uint8)
    img[5:15, 5:15] = 255
    with pytest.raises(ValueError) as e:
        qel_cv.extract_center_contours(img, 128, step)
    assert str(e.value) == f"extract_center_contours: step must be at least 1, got {step!r}"


# --- edge rotation ------------------------------------------------------------------

@pytest.fixture
def rect_and_matrix(monkeypatch):
    """Rebind cv2.minAreaRect to report a chosen rectangle; record the matrix call."""
    state = {"rect": None, "calls": []}
    real = cv2.getRotationMatrix2D
    monkeypatch.setattr(cv2, "minAreaRect", lambda pts: state["rect"])

    def spy(*args):
        state["calls"].append(args)
        return real(*args)
    monkeypatch.setattr(cv2, "getRotationMatrix2D", spy)
    return state


@pytest.mark.parametrize("rect, use_long_edge, angle", [
    (((50.0, 40.0), (30.0, 80.0), -20.0), True, 70.0),
    (((50.0, 40.0), (30.0, 80.0), -20.0), False, -20.0),
    (((10.0, 10.0), (60.0, 20.0), -45.0), True, -45.0),
    (((10.0, 10.0), (60.0, 20.0), -45.0), False, 45.0),
    (((10.0, 10.0), (30.0, 30.0), -30.0), True, -30.0),
    (((10.0, 10.0), (30.0, 30.0), -30.0), False, -30.0),
    (((50.0, 40.0), (30.0, 80.0), -20.0), [], -20.0),        # only its truth counts
    (((50.0, 40.0), (30.0, 80.0), -20.0), "no", 70.0),
    # An upright rectangle as OpenCV 4.5 and later report it: 90 is -90 in
    # the 3-series convention, the sides as given.
    (((24.5, 14.5), (9.0, 39.0), 90.0), True, 0.0),
    (((24.5, 14.5), (9.0, 39.0), 90.0), False, -90.0),
    (((14.5, 24.5), (39.0, 9.0), 90.0), True, -90.0),
    (((14.5, 24.5), (39.0, 9.0), 90.0), False, 0.0),
])
def test_angle_rule(rect_and_matrix, rect, use_long_edge, angle):
    rect_and_matrix["rect"] = rect
    img = np.arange(60 * 90, dtype=np.uint32).astype(np.uint8).reshape(60, 90)
    before = img.copy()
    out = qel_cv.rotate_to_make_edge_horizontal(img, np.zeros((4, 1, 2), np.int32), use_long_edge)
    assert rect_and_matrix["calls"] == [(rect[0], angle, 1)]
    center, got_angle, scale = rect_and_matrix["calls"][0]
    assert type(got_angle) is float and type(scale) is int
    matrix = cv2.getRotationMatrix2D(rect[0], angle, 1)
    assert np.array_equal(out, cv2.warpAffine(img, matrix, (90, 60)))
    assert np.array_equal(img, before)


@pytest.mark.parametrize("use_long_edge, wide", [(True, True), (False, False)])
def test_rotation_lays_the_edge_horizontal(use_long_edge, wide):
    img = np.zeros((120, 120), np.uint8)
    box = cv2.boxPoints(((60, 60), (70, 20), 30)).astype(np.int32)
    cv2.fillPoly(img, [box], 255)
    cnt = outer_contours(img)[0]
    out = qel_cv.rotate_to_make_edge_horizontal(img, cnt, use_long_edge)
    assert out.shape == img.shape and out.dtype == img.dtype
    _, _, w, h = cv2.boundingRect(outer_contours(cv2.threshold(out, 127, 255, cv2.THRESH_BINARY)[1])[0])
    assert (w > 2 * h) if wide else (h > 2 * w)


def test_rotation_errors():
    cnt = filled_rect_contour(3, 3, 10, 6)
    with pytest.raises(ValueError, match="need more than 1 value to unpack"):
        qel_cv.rotate_to_make_edge_horizontal(np.zeros((5,), np.uint8), cnt)
    with pytest.raises(cv2.error):
        qel_cv.rotate_to_make_edge_horizontal(np.zeros((5, 5), np.uint8), np.zeros((3, 1, 3), np.int32))


# --- arguments are left alone ------------------------------------------------------

def test_mutable_numbers_passed_in_are_not_changed():
    img = np.zeros((20, 20), np.uint8)
    img[5:15, 5:15] = 200
    threshold_type = np.array(cv2.THRESH_BINARY)
    assert qel_cv.get_max_area_contour(img, None, threshold_type) is not None
    assert threshold_type == cv2.THRESH_BINARY
    tip = np.array(2)
    assert qel_cv._get_points_equal_x(SORTED, 2, tip) == ([(2, 4)], 3)
    assert tip == 2
    head = np.array(1)
    (begin, end), distances = qel_cv.calculate_contour_vertical_distances(RECT, head, 0)
    assert (begin, end) == (11, 14) and distances == [2, 2, 2] and head == 1


def test_no_reference_leaks():
    contour = np.array([[x, 5 + x % 3] for x in range(40)] + [[x, 20] for x in range(39, -1, -1)],
                       np.int32).reshape(-1, 1, 2)
    img = np.zeros((30, 30), np.uint8)
    img[5:25, 5:25] = 255
    head = np.int64(1)   # an object of its own, unlike a small int
    before = sys.getrefcount(contour), sys.getrefcount(img), sys.getrefcount(head)
    for _ in range(30):
        qel_cv.calculate_contour_vertical_distances(contour, head)
        with generic_walk():
            qel_cv.calculate_contour_vertical_distances(contour, head)
        qel_cv.extract_center_contours(img, 100)
        qel_cv.get_max_area_contour(img, 100, cv2.THRESH_BINARY, 1, 1, 1)
        qel_cv.extract_poly(img, TRIANGLE)
    assert (sys.getrefcount(contour), sys.getrefcount(img), sys.getrefcount(head)) == before


@pytest.mark.parametrize("call", [
    lambda img: qel_cv.get_max_area_contour(img, 1),
    lambda img: qel_cv.extract_center_contours(img, 1),
    lambda img: qel_cv.rotate_to_make_edge_horizontal(img, filled_rect_contour(3, 3, 10, 6)),
], ids=["get_max_area_contour", "extract_center_contours", "rotate_to_make_edge_horizontal"])
def test_image_without_channels_is_refused(call):
    # OpenCV's binding would read such an image as 512 channels over no memory.
    with pytest.raises(ValueError, match=r"has an empty channel axis \(shape \(2000, 2000, 0\)\)"):
        call(np.zeros((2000, 2000, 0), np.uint8))
