#!/usr/bin/python3
"""Time the per-call cost of cheap module calls, where binding arguments and
the entry into the module weigh most, against the same calls written as plain
Python in the same run, and print the ratios (plain time / qel_cv time).

    /usr/bin/python3 bench/bench_calls.py [--calls N] [--rounds R]
"""
import argparse
import os
import sys
import time

import cv2
import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "build"))
import qel_cv  # noqa: E402


# --- the plain forms -----------------------------------------------------------------

def contour_is_too_long(cnt, length):
    _x, _y, w, h = cv2.boundingRect(cnt)
    if isinstance(length, (tuple, list)):
        length = length[0]
    return w >= length or h >= length


class CompareResult:
    def __init__(self, image):
        self.image = image
        self.ng_regions = []

    @property
    def ok(self):
        return len(self.ng_regions) == 0


def compare_image_difference(std_image, tgt_image, threshold):
    diff = std_image - tgt_image
    if threshold >= 0:
        return diff > threshold
    return diff < threshold


def best_per_call(fn, calls, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, time.perf_counter() - start)
    return best / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    cnt = np.array([[[1, 2]], [[5, 9]], [[3, 4]]], np.int32)
    image = np.zeros((4, 4), np.uint8)
    small = np.ones((2, 2), np.int16)
    q_result = qel_cv.CompareResult(image)
    p_result = CompareResult(image)
    cases = [
        ("contour_is_too_long(cnt, 5)",
         lambda: qel_cv.contour_is_too_long(cnt, 5), lambda: contour_is_too_long(cnt, 5)),
        ("contour_is_too_long(cnt, length=5)",
         lambda: qel_cv.contour_is_too_long(cnt, length=5), lambda: contour_is_too_long(cnt, length=5)),
        ("CompareResult.ok", lambda: q_result.ok, lambda: p_result.ok),
        ("compare_image_difference 2x2",
         lambda: qel_cv.compare_image_difference(small, small, 3),
         lambda: compare_image_difference(small, small, 3)),
        ("contour_is_too_big(cnt, 2)",  # the float parameter is converted on entry
         lambda: qel_cv.contour_is_too_big(cnt, 2), lambda: cv2.contourArea(cnt) >= 2.0),
    ]
    print(f"best of {args.rounds} rounds of {args.calls} calls, ns per call")
    print("%-38s %9s %9s %7s" % ("call", "qel_cv", "plain", "ratio"))
    for name, q, p in cases:
        # Alternate the two sides so that a burst of other work hits neither alone.
        tq = tp = float("inf")
        for _ in range(2):
            tq = min(tq, best_per_call(q, args.calls, args.rounds))
            tp = min(tp, best_per_call(p, args.calls, args.rounds))
        print("%-38s %9.1f %9.1f %6.2fx" % (name, tq * 1e9, tp * 1e9, tp / tq))


if __name__ == "__main__":
    main()
