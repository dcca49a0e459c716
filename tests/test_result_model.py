"""NGRegion and CompareResult."""
import numpy as np
import pytest

import qel_cv
from qel_cv import CompareResult, NGRegion

RED = [0, 0, 255]


@pytest.fixture
def grey():
    img = np.arange(100 * 100, dtype=np.uint32).reshape(100, 100) % 200
    return img.astype(np.uint8)


def frame_pixels(rect, shape):
    """Pixels of a one-pixel frame one pixel outside rect, clipped to shape."""
    x1, y1, x2, y2 = rect
    h, w = shape
    xs, ys = range(x1 - 1, x2 + 2), range(y1 - 1, y2 + 2)
    pts = {(x, y1 - 1) for x in xs} | {(x, y2 + 1) for x in xs}
    pts |= {(x1 - 1, y) for y in ys} | {(x2 + 1, y) for y in ys}
    return {(x, y) for x, y in pts if 0 <= x < w and 0 <= y < h}


def red_pixels(img):
    ys, xs = np.nonzero(np.all(img == RED, axis=2))
    return set(zip(xs.tolist(), ys.tolist()))


def test_new_result_is_ok(grey):
    r = CompareResult(grey)
    assert (r.ok, r.ng, r.ng_count, r.descriptions) == (True, False, 0, [])
    assert r.original_image is grey and r.image is grey
    assert vars(r) == {"image": grey, "ng_regions": []}
    assert type(r.ng_count) is int and type(r.ok) is bool


def test_appends_and_reset(grey):
    r = CompareResult(grey)
    regions = r.ng_regions
    r.append(NGRegion([1, 2, 3, 4], "first"))
    r.append(NGRegion(None, "second"))
    descs = r.descriptions
    assert (r.ok, r.ng, r.ng_count, descs) == (False, True, 2, ["first", "second"])
    assert r.descriptions is not descs
    other = grey.copy()
    assert r.reset(other) is None
    assert r.ng_count == 0 and r.original_image is other
    assert regions == [] and r.ng_regions is regions
    assert descs == ["first", "second"]


def test_append_takes_any_object_and_properties_read_live_attributes(grey):
    r = CompareResult(grey)
    r.append(5)
    assert r.ng_count == 1
    with pytest.raises(AttributeError):
        r.descriptions
    r.ng_regions = []
    assert r.ok

    class AlwaysBad(CompareResult):
        ok = False

    # `ng` reads `ok` through the attribute lookup, so an override shows.
    assert AlwaysBad(grey).ng is True


def test_ng_region_stores_what_it_is_given():
    rect = [1, 2, 3, 4]
    n = NGRegion(rect)
    assert n.desc == "" and n.get_region() is rect and n.get_desc() == ""
    assert vars(n) == {"rect": rect, "desc": ""}
    d = object()
    assert NGRegion(None, d).get_desc() is d


def test_marked_image_without_regions_is_a_colour_copy(grey):
    r = CompareResult(grey)
    marked = r.marked_image()
    assert marked.shape == (100, 100, 3) and marked.dtype == np.uint8
    assert all(np.array_equal(marked[:, :, c], grey) for c in range(3))
    marked[:] = 0
    assert grey.any()


@pytest.mark.parametrize("rect", [[10, 20, 30, 40], (0, 0, 5, 5), [90, 95, 99, 99], np.array([3, 4, 50, 60])])
def test_marked_image_draws_a_red_frame_one_pixel_outside(grey, rect):
    before = grey.copy()
    r = CompareResult(grey)
    r.append(NGRegion(rect))
    marked = r.marked_image()
    expected = frame_pixels([int(v) for v in rect], grey.shape)
    got = red_pixels(marked)
    assert expected <= got
    # Everything else is the grey value copied into all three channels.
    mask = np.ones(grey.shape, bool)
    for x, y in expected:
        mask[y, x] = False
    assert all(np.array_equal(marked[:, :, c][mask], grey[mask]) for c in range(3))
    assert np.array_equal(grey, before)


def test_marked_image_example_corners(grey):
    r = CompareResult(grey)
    r.append(NGRegion([10, 20, 30, 40]))
    marked = r.marked_image()
    for x, y in [(9, 19), (31, 19), (9, 41), (31, 41)]:
        assert list(marked[y, x]) == RED
    assert list(marked[20, 10]) == [grey[20, 10]] * 3


def test_marked_image_index_selects_one_region(grey):
    r = CompareResult(grey)
    rects = [[5, 5, 10, 10], [40, 40, 50, 50], [70, 70, 80, 80]]
    for rect in rects:
        r.append(NGRegion(rect))
    assert red_pixels(r.marked_image(1)) == frame_pixels(rects[1], grey.shape)
    everything = set().union(*(frame_pixels(rect, grey.shape) for rect in rects))
    assert red_pixels(r.marked_image(-5)) == everything
    assert red_pixels(r.marked_image()) == everything
    with pytest.raises(AssertionError):
        r.marked_image(3)


def test_whole_image_region_draws_outside_the_picture(grey):
    r = CompareResult(grey)
    r.append(NGRegion(None))
    assert red_pixels(r.marked_image()) == set()


@pytest.mark.parametrize("image, error", [
    (np.zeros((10, 10, 3), np.uint8), Exception),   # OpenCV rejects a colour image
    (None, Exception),
    ("not an image", Exception),
    (np.zeros((0, 0), np.uint8), Exception),
])
def test_marked_image_bad_images_raise(image, error):
    r = CompareResult(image)
    with pytest.raises(error):
        r.marked_image()


def test_whole_image_region_needs_a_two_dimensional_image():
    # cvtColor accepts (h, w, 1) but the height/width unpacking of the shape does not.
    r = CompareResult(np.zeros((10, 10, 1), np.uint8))
    r.append(NGRegion(None))
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        r.marked_image()


def test_classes_are_plain():
    for cls in (NGRegion, CompareResult):
        assert cls.__bases__ == (object,) and cls.__module__ == "qel_cv" and cls.__doc__ is None
    assert list(CompareResult.__dict__)[:10] == [
        "__module__", "__init__", "reset", "append", "ok", "ng", "ng_count", "original_image", "marked_image",
        "descriptions"]
    assert CompareResult.append.__annotations__ == {"ng_region": qel_cv.NGRegion}
    assert CompareResult.original_image.fget.__annotations__ == {"return": np.ndarray}
