"""Times FittingCircle and CirclePeeler.peel against the same computation in
plain Python (numpy + scipy.optimize.leastsq), in the same run.

Run from the checkout:  /usr/bin/python3 bench/bench_circle.py
The peeling passes write their "Peeler N.bmp" files into a temporary directory.
"""
import os
import sys
import tempfile
import time

import cv2
import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "build"))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import plain  # noqa: E402
import qel_cv  # noqa: E402


class PyCirclePeeler:
    def __init__(self, image, threshold, thresh_type=cv2.THRESH_BINARY, min_area=0):
        self.__threshold = threshold
        self.__thresh_type = thresh_type
        _value, th_img = cv2.threshold(image, thresh=threshold, maxval=255, type=thresh_type)
        contours, _h = cv2.findContours(th_img, mode=cv2.RETR_EXTERNAL, method=cv2.CHAIN_APPROX_NONE)
        self.__contours = [cnt for cnt in contours if cv2.contourArea(cnt) >= min_area]
        self.__shape = image.shape[:2]

    def peel(self, iteration):
        circle = None
        center = (-1, -1)
        radius = 0
        zeros = np.zeros(self.__shape, dtype=np.uint8)
        image = cv2.fillPoly(zeros, self.__contours, 255)
        for i in range(iteration):
            cv2.circle(image, center, radius, color=0, thickness=-1)
            cv2.imwrite("Peeler %d.bmp" % (i + 1), image)
            contours, _hierarchy = cv2.findContours(image, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
            points = []
            for cnt in contours:
                for pnt in cnt:
                    points.append(pnt[0])
            circle = plain.PlainFittingCircle(points=points)
            x, y = circle.center
            center = (int(x), int(y))
            radius = int(circle.radius)
        return circle


def best_of(fn, repeat, number):
    """Smallest mean time per call over `repeat` rounds of `number` calls."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def noisy_points(n, seed=7):
    rng = np.random.default_rng(seed)
    t = rng.uniform(0, 2 * np.pi, n)
    r = 180 + rng.normal(0, 1.5, n)
    x = 320.5 + r * np.cos(t)
    y = 240.25 + r * np.sin(t)
    return x.tolist(), y.tolist()


def disc_with_burrs(size=1024):
    """A disc of radius 400 with burrs standing out of its edge on one side and
    notches cut into it on the other."""
    cx, cy = size // 2 + 7, size // 2 - 5
    img = np.zeros((size, size), np.uint8)
    cv2.circle(img, (cx, cy), 400, 255, -1)
    for angle, value in ((0.3, 255), (1.1, 255), (3.4, 0), (3.9, 0), (4.5, 0)):
        bx = int(cx + 405 * np.cos(angle))
        by = int(cy + 405 * np.sin(angle))
        cv2.circle(img, (bx, by), 18, value, -1)
    return img


def report(label, native, python, same):
    print("%-44s native %8.3f ms   python %8.3f ms   ratio %5.2fx   same result: %s"
          % (label, native * 1e3, python * 1e3, python / native, same))


def main():
    x, y = noisy_points(2000)
    points = list(zip(x, y))
    a = qel_cv.FittingCircle(x=x, y=y)
    b = plain.PlainFittingCircle(x=x, y=y)
    same = a.center == b.center and a.radius == b.radius
    report("FittingCircle(x, y), 2000 noisy points",
           best_of(lambda: qel_cv.FittingCircle(x=x, y=y), 5, 20),
           best_of(lambda: plain.PlainFittingCircle(x=x, y=y), 5, 20), same)
    a = qel_cv.FittingCircle(points=points)
    b = plain.PlainFittingCircle(points=points)
    same = a.center == b.center and a.radius == b.radius
    report("FittingCircle(points), 2000 noisy points",
           best_of(lambda: qel_cv.FittingCircle(points=points), 5, 20),
           best_of(lambda: plain.PlainFittingCircle(points=points), 5, 20), same)

    image = disc_with_burrs()
    old = os.getcwd()
    with tempfile.TemporaryDirectory() as tmp:
        os.chdir(tmp)
        try:
            native_peeler = qel_cv.CirclePeeler(image, 127)
            python_peeler = PyCirclePeeler(image, 127)
            a = native_peeler.peel(5)
            b = python_peeler.peel(5)
            same = a.center == b.center and a.radius == b.radius
            report("CirclePeeler.peel(5), 1024x1024 disc + burrs",
                   best_of(lambda: native_peeler.peel(5), 3, 3),
                   best_of(lambda: python_peeler.peel(5), 3, 3), same)
        finally:
            os.chdir(old)
    print("ratio = python time / native time (higher is better for qel_cv)")


if __name__ == "__main__":
    main()
