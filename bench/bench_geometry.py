"""Times the value-band filters and the contour vertical profile against their
plain-Python forms, in the same run, and prints the ratios.

    /usr/bin/python3 bench/bench_geometry.py

The element loop of a band filter takes seconds on a full camera image in
Python, so it is timed on a smaller image and scaled per element."""
import math
import os
import sys
import time

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "build"))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import plain  # noqa: E402
import qel_cv  # noqa: E402


def best_of(fn, setup, repeat):
    """Shortest time of `fn(setup())` over `repeat` runs; setup is not timed."""
    best = math.inf
    for _ in range(repeat):
        arg = setup()
        t0 = time.perf_counter()
        fn(arg)
        best = min(best, time.perf_counter() - t0)
    return best


# --- value-band filters ------------------------------------------------------

def py_take_middle(src, min_value, max_value):
    img = src.reshape((src.size,))
    for idx in range(src.size):
        if img[idx] < min_value or img[idx] > max_value:
            img[idx] = 0
    return img.reshape(src.shape)


def py_take_min_or_max(src, min_value, max_value):
    img = src.reshape((src.size,))
    for idx in range(src.size):
        if min_value < img[idx] < max_value:
            img[idx] = 0
    return img.reshape(src.shape)


def py_take_min(src, max_value):
    img = src.reshape((src.size,))
    for idx in range(src.size):
        if img[idx] > max_value:
            img[idx] = 0
    return img.reshape(src.shape)


def py_take_max(src, min_value):
    img = src.reshape((src.size,))
    for idx in range(src.size):
        if img[idx] < min_value:
            img[idx] = 0
    return img.reshape(src.shape)


BANDS = [
    ("take_middle", py_take_middle, (60, 180)),
    ("take_min_or_max", py_take_min_or_max, (60, 180)),
    ("take_min", py_take_min, (128,)),
    ("take_max", py_take_max, (128,)),
]


def bench_bands():
    rng = np.random.default_rng(0)
    full = rng.integers(0, 256, (1080, 1920, 3), dtype=np.uint8)
    small = full[:90, :160].copy()           # 1/144 of the elements
    scale = full.size / small.size
    print(f"value-band filters, uint8 {full.shape[1]} x {full.shape[0]} x 3 ({full.size} elements)")
    ratios = []
    for name, py, ends in BANDS:
        native = best_of(lambda a: getattr(qel_cv, name)(a, *ends), full.copy, 7)
        python = best_of(lambda a: py(a, *ends), small.copy, 3) * scale
        assert np.array_equal(getattr(qel_cv, name)(small.copy(), *ends), py(small.copy(), *ends))
        ratios.append(python / native)
        print(f"  {name:16s} native {native * 1e3:8.2f} ms   plain Python {python:7.2f} s (scaled)"
              f"   ratio {python / native:9.0f}x")
    return min(ratios)


# --- vertical profile --------------------------------------------------------

def wavy_band_contour(n_points):
    """A closed contour along a wavy top edge and back along the bottom one."""
    width = n_points // 2
    xs = np.arange(width)
    top = (200 + 40 * np.sin(xs / 90.0)).astype(np.int32)
    bottom = top + 60 + (20 * np.cos(xs / 37.0)).astype(np.int32)
    pts = np.concatenate([np.stack([xs, top], 1), np.stack([xs[::-1], bottom[::-1]], 1)])
    return np.ascontiguousarray(pts.reshape(-1, 1, 2), dtype=np.int32)


def bench_profile():
    contour = wavy_band_contour(20000)
    print(f"vertical profile, contour of {len(contour)} points")
    native = best_of(qel_cv.calculate_contour_vertical_distances, lambda: contour, 7)
    python = best_of(plain.profile, lambda: contour, 3)
    # The module's own element-by-element walk, taken once a helper is rebound.
    saved = qel_cv._get_points_equal_x
    qel_cv._get_points_equal_x = lambda *a: saved(*a)
    try:
        generic = best_of(qel_cv.calculate_contour_vertical_distances, lambda: contour, 3)
        assert qel_cv.calculate_contour_vertical_distances(contour) == plain.profile(contour)
    finally:
        qel_cv._get_points_equal_x = saved
    assert qel_cv.calculate_contour_vertical_distances(contour) == plain.profile(contour)
    print(f"  native walk {native * 1e3:8.2f} ms   plain Python {python * 1e3:8.1f} ms"
          f"   ratio {python / native:7.0f}x")
    print(f"  (module's generic walk {generic * 1e3:8.1f} ms, {python / generic:4.1f}x the plain Python form)")
    return python / native


if __name__ == "__main__":
    band_ratio = bench_bands()
    profile_ratio = bench_profile()
    print(f"smallest band-filter ratio {band_ratio:.0f}x (target 100x); profile ratio {profile_ratio:.0f}x "
          f"(target 20x)")
