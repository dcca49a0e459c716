"""translate, translate_and_rotate and compare_image_difference."""
import cv2
import numpy as np
import pytest

import qel_cv


@pytest.fixture
def grey():
    rng = np.random.default_rng(7)
    return rng.integers(0, 256, size=(12, 16), dtype=np.uint8)


def clamped_shift(image, right, down):
    """The content moved by whole pixels with the edge pixel repeated."""
    h, w = image.shape[:2]
    rows = np.clip(np.arange(h) - down, 0, h - 1)
    cols = np.clip(np.arange(w) - right, 0, w - 1)
    return image[rows][:, cols]


# --- translate ---------------------------------------------------------------------


def test_translate_zero_shift_is_a_new_equal_array(grey):
    before = grey.copy()
    out = qel_cv.translate(grey, 0, 0)
    assert out is not grey and not np.shares_memory(out, grey)
    assert out.dtype == grey.dtype and np.array_equal(out, grey)
    assert np.array_equal(grey, before)


@pytest.mark.parametrize("border", [None, cv2.BORDER_CONSTANT])
def test_translate_fills_the_uncovered_columns(grey, border):
    out = qel_cv.translate(grey, 5, 0) if border is None else qel_cv.translate(grey, 5, 0, border_mode=border)
    left = np.repeat(grey[:, :1], 5, axis=1) if border is None else np.zeros((12, 5), np.uint8)
    assert np.array_equal(out[:, :5], left)
    assert np.array_equal(out[:, 5:], grey[:, :-5])


@pytest.mark.parametrize("right, edge", [(40, 0), (-40, -1)])
def test_translate_beyond_the_width_fills_rows_with_their_edge(grey, right, edge):
    out = qel_cv.translate(grey, right, 0)
    assert np.array_equal(out, np.repeat(grey[:, edge:][:, :1], grey.shape[1], axis=1))


@pytest.mark.parametrize("right, down", [(3, -2), (-1, 4), (0, -11), (16, 12), (-100, 100)])
@pytest.mark.parametrize("dtype", [np.uint8, np.int16])
def test_translate_whole_pixels_is_clamped_indexing(grey, right, down, dtype):
    """What the comparator's native pass relies on, for both its image types."""
    image = grey.astype(dtype) * (1 if dtype == np.uint8 else -97)
    assert np.array_equal(qel_cv.translate(image, right, down), clamped_shift(image, right, down))
    colour = np.dstack([image, image // 2, image // 3])
    assert np.array_equal(qel_cv.translate(colour, right, down), clamped_shift(colour, right, down))


def test_translate_surface():
    assert qel_cv.translate.__defaults__ == (cv2.BORDER_REPLICATE,)
    assert qel_cv.translate.__annotations__ == {}
    assert qel_cv.translate.__code__.co_varnames == ("image", "right", "down", "border_mode", "m", "shifted")
    assert qel_cv.translate_and_rotate.__code__.co_varnames == (
        "image", "old_center", "new_center", "angle", "border_mode", "right", "translated")
    assert qel_cv.translate.__doc__ == (
        "\n\t对图片执行平移操作，返回平移后的新图片。\n"
        "\t:param image: 源图片\n"
        "\t:param right: 向右边平移量；如果向左移，传入负数\n"
        "\t:param down: 向下方平移量；如果向上移，传入负数\n"
        "\t:param border_mode: 平移时产生的黑洞如何填补，见 cv2.warpAffine 函数的 borderMode 参数\n"
        "\t:return: 执行平移后的新图片\n\t")


def test_translate_reaches_opencv_at_call_time(monkeypatch, grey):
    seen = []

    def warp(src, m, size, **kw):
        seen.append((m.dtype, m.tolist(), size, kw))
        return "warped"

    monkeypatch.setattr(qel_cv._cv, "warpAffine", warp)
    assert qel_cv.translate(grey, 2, -3, 7) == "warped"
    assert seen == [(np.float32, [[1, 0, 2], [0, 1, -3]], (16, 12), {"borderMode": 7})]


@pytest.mark.parametrize("image, exc", [(None, AttributeError), (np.zeros(5, np.uint8), IndexError),
                                        (np.zeros((0, 4), np.uint8), cv2.error)])
def test_translate_bad_image_raises(image, exc):
    with pytest.raises(exc):
        qel_cv.translate(image, 1, 1)


# --- translate_and_rotate -------------------------------------------------------------


@pytest.mark.parametrize("old, new", [((4, 5), (4, 5)), ((3, 3), (8, 3)), ((9, 1), (2, 6))])
def test_translate_and_rotate_always_shifts_with_replicated_edge(grey, old, new):
    out = qel_cv.translate_and_rotate(grey, old, new, 0, cv2.BORDER_CONSTANT)
    assert out is not grey
    assert np.array_equal(out, clamped_shift(grey, new[0] - old[0], new[1] - old[1]))


def test_translate_and_rotate_quarter_turn_counter_clockwise():
    image = np.arange(21 * 21, dtype=np.uint8).reshape(21, 21)
    out = qel_cv.translate_and_rotate(image, (10, 10), (10, 10), 90)
    assert np.array_equal(out, np.rot90(image))


def test_translate_and_rotate_calls_translate_by_name(monkeypatch, grey):
    calls = []
    original = qel_cv.translate

    def spy(*args, **kwargs):
        calls.append((args[1:], kwargs))
        return original(*args, **kwargs)

    monkeypatch.setattr(qel_cv, "translate", spy)
    qel_cv.translate_and_rotate(grey, (1, 2), (4, 0), 0.0, cv2.BORDER_CONSTANT)
    assert calls == [((3, -2), {})]


def test_translate_and_rotate_converts_angle_before_any_work(monkeypatch, grey):
    monkeypatch.setattr(qel_cv, "translate", lambda *a: pytest.fail("translate was called"))
    with pytest.raises(TypeError, match="^must be real number, not str$"):
        qel_cv.translate_and_rotate(grey, (0, 0), (1, 1), "90")


def test_translate_and_rotate_surface():
    f = qel_cv.translate_and_rotate
    assert f.__defaults__ == (cv2.BORDER_REPLICATE,)
    ann = f.__annotations__
    assert list(ann) == ["image", "old_center", "new_center", "angle"]
    assert ann["image"] is np.ndarray and ann["angle"] == "float"
    assert str(ann["old_center"]) == "typing.Sequence[int]"
    assert f.__doc__.startswith("\n\t根据旧中心坐标和新中心坐标，执行指定角度的平移和旋转。\n")
    assert f.__doc__.endswith("\t:return: 平移且旋转后的图片\n\t")


# --- compare_image_difference --------------------------------------------------------------


@pytest.mark.parametrize("threshold", [0, 1, 100, 10 ** 30])
def test_difference_of_equal_images_is_empty(grey, threshold):
    out = qel_cv.compare_image_difference(grey, grey.copy(), threshold)
    assert out.dtype == np.bool_ and out.shape == grey.shape and not out.any()


@pytest.mark.parametrize("dtype, std, tgt, threshold, expected", [
    (np.int16, 200, 50, 100, True), (np.int16, 200, 50, 150, False), (np.int16, 200, 50, -1, False),
    (np.int16, 50, 200, -100, True), (np.int16, 50, 200, -150, False), (np.int16, 50, 200, 0, False),
    (np.uint8, 0, 255, 0, True), (np.uint8, 0, 255, 1, False), (np.uint8, 255, 0, 254, True),
    (np.uint8, 255, 0, 255, False), (np.uint8, 0, 255, -1, False), (np.uint8, 255, 0, -200, False),
])
def test_difference_is_one_sided_in_the_arrays_own_type(dtype, std, tgt, threshold, expected):
    a = np.array([[std]], dtype)
    b = np.array([[tgt]], dtype)
    assert qel_cv.compare_image_difference(a, b, threshold).tolist() == [[expected]]


def test_difference_wraps_on_int16():
    a = np.array([[32767, -32768]], np.int16)
    b = np.array([[-1, 1]], np.int16)
    # numpy's int16 subtraction wraps: 32767 - -1 = -32768, -32768 - 1 = 32767
    assert qel_cv.compare_image_difference(a, b, 0).tolist() == [[False, True]]
    assert qel_cv.compare_image_difference(a, b, -1).tolist() == [[True, False]]


def test_difference_shape_mismatch_raises_value_error():
    with pytest.raises(ValueError):
        qel_cv.compare_image_difference(np.zeros((3, 4)), np.zeros((4, 3)), 0)


@pytest.mark.parametrize("old_center, new_center, message", [
    (5, None, "'NoneType' object is not subscriptable"),
    (None, 5, "'int' object is not subscriptable"),
])
def test_translate_and_rotate_reads_the_new_centre_first(old_center, new_center, message):
    with pytest.raises(TypeError) as info:
        qel_cv.translate_and_rotate(np.zeros((4, 4), np.uint8), old_center, new_center, 0)
    assert str(info.value) == message
