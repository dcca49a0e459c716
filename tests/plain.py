"""Plain-Python renderings of algorithms the module runs natively, shared by
the tests (to check both of the module's paths against) and the benchmarks
(as their baselines)."""
import sys

import numpy as np
from scipy.optimize import leastsq


# --- least-squares circle ------------------------------------------------------

class PlainFittingCircle:
    @staticmethod
    def distance_square(para, x, y):
        cx, cy = para
        return (cx - x) ** 2 + (cy - y) ** 2

    @staticmethod
    def error(center, x, y):
        distances = PlainFittingCircle.distance_square(center, x, y)
        return distances - distances.mean()

    def __init__(self, x=None, y=None, points=None):
        if points is not None:
            x, y = [], []
            for a, b in points:
                x.append(a)
                y.append(b)
        assert len(x) == len(y)
        if len(x) == 0:
            self.center, self.radius = (0, 0), 0
            return
        x = np.array(x)
        y = np.array(y)
        start_point = np.array((x.mean(), y.mean()))
        center, *_ = leastsq(PlainFittingCircle.error, start_point, (x, y))
        self.center = (center[0], center[1])
        self.radius = np.sqrt(PlainFittingCircle.distance_square(center, x, y)).mean()


# --- vertical profile of a contour ----------------------------------------------

def get_points_equal_x(points, x, pos_tip=0):
    results = []
    if points[pos_tip][0] != x:
        pos_tip = -1
        for idx in range(len(points)):
            if points[idx][0] == x:
                pos_tip = idx
                break
    max_idx = len(points)
    while pos_tip < max_idx and points[pos_tip][0] == x:
        results.append(points[pos_tip])
        pos_tip += 1
    return results, pos_tip


def max_vertical_distance(points):
    if len(points) < 2:
        return 0
    max_y, min_y = -1, sys.maxsize
    for x, y in points:
        if y < min_y:
            min_y = y
        if y > max_y:
            max_y = y
    return max_y - min_y


def profile(contour, head_off=0, tail_off=0):
    leftmost = tuple(contour[contour[:, :, 0].argmin()][0])
    rightmost = tuple(contour[contour[:, :, 0].argmax()][0])
    begin, end = leftmost[0] + head_off, rightmost[0] - tail_off
    distances = []
    if begin >= end:
        return (begin, begin), distances
    x, all_points = begin, []
    for row in contour:
        for point in row:
            if begin <= point[0] < end:
                all_points.append(point)
    all_points.sort(key=lambda p: p[0])
    pos_tip = 0
    while x != end:
        points, pos_tip = get_points_equal_x(all_points, x, pos_tip)
        distances.append(max_vertical_distance(points))
        x += 1
    return (begin, end), distances
