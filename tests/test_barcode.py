"""Barcode inspection: bar detection, rotation correction, the comparison
rectangle and the end-to-end pipeline (on synthetic and bundled prints)."""
import json
import os

import cv2
import numpy as np
import pytest

import qel_cv
from conftest import assert_no_growth

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLES = os.path.join(ROOT, "examples", "samples")
OUT_FILE = "shift_compare_barcode.jpg"


def contour(x, y, w, h):
    """A rectangle contour whose boundingRect is (x, y, w, h)."""
    return np.array([[[x, y]], [[x + w - 1, y]], [[x + w - 1, y + h - 1]], [[x, y + h - 1]]], np.int32)


def bars_image(tops, heights, shape=(300, 400), left=40, length=300, ink=255, paper=0):
    img = np.full(shape, paper, np.uint8)
    for top, h in zip(tops, heights):
        img[top:top + h, left:left + length] = ink
    return img


def grey_print(shape=(260, 420), speck=True):
    """An upright synthetic print: light bars on a darker part, one speck of
    ink too small to be a bar."""
    img = np.full(shape, 60, np.uint8)
    top = 50
    for h, gap in [(12, 8), (8, 6), (16, 10), (8, 8), (20, 6), (10, 9), (14, 0)]:
        img[top:top + h, 60:360] = 200
        top += h + gap
    if speck:
        img[30:34, 380:385] = 200
    return img


def lines(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.fixture(scope="module")
def samples():
    with open(os.path.join(SAMPLES, "samples.json"), encoding="utf-8") as f:
        meta = json.load(f)
    read = lambda name: cv2.imread(os.path.join(SAMPLES, name), cv2.IMREAD_GRAYSCALE)
    meta["std_image"] = read(meta["standard"])
    for t in meta["targets"].values():
        t["image"] = read(t["file"])
    return meta


# --- bar detection -------------------------------------------------------------

def test_whole_image_is_thresholded_at_the_otsu_level_of_the_area():
    rng = np.random.default_rng(0)
    img = rng.integers(0, 256, (120, 160), dtype=np.uint8)
    img[20:100, 20:140] = np.where(rng.random((80, 120)) < 0.5, 40, 170).astype(np.uint8)
    aoi = (20, 20, 140, 100)
    before = img.copy()
    bars, threshold = qel_cv.find_barcode_contours(img, aoi)
    level, _ = cv2.threshold(img[20:100, 20:140], 0, 255, cv2.THRESH_BINARY | cv2.THRESH_OTSU)
    assert 40 <= level < 170
    assert threshold.shape == img.shape and threshold.dtype == np.uint8
    assert np.array_equal(threshold, np.where(img > level, 255, 0).astype(np.uint8))
    assert np.array_equal(img, before)


def test_bars_are_relative_to_the_area_and_sorted_top_down(capsys):
    img = bars_image([200, 40, 120], [10, 14, 8])
    aoi = (30, 20, 360, 260)
    bars, _ = qel_cv.find_barcode_contours(img, aoi)
    assert [cv2.boundingRect(b) for b in bars] == [(10, 20, 300, 14), (10, 100, 300, 8), (10, 180, 300, 10)]
    assert all(b.dtype == np.int32 and b.shape[1:] == (1, 2) for b in bars)
    assert lines(capsys) == []


def test_bands_are_inclusive_and_rejections_print_in_contour_order(monkeypatch, capsys):
    # Four regions; area and perimeter stubbed per region (keyed by top row).
    img = bars_image([10, 40, 70, 100], [10, 10, 10, 10])
    area = {10: 1500, 40: 120000, 70: 1499.5, 100: 1500}
    girth = {10: 600, 40: 2000, 70: 456.78, 100: 2000.1}
    monkeypatch.setattr(cv2, "contourArea", lambda c: float(area[cv2.boundingRect(c)[1]]))
    monkeypatch.setattr(cv2, "arcLength", lambda c, closed: float(girth[cv2.boundingRect(c)[1]]))
    found = cv2.findContours(img, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[-2]
    order = [cv2.boundingRect(c)[1] for c in found]
    bars, _ = qel_cv.find_barcode_contours(img, (0, 0, 400, 300))
    assert [cv2.boundingRect(b)[1] for b in bars] == [10, 40]
    texts = {70: "Out of range bar: Area=1499.5, Length=456.8",
             100: "Out of range bar: Area=1500.0, Length=2000.1"}
    assert lines(capsys) == [texts[y] for y in order if y in texts]


def test_bands_from_arguments_and_defaults(capsys):
    img = bars_image([20, 60], [10, 30], length=300)  # areas 2691 and 8671
    assert len(qel_cv.find_barcode_contours(img, (0, 0, 400, 300))[0]) == 2
    capsys.readouterr()
    bars, _ = qel_cv.find_barcode_contours(img, (0, 0, 400, 300), 3000, 120000, 600, 2000)
    assert [cv2.boundingRect(b)[1] for b in bars] == [60]
    assert lines(capsys) == ["Out of range bar: Area=2691.0, Length=616.0"]


def test_printing_goes_through_current_sys_stdout(monkeypatch):
    import io
    import sys
    buf = io.StringIO()
    monkeypatch.setattr(sys, "stdout", buf)
    img = bars_image([20], [3], length=50)
    print("before")
    qel_cv.find_barcode_contours(img, (0, 0, 400, 300))
    print("after")
    assert buf.getvalue() == "before\nOut of range bar: Area=98.0, Length=102.0\nafter\n"


def test_rejected_lines_follow_find_contours_order_before_the_sort(monkeypatch, capsys):
    img = bars_image([20, 60, 100], [3, 4, 5], length=50)
    real = cv2.findContours

    def reversed_order(image, mode, method):
        cs, h = real(image, mode, method)
        return list(cs)[::-1], h

    expected = []
    for c in list(real(img, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[0])[::-1]:
        expected.append("Out of range bar: Area=%.1f, Length=%.1f" % (cv2.contourArea(c), cv2.arcLength(c, True)))
    monkeypatch.setattr(cv2, "findContours", reversed_order)
    bars, threshold = qel_cv.find_barcode_contours(img, (0, 0, 400, 300))
    assert bars == [] and threshold.shape == img.shape
    assert lines(capsys) == expected and len(expected) == 3


def test_sort_is_stable_and_uses_the_module_level_key(monkeypatch):
    img = np.zeros((200, 700), np.uint8)
    img[50:60, 10:310] = 255
    img[50:60, 350:650] = 255   # same top row
    img[20:30, 10:310] = 255
    aoi = (0, 0, 700, 200)
    found = cv2.findContours(img, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[-2]
    same_top = [cv2.boundingRect(c)[0] for c in found if cv2.boundingRect(c)[1] == 50]
    bars, _ = qel_cv.find_barcode_contours(img, aoi)
    assert [cv2.boundingRect(b)[1] for b in bars] == [20, 50, 50]
    assert [cv2.boundingRect(b)[0] for b in bars[1:]] == same_top
    keyed = []
    monkeypatch.setattr(qel_cv, "bounding_rect_top", lambda c: keyed.append(1) or -cv2.boundingRect(c)[1])
    bars, _ = qel_cv.find_barcode_contours(img, aoi)
    assert [cv2.boundingRect(b)[1] for b in bars] == [50, 50, 20] and len(keyed) == 3


def test_bounding_rect_top_calling():
    c = contour(3, 17, 10, 4)
    assert qel_cv.bounding_rect_top(c) == 17 and type(qel_cv.bounding_rect_top(c)) is int
    with pytest.raises(TypeError, match=r"^bounding_rect_top\(\) takes no keyword arguments$"):
        qel_cv.bounding_rect_top(contour=c)
    with pytest.raises(TypeError, match=r"^bounding_rect_top\(\) takes exactly one argument \(2 given\)$"):
        qel_cv.bounding_rect_top(c, c)


def test_no_bar_in_band_gives_empty_list_and_threshold(capsys):
    img = bars_image([20, 40], [3, 3], length=30)
    bars, threshold = qel_cv.find_barcode_contours(img, (0, 0, 400, 300))
    assert bars == [] and threshold.shape == img.shape and threshold.max() == 255
    assert len(lines(capsys)) == 2


@pytest.mark.parametrize("bars, rows", [
    ([contour(10, 20, 201, 31)], (85, 85)),
    ([contour(10, 20, 201, 31), contour(0, 100, 50, 11)], (85, 155)),
])
def test_fill_threshold_strip_geometry(bars, rows):
    threshold = np.zeros((400, 500), np.uint8)
    assert qel_cv.fill_threshold(bars, threshold, (100, 50, 400, 300)) is None
    ys, xs = np.nonzero(threshold)
    assert set(xs) == set(range(208, 213))
    assert set(ys) == set(range(rows[0], rows[1] + 1))
    assert (threshold[ys, xs] == 255).all()
    again = threshold.copy()
    qel_cv.fill_threshold(bars, threshold, (100, 50, 400, 300))
    assert np.array_equal(threshold, again)


def test_fill_threshold_errors_leave_the_image_untouched():
    threshold = np.zeros((50, 50), np.uint8)
    with pytest.raises(IndexError):
        qel_cv.fill_threshold([], threshold, (0, 0, 50, 50))
    with pytest.raises(ValueError, match="need more than 3 values to unpack"):
        qel_cv.fill_threshold([contour(1, 1, 5, 5)], threshold, (0, 0, 50))
    assert not threshold.any()


# --- rotation correction -----------------------------------------------------------

@pytest.mark.parametrize("reported, returned", [
    (-85.0, 5.0), (-80.0, 10.0), (-80.5, 9.5), (-90.0, 0.0),
    (-79.9, -79.9), (-45.0, -45.0), (-1.0, -1.0),
])
def test_angle_fold(monkeypatch, reported, returned):
    img = np.zeros((60, 60), np.uint8)
    img[10:30, 10:50] = 255
    seen = []
    monkeypatch.setattr(cv2, "minAreaRect", lambda pts: seen.append(pts) or ((30.0, 20.0), (40.0, 20.0), reported))
    assert qel_cv.find_rotate_degree(img, (0, 0, 60, 60)) == pytest.approx(returned)
    assert len(seen) == 1


@pytest.mark.parametrize("tilt", [0.0, 3.0, -3.0, 7.0])
def test_measured_tilt_of_a_joined_region(tilt):
    img = np.zeros((300, 400), np.uint8)
    img[100:180, 60:340] = 255
    m = cv2.getRotationMatrix2D((200.0, 140.0), tilt, 1)
    img = cv2.warpAffine(img, m, (400, 300), flags=cv2.INTER_NEAREST)
    degree = qel_cv.find_rotate_degree(img, (10, 10, 390, 290))
    # Turning back by the measured angle undoes the tilt.
    assert degree == pytest.approx(-tilt, abs=0.3)


def test_upright_region_measures_zero():
    img = np.zeros((100, 200), np.uint8)
    img[30:60, 20:180] = 255
    assert qel_cv.find_rotate_degree(img, (0, 0, 200, 100)) == 0.0


def test_first_of_equal_largest_regions_is_measured(monkeypatch):
    img = np.zeros((100, 200), np.uint8)
    img[10:30, 10:60] = 255
    img[60:80, 100:150] = 255
    first = cv2.findContours(img, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[-2][0]
    real = cv2.minAreaRect
    seen = []
    monkeypatch.setattr(cv2, "minAreaRect", lambda pts: seen.append(pts) or real(pts))
    qel_cv.find_rotate_degree(img, (0, 0, 200, 100))
    assert np.array_equal(seen[0], first)


def test_area_without_white_region_raises_clearly():
    img = np.zeros((50, 50), np.uint8)
    img[0:5, 0:5] = 255  # outside the area
    with pytest.raises(ValueError, match="no white region in the area of interest"):
        qel_cv.find_rotate_degree(img, (10, 10, 50, 50))


def test_rotation_keeps_size_centre_pixel_and_blackens_corners():
    rng = np.random.default_rng(1)
    img = rng.integers(1, 256, (200, 300), dtype=np.uint8)
    before = img.copy()
    bars = [contour(30, 15, 100, 10), contour(5, 60, 100, 10)]
    aoi = (40, 25, 280, 190)
    rotated = qel_cv.rotate_correcting(img, bars, 7.5, aoi)
    assert rotated.shape == img.shape and rotated.dtype == img.dtype
    assert rotated[15 + 25, 30 + 40] == img[15 + 25, 30 + 40]
    assert rotated[0, -1] == 0 and rotated[-1, 0] == 0
    assert np.array_equal(img, before)
    assert np.array_equal(qel_cv.rotate_correcting(img, bars, 0, aoi), img)


def test_rotation_needs_a_bar():
    with pytest.raises(IndexError):
        qel_cv.rotate_correcting(np.zeros((10, 10), np.uint8), [], 1.0, (0, 0, 10, 10))


# --- comparison rectangle -------------------------------------------------------

@pytest.mark.parametrize("rects, expected", [
    ([(20, 30, 200, 10), (25, 60, 190, 12)], (120, 85, 200, 42)),
    ([(25, 60, 190, 12), (20, 30, 200, 10)], (120, 86, 200, 42)),  # union unchanged, cut_y from the first
    ([(7, 9, 50, 11)], (107, 64, 50, 11)),
])
def test_comparison_rectangle(monkeypatch, rects, expected):
    img = np.zeros((400, 500), np.uint8)
    calls = []
    monkeypatch.setattr(qel_cv, "find_barcode_contours",
                        lambda *a, **k: calls.append((a, k)) or ([contour(*r) for r in rects], None))
    aoi = (100, 50, 500, 400)
    assert qel_cv.cmp_rect_after_rotate_correcting(img, aoi) == expected
    assert len(calls) == 1 and calls[0][0][0] is img and calls[0][0][1] is aoi and calls[0][1] == {}


def test_comparison_rectangle_without_bars_raises_index_error(capsys):
    with pytest.raises(IndexError):
        qel_cv.cmp_rect_after_rotate_correcting(np.zeros((50, 50), np.uint8), (0, 0, 50, 50))


# --- the pipeline ---------------------------------------------------------------

PIPELINE_NAMES = ["find_barcode_contours", "fill_threshold", "find_rotate_degree", "rotate_correcting",
                  "cmp_rect_after_rotate_correcting", "template_match_point", "translate", "ShiftComparator",
                  "CompareResult"]


def record_calls(monkeypatch):
    calls = []
    for name in PIPELINE_NAMES:
        real = getattr(qel_cv, name)

        def wrapper(*args, _real=real, _name=name, **kwargs):
            entry = [_name, args, kwargs, None]
            calls.append(entry)
            entry[3] = _real(*args, **kwargs)
            return entry[3]

        monkeypatch.setattr(qel_cv, name, wrapper)
    return calls


def test_pipeline_calls_in_order_and_prints_in_order(monkeypatch, capsys, tmp_path):
    monkeypatch.chdir(tmp_path)
    std = grey_print()
    tgt = std.copy()
    tgt[86:92, 150:160] = 60  # a gap in a bar
    aoi = (20, 20, 400, 240)
    calls = record_calls(monkeypatch)
    std_before, tgt_before = std.copy(), tgt.copy()
    result = qel_cv.shift_compare_barcode(std, tgt, aoi, 2, 50, 4)
    names = [c[0] for c in calls]
    # The comparator's own shifts (it calls translate too) come after.
    assert set(names[16:]) <= {"translate"}
    assert names[:16] == ["find_barcode_contours", "find_barcode_contours", "fill_threshold", "fill_threshold",
                     "find_rotate_degree", "find_rotate_degree", "rotate_correcting", "rotate_correcting",
                     "cmp_rect_after_rotate_correcting", "find_barcode_contours",
                     "cmp_rect_after_rotate_correcting", "find_barcode_contours",
                     "template_match_point", "translate", "ShiftComparator", "CompareResult"]
    by = {}
    for c in calls:
        by.setdefault(c[0], []).append(c)
    for call, image in zip(by["find_barcode_contours"], [std, tgt]):
        assert call[1][0] is image and call[1][1] is aoi and call[2] == {}
    std_bars, std_threshold = by["find_barcode_contours"][0][3]
    assert by["fill_threshold"][0][1][0] is std_bars and by["fill_threshold"][0][1][1] is std_threshold
    std_rotated = by["rotate_correcting"][0][3]
    tgt_rotated = by["rotate_correcting"][1][3]
    assert by["rotate_correcting"][0][1][2] == 0.0
    x, y, w, h = by["cmp_rect_after_rotate_correcting"][0][3]
    tx, ty, tw, th = by["cmp_rect_after_rotate_correcting"][1][3]
    image, template, region = by["template_match_point"][0][1]
    assert image is tgt_rotated and region == [tx - 20, ty - 20, tx + tw + 20, ty + th + 20]
    assert np.array_equal(template, std_rotated[y:y + h, x:x + w])
    _, (mx, my) = by["template_match_point"][0][3]
    assert by["translate"][0][1][0] is tgt_rotated and by["translate"][0][1][1:] == (x - mx, y - my)
    assert by["translate"][0][2] == {}
    assert by["ShiftComparator"][0][1][0] is std_rotated
    assert by["ShiftComparator"][0][2] == dict(max_shift=2, threshold=50, judge_parameter=4, cmp_region=aoi)
    assert result.original_image is by["translate"][0][3] is by["CompareResult"][0][1][0]
    out = lines(capsys)
    speck = "Out of range bar: Area=12.0, Length=14.0"
    assert out[:-1] == [speck, speck, "STD Degree: 0.00", "TGT Degree: 0.00", speck, speck]
    assert out[-1] == "平移校正区域匹配度：%.04f" % by["template_match_point"][0][3][0]
    assert result.ng and os.path.exists(OUT_FILE)
    assert np.array_equal(std, std_before) and np.array_equal(tgt, tgt_before)


def test_upright_standard_against_itself_is_ok(monkeypatch, capsys, tmp_path):
    monkeypatch.chdir(tmp_path)
    std = grey_print(speck=False)
    before = std.copy()
    result = qel_cv.shift_compare_barcode(std, std, (20, 20, 400, 240), 2, 50, 4)
    assert result.ok and not result.ng and result.ng_count == 0
    assert lines(capsys) == ["STD Degree: 0.00", "TGT Degree: 0.00", "平移校正区域匹配度：1.0000"]
    assert not os.path.exists(OUT_FILE)
    assert np.array_equal(std, before)


@pytest.mark.parametrize("dx, dy", [(5, -3), (-12, 7), (0, 15)])
def test_moved_target_is_shifted_back(monkeypatch, capsys, tmp_path, dx, dy):
    monkeypatch.chdir(tmp_path)
    std = grey_print(speck=False)
    tgt = np.full_like(std, 60)
    tgt[max(dy, 0):std.shape[0] + min(dy, 0), max(dx, 0):std.shape[1] + min(dx, 0)] = \
        std[max(-dy, 0):std.shape[0] - max(dy, 0), max(-dx, 0):std.shape[1] - max(dx, 0)]
    calls = record_calls(monkeypatch)
    result = qel_cv.shift_compare_barcode(std, tgt, (20, 20, 400, 240), 2, 50, 4)
    translate = [c for c in calls if c[0] == "translate"][0]
    assert translate[1][1:] == (-dx, -dy)
    assert result.ok and not os.path.exists(OUT_FILE)


@pytest.mark.parametrize("name", ["standard", "good", "dark_spot", "light_spot"])
def test_bundled_prints_end_to_end(monkeypatch, capsys, tmp_path, samples, name):
    monkeypatch.chdir(tmp_path)
    target = samples["targets"].get(name, {"image": samples["std_image"], "defect": None})
    std, tgt = samples["std_image"], target["image"]
    std_before, tgt_before = std.copy(), tgt.copy()
    aoi = tuple(samples["aoi"])
    result = qel_cv.shift_compare_barcode(std, tgt, aoi, samples["max_shift"], samples["threshold"],
                                          samples["dirty_width"])
    assert np.array_equal(std, std_before) and np.array_equal(tgt, tgt_before)
    out = lines(capsys)
    assert out[-1].startswith("平移校正区域匹配度：") and float(out[-1].split("：")[1]) > 0.9
    if target["defect"] is None:
        assert result.ok and not os.path.exists(OUT_FILE)
        return
    assert result.ng
    dx1, dy1, dx2, dy2 = target["defect"]
    cx, cy = (dx1 + dx2) / 2, (dy1 + dy2) / 2
    rects = [r.get_region() for r in result.ng_regions]
    # One region covers the planted defect; none lies elsewhere.
    assert any(x1 - 2 <= cx <= x2 + 2 and y1 - 2 <= cy <= y2 + 2 for x1, y1, x2, y2 in rects)
    assert all(x1 >= dx1 - 8 and x2 <= dx2 + 8 and y1 >= dy1 - 8 and y2 <= dy2 + 8 for x1, y1, x2, y2 in rects)
    saved = cv2.imread(OUT_FILE)
    x, y, w, h = qel_cv.cmp_rect_after_rotate_correcting(std, aoi)
    expected = result.marked_image()[y:y + h, x:x + w]
    assert saved.shape == expected.shape and saved.shape[2] == 3
    assert np.abs(saved.astype(int) - expected).mean() < 3


def test_three_item_find_contours_form(monkeypatch, capsys, tmp_path, samples):
    monkeypatch.chdir(tmp_path)
    std = samples["std_image"]
    tgt = samples["targets"]["dark_spot"]["image"]
    args = (std, tgt, tuple(samples["aoi"]), samples["max_shift"], samples["threshold"], samples["dirty_width"])
    plain = qel_cv.shift_compare_barcode(*args)
    real = cv2.findContours
    forms = []

    def three_items(image, mode, method):
        forms.append(3)
        return (image,) + tuple(real(image, mode, method))

    monkeypatch.setattr(cv2, "findContours", three_items)
    three = qel_cv.shift_compare_barcode(*args)
    assert len(forms) >= 6
    assert three.descriptions == plain.descriptions and three.ng


@pytest.mark.parametrize("change, exc", [
    (lambda s, t, a: (cv2.cvtColor(s, cv2.COLOR_GRAY2BGR), t, a), cv2.error),
    (lambda s, t, a: (s, cv2.cvtColor(t, cv2.COLOR_GRAY2BGR), a), cv2.error),
    (lambda s, t, a: (s.astype(np.float32), t, a), cv2.error),
    (lambda s, t, a: (s, t, a[:3]), ValueError),
    (lambda s, t, a: (s, t, (1000, 1000, 1200, 1200)), IndexError),
    (lambda s, t, a: (s, np.zeros_like(t), a), IndexError),
    (lambda s, t, a: (s, t[:200], a), Exception),
    (lambda s, t, a: (None, t, a), TypeError),
])
def test_bad_input_raises_and_writes_nothing(monkeypatch, capsys, tmp_path, change, exc):
    monkeypatch.chdir(tmp_path)
    std = grey_print()
    tgt = std.copy()
    tgt[86:92, 150:160] = 60
    s, t, a = change(std, tgt, (20, 20, 400, 240))
    copies = [x.copy() if isinstance(x, np.ndarray) else x for x in (s, t)]
    with pytest.raises(exc):
        qel_cv.shift_compare_barcode(s, t, a, 2, 50, 4)
    assert not os.path.exists(OUT_FILE)
    for x, c in zip((s, t), copies):
        if isinstance(x, np.ndarray):
            assert np.array_equal(x, c)


def test_negative_match_score_is_printed_before_the_unpacking_error(monkeypatch, capsys, tmp_path):
    monkeypatch.chdir(tmp_path)
    std = grey_print(speck=False)
    monkeypatch.setattr(qel_cv, "template_match_point", lambda image, template, region: (-0.25, None))
    with pytest.raises(TypeError):
        qel_cv.shift_compare_barcode(std, std, (20, 20, 400, 240), 2, 50, 4)
    assert lines(capsys)[-1] == "平移校正区域匹配度：-0.2500"


def test_repeated_calls_keep_reference_counts_and_memory(monkeypatch, capsys, tmp_path, samples):
    monkeypatch.chdir(tmp_path)
    std = samples["std_image"]
    tgt = samples["targets"]["dark_spot"]["image"]
    aoi = tuple(samples["aoi"])
    params = (samples["max_shift"], samples["threshold"], samples["dirty_width"])
    bars, _ = qel_cv.find_barcode_contours(std, aoi)
    template = std[100:200, 100:300].copy()
    region = [80, 80, 330, 230]

    def run(times):
        for _ in range(times):
            qel_cv.shift_compare_barcode(std, tgt, aoi, *params)
            b, t = qel_cv.find_barcode_contours(tgt, aoi)
            qel_cv.fill_threshold(b, t, aoi)
            qel_cv.rotate_correcting(tgt, bars, qel_cv.find_rotate_degree(t, aoi), aoi)
            qel_cv.template_match_point(tgt, template, region, (1, 2), 0.5)
            qel_cv.bounding_rect_top(bars[0])
            try:
                qel_cv.fill_threshold([], t, aoi)
            except IndexError:
                pass
        capsys.readouterr()

    watched = (std, tgt, aoi, bars, bars[0], template, region) + params
    assert_no_growth(lambda: run(1), watched, rounds=10, limit_bytes=16384, warmup=4)
