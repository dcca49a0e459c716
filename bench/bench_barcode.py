#!/usr/bin/python3
"""Time shift_compare_barcode on the bundled sample prints, stage by stage,
against the same pipeline composed from cv2/numpy calls in plain Python in
the same run, and print the ratios (plain time / qel_cv time).

    /usr/bin/python3 bench/bench_barcode.py [--repeat N]
"""
import argparse
import contextlib
import io
import json
import math
import os
import sys
import tempfile
import time

import cv2
import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLES = os.path.join(ROOT, "examples", "samples")
if os.path.isdir(os.path.join(ROOT, "build")):
    sys.path.insert(0, os.path.join(ROOT, "build"))

import qel_cv  # noqa: E402


# --- the plain composition -------------------------------------------------------

def py_find_contours(image, mode, method):
    found = cv2.findContours(image, mode, method)
    return list(found[-2])


def py_min_area_rect(points):
    (cx, cy), (w, h), angle = cv2.minAreaRect(points)
    while angle >= 0:
        angle -= 90
        w, h = h, w
    while angle < -90:
        angle += 90
        w, h = h, w
    return (cx, cy), (w, h), angle


def py_bars(image, aoi, area_lower=1500, area_upper=120000, girth_lower=600, girth_upper=2000):
    x1, y1, x2, y2 = aoi
    otsu, threshold = cv2.threshold(image[y1:y2, x1:x2], 0, 255, cv2.THRESH_BINARY | cv2.THRESH_OTSU)
    bigs = []
    for cnt in py_find_contours(threshold, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE):
        area = cv2.contourArea(cnt)
        girth = cv2.arcLength(cnt, True)
        if area_lower <= area <= area_upper and girth_lower <= girth <= girth_upper:
            bigs.append(cnt)
        else:
            print("Out of range bar: Area=%.1f, Length=%.1f" % (area, girth))
    bigs = sorted(bigs, key=lambda c: cv2.boundingRect(c)[1])
    _, threshold = cv2.threshold(image, otsu, 255, cv2.THRESH_BINARY)
    return bigs, threshold


def py_fill(bars, threshold, aoi):
    x1, y1 = aoi[:2]
    x, y, w, h = cv2.boundingRect(bars[0])
    top, center = y + y1 + h // 2, x + x1 + w // 2
    _, y, _, h = cv2.boundingRect(bars[-1])
    cv2.rectangle(threshold, (center - 2, top), (center + 2, y + y1 + h // 2), 255, cv2.FILLED)


def py_degree(image, aoi):
    x1, y1, x2, y2 = aoi
    contours = py_find_contours(image[y1:y2, x1:x2], cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    biggest = max(contours, key=cv2.contourArea)
    degree = py_min_area_rect(biggest)[2]
    return degree + 90 if -90 <= degree <= -80 else degree


def py_rotate(image, bars, degree, aoi):
    x, y, _, _ = cv2.boundingRect(bars[0])
    h, w = image.shape[:2]
    m = cv2.getRotationMatrix2D((x + aoi[0], y + aoi[1]), degree, 1)
    return cv2.warpAffine(image, m, (w, h), borderMode=cv2.BORDER_CONSTANT, borderValue=0)


def py_cmp_rect(image, aoi):
    bars, _ = py_bars(image, aoi)
    rects = [cv2.boundingRect(b) for b in bars]
    min_x, min_y = min(r[0] for r in rects), min(r[1] for r in rects)
    max_x, max_y = max(r[0] + r[2] for r in rects), max(r[1] + r[3] for r in rects)
    return min_x + aoi[0], min_y + rects[0][3] // 2 + aoi[1], max_x - min_x, max_y - min_y


def py_match(image, template, region):
    x1, y1, x2, y2 = region
    x1, y1 = max(x1, 0), max(y1, 0)
    x2, y2 = min(x2, image.shape[1]), min(y2, image.shape[0])
    _, max_val, _, loc = cv2.minMaxLoc(cv2.matchTemplate(image[y1:y2, x1:x2], template, cv2.TM_CCOEFF_NORMED))
    return max_val, [loc[0] + x1, loc[1] + y1]


def py_translate(image, right, down):
    m = np.float32([[1, 0, right], [0, 1, down]])
    return cv2.warpAffine(image, m, (image.shape[1], image.shape[0]), borderMode=cv2.BORDER_REPLICATE)


def py_pass(std, tgt, max_shift, threshold, length, desc, regions):
    result = (std - tgt) > threshold
    shifts = []
    for i in range(1, max_shift + 1):
        shifts += [(i, 0), (-i, 0), (0, i), (0, -i)]
    for i in range(1, int(max_shift / math.sqrt(2)) + 1):
        shifts += [(i, i), (-i, i), (i, -i), (-i, -i)]
    for right, down in shifts:
        np.logical_and(result, (std - py_translate(tgt, right, down)) > threshold, result)
    for cnt in py_find_contours(result * np.uint8(255), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE):
        x, y, w, h = cv2.boundingRect(cnt)
        if w >= length or h >= length:
            rect = [x, y, x + w, y + h]
            regions.append((rect, "%s: %d, %s" % (desc, max(w, h), rect)))


def py_compare(std_rotated, tgt, aoi, max_shift, threshold, dirty_width):
    x1, y1, x2, y2 = aoi
    std = np.zeros(std_rotated.shape[:2], np.int16)
    std[y1:y2, x1:x2] = std_rotated[y1:y2, x1:x2]
    masked = np.zeros(std_rotated.shape[:2], np.uint8)
    masked[y1:y2, x1:x2] = tgt[y1:y2, x1:x2]
    masked = np.int16(masked)
    regions = []
    py_pass(std, masked, max_shift, threshold, dirty_width, "black spot", regions)
    py_pass(masked, std, max_shift, threshold, dirty_width, "white spot", regions)
    return regions


# --- the stages, side by side -------------------------------------------------------

def stages(lib, std, tgt, aoi, p):
    """The pipeline as a list of (stage name, thunk); each thunk runs one
    stage and feeds the next through `state`."""
    state = {}

    def detect():
        state["s"] = lib["bars"](std, aoi)
        state["t"] = lib["bars"](tgt, aoi)

    def fill():
        lib["fill"](*state["s"], aoi)
        lib["fill"](*state["t"], aoi)

    def degree():
        state["sd"] = lib["degree"](state["s"][1], aoi)
        state["td"] = lib["degree"](state["t"][1], aoi)

    def rotate():
        state["sr"] = lib["rotate"](std, state["s"][0], state["sd"], aoi)
        state["tr"] = lib["rotate"](tgt, state["t"][0], state["td"], aoi)

    def rect():
        state["cr"] = lib["rect"](state["sr"], aoi)
        state["tc"] = lib["rect"](state["tr"], aoi)

    def match():
        x, y, w, h = state["tc"]
        cx, cy, cw, ch = state["cr"]
        _, loc = lib["match"](state["tr"], state["sr"][cy:cy + ch, cx:cx + cw], [x - 20, y - 20, x + w + 20, y + h + 20])
        state["aligned"] = lib["translate"](state["tr"], cx - loc[0], cy - loc[1])

    def compare():
        state["regions"] = lib["compare"](state["sr"], state["aligned"], aoi, *p)

    return state, [("bar detection", detect), ("strip fill", fill), ("tilt measurement", degree),
                   ("rotation", rotate), ("comparison rect", rect), ("alignment", match), ("comparison", compare)]


def py_whole(std, tgt, aoi, p):
    """The plain pipeline end to end, with the marked picture on defects."""
    state, steps = stages(PLAIN, std, tgt, aoi, p)
    for _, step in steps:
        step()
    if state["regions"]:
        marked = cv2.cvtColor(state["aligned"], cv2.COLOR_GRAY2BGR)
        for (x1, y1, x2, y2), _ in state["regions"]:
            cv2.rectangle(marked, (x1 - 1, y1 - 1), (x2 + 1, y2 + 1), (0, 0, 255), 1)
        x, y, w, h = state["cr"]
        cv2.imwrite("shift_compare_barcode.jpg", marked[y:y + h, x:x + w])
    return state["regions"]


def qel_compare(std_rotated, tgt, aoi, max_shift, threshold, dirty_width):
    comparator = qel_cv.ShiftComparator(std_rotated, max_shift, threshold, dirty_width, cmp_region=aoi)
    result = qel_cv.CompareResult(tgt)
    comparator.compare(tgt, result)
    return list(zip([r.get_region() for r in result.ng_regions], result.descriptions))


QEL = dict(bars=qel_cv.find_barcode_contours, fill=qel_cv.fill_threshold, degree=qel_cv.find_rotate_degree,
           rotate=qel_cv.rotate_correcting, rect=qel_cv.cmp_rect_after_rotate_correcting,
           match=qel_cv.template_match_point, translate=qel_cv.translate, compare=qel_compare)
PLAIN = dict(bars=py_bars, fill=py_fill, degree=py_degree, rotate=py_rotate, rect=py_cmp_rect,
             match=py_match, translate=py_translate, compare=py_compare)


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    with open(os.path.join(SAMPLES, "samples.json"), encoding="utf-8") as f:
        meta = json.load(f)
    read = lambda name: cv2.imread(os.path.join(SAMPLES, name), cv2.IMREAD_GRAYSCALE)
    std = read(meta["standard"])
    aoi = tuple(meta["aoi"])
    p = (meta["max_shift"], meta["threshold"], meta["dirty_width"])
    here = os.getcwd()
    sink = io.StringIO()
    print("image %dx%d, aoi %s, max_shift %d; best of %d runs, ms"
          % (std.shape[1], std.shape[0], list(aoi), p[0], args.repeat))
    print("%-18s %10s %10s %8s" % ("stage", "qel_cv", "plain", "ratio"))
    totals = {}
    with tempfile.TemporaryDirectory() as scratch, contextlib.redirect_stdout(sink):
        os.chdir(scratch)
        try:
            for name, target in meta["targets"].items():
                tgt = read(target["file"])
                rows = []
                qs, qstages = stages(QEL, std, tgt, aoi, p)
                ps, pstages = stages(PLAIN, std, tgt, aoi, p)
                for (stage, qf), (_, pf) in zip(qstages, pstages):
                    # Stages mutate their inputs (the strip), so time each one
                    # fresh after the earlier stages have run once.
                    tq = best_of(qf, args.repeat)
                    tp = best_of(pf, args.repeat)
                    rows.append((stage, tq, tp))
                assert qs["regions"] == ps["regions"], (name, qs["regions"], ps["regions"])
                whole_q = best_of(lambda: qel_cv.shift_compare_barcode(std, tgt, aoi, *p), args.repeat)
                whole_p = best_of(lambda: py_whole(std, tgt, aoi, p), args.repeat)
                totals[name] = (rows, whole_q, whole_p)
        finally:
            os.chdir(here)
    for name, (rows, whole_q, whole_p) in totals.items():
        print("-- target %s" % name)
        for stage, tq, tp in rows:
            print("%-18s %10.3f %10.3f %7.2fx" % (stage, tq * 1e3, tp * 1e3, tp / tq))
        print("%-18s %10.3f %10.3f %7.2fx" % ("whole pipeline", whole_q * 1e3, whole_p * 1e3, whole_p / whole_q))


if __name__ == "__main__":
    main()
