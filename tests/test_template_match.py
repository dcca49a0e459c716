"""template_match_point: region clamping, coordinates, threshold, surface."""
import typing

import cv2
import numpy as np
import pytest

import qel_cv

DOC = (
    "通过模板匹配（cv2.matchTemplate），找到大图片中的目标区域（目标点）。模板匹配算法使用TM_CCOEFF_NORMED。\n"
    "\timage: 需要从中搜索的大图\n"
    "\ttemplate: 模板小图\n"
    "\tregion: 用于缩小搜索范围。如果为None，表示搜索整个大图。范围的指定使用对角坐标格式。\n"
    "\tpoint_position: 如果搜索的是目标点，指出点在模板中的坐标\n"
    "\tthreshold: 最小模板匹配度。如果搜索到的最大匹配区域与模板的匹配度小于此值，表示没有搜索到目标\n"
    "\tReturnValue: 最大匹配值（[0, 1]），最大匹配值对应的点在大图中的坐标\n"
    "\t"
)


def scene(seed=0, shape=(120, 160)):
    """A smooth random image (so a patch has one clear best match)."""
    rng = np.random.default_rng(seed)
    img = rng.integers(0, 256, shape, dtype=np.uint8)
    return cv2.GaussianBlur(img, (5, 5), 1.0)


def test_surface():
    f = qel_cv.template_match_point
    assert f.__doc__ == DOC
    assert f.__defaults__ == (None, (0, 0), 0.0)
    assert f.__annotations__ == {
        "image": np.ndarray,
        "template": np.ndarray,
        "region": typing.Sequence[int],
        "point_position": typing.Union[typing.List[int], typing.Tuple[int]],
        "threshold": "float",
    }


def test_whole_image_when_region_is_none():
    img = scene()
    tpl = img[40:60, 70:95].copy()
    val, loc = qel_cv.template_match_point(img, tpl)
    assert loc == [70, 40] and type(loc) is list
    assert val == pytest.approx(1.0, abs=1e-5)


@pytest.mark.parametrize("region, offset", [
    ((60, 30, 110, 80), (60, 30)),          # inside
    ((-50, -40, 1000, 1000), (0, 0)),       # sticks out on every side
    ((65, -5, 200, 70), (65, 0)),           # out at the top and right only
])
def test_region_is_clamped_and_location_is_whole_image(region, offset):
    img = scene(1)
    tpl = img[40:60, 70:95].copy()
    before = img.copy(), tpl.copy()
    calls = []
    real = cv2.matchTemplate

    def spy(sub, t, method):
        calls.append(sub)
        return real(sub, t, method)

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(cv2, "matchTemplate", spy)
        val, loc = qel_cv.template_match_point(img, tpl, region)
    assert loc == [70, 40]
    assert np.array_equal(img, before[0]) and np.array_equal(tpl, before[1])
    sub = calls[0]
    assert np.shares_memory(sub, img)  # a view, not a copy
    x1, y1 = offset
    assert sub.shape == img[y1:min(region[3], 120), x1:min(region[2], 160)].shape


def test_negative_far_corner_counts_from_the_edge():
    img = scene(2)
    tpl = img[10:30, 10:40].copy()
    calls = []
    real = cv2.matchTemplate
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(cv2, "matchTemplate", lambda s, t, m: calls.append(s.shape) or real(s, t, m))
        _, loc = qel_cv.template_match_point(img, tpl, (0, 0, -10, -20))
    assert calls == [(100, 150)]
    assert loc == [10, 10]


@pytest.mark.parametrize("region", [(50, 10, 50, 100), (90, 10, 80, 100), (10, 10, 20, 60)])
def test_empty_or_too_small_area_raises_opencv_error(region):
    img = scene(3)
    with pytest.raises(cv2.error):
        qel_cv.template_match_point(img, img[0:15, 0:15].copy(), region)


def test_template_of_area_size_gives_the_corner_plus_point():
    img = scene(4)
    tpl = img[20:50, 30:70].copy()
    val, loc = qel_cv.template_match_point(img, tpl, [30, 20, 70, 50], (3, 4))
    assert loc == [33, 24]


def test_point_position_list_or_tuple():
    img = scene(5)
    tpl = img[40:60, 70:95].copy()
    a = qel_cv.template_match_point(img, tpl, None, (5, 7))
    b = qel_cv.template_match_point(img, tpl, None, [5, 7])
    assert a == b and a[1] == [75, 47]


def test_threshold_equal_keeps_location_and_above_withholds_it():
    img = scene(6)
    tpl = np.ascontiguousarray(img[30:50, 30:60][::-1])  # an imperfect match
    val, loc = qel_cv.template_match_point(img, tpl)
    assert 0 < val < 1 and loc is not None
    assert qel_cv.template_match_point(img, tpl, threshold=val) == (val, loc)
    assert qel_cv.template_match_point(img, tpl, threshold=np.nextafter(val, 2)) == (val, None)


def test_integer_threshold_is_converted_and_none_rejected():
    img = scene(7)
    tpl = np.ascontiguousarray(img[30:50, 30:60][::-1])
    val, loc = qel_cv.template_match_point(img, tpl, threshold=1)
    assert val < 1.0 and loc is None
    with pytest.raises(TypeError):
        qel_cv.template_match_point(img, tpl, threshold=None)


def test_negative_best_score_withholds_location_by_default():
    tpl = np.zeros((10, 10), np.uint8)
    tpl[:, :5] = 255
    img = 255 - tpl
    val, loc = qel_cv.template_match_point(img, tpl)
    assert val == pytest.approx(-1.0, abs=1e-5) and loc is None


def test_method_is_read_at_each_call(monkeypatch):
    img = scene(8)
    tpl = img[40:60, 70:95].copy()
    seen = []
    real = cv2.matchTemplate
    normed = cv2.TM_CCOEFF_NORMED
    monkeypatch.setattr(cv2, "matchTemplate", lambda s, t, m: seen.append(m) or real(s, t, m))
    qel_cv.template_match_point(img, tpl)
    monkeypatch.setattr(cv2, "TM_CCOEFF_NORMED", cv2.TM_CCORR_NORMED)
    qel_cv.template_match_point(img, tpl)
    assert seen == [normed, cv2.TM_CCORR_NORMED]


@pytest.mark.parametrize("bad, exc", [
    (dict(region=(1, 2, 3)), ValueError),
    (dict(region=(1, 2, 3, 4, 5)), ValueError),
    (dict(template=np.zeros((5, 5), np.float32)), cv2.error),
    (dict(template=np.zeros((5, 5, 3), np.uint8)), cv2.error),
    (dict(template=np.zeros((500, 5), np.uint8)), cv2.error),
    (dict(image=None), cv2.error),
    (dict(point_position=(1,)), IndexError),
])
def test_bad_input_raises(bad, exc):
    args = dict(image=scene(9), template=scene(9)[0:10, 0:10].copy())
    args.update(bad)
    with pytest.raises(exc):
        qel_cv.template_match_point(**args)
